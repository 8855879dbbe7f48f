// The files the launcher makes on POSIX, private to the user (defined in
// platform.cpp).
#pragma once

#include <cstdio>

// Opens (and with O_CREAT makes) a file that is 0600 whatever the umask.
int OpenPrivateFile(const char* path, int flags);

// A buffered stream over the descriptor `fd`, or -1 from an open that
// failed; the stream owns the descriptor. Null, the descriptor closed, when
// there is none.
std::FILE* StreamOver(int fd, const char* mode);

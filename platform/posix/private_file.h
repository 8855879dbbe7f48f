// Opening a file private to the user on POSIX (defined in platform.cpp).
#pragma once

// Opens (and with O_CREAT makes) a file that is 0600 whatever the umask.
int OpenPrivateFile(const char* path, int flags);

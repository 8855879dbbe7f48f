// What the Windows workspace holds (defined in workspace.cpp): the names
// CreateUniqueName made, each held open until it is deleted. Every lookup
// first checks that the path still leads to what is held under it.
#pragma once

#include <windows.h>

#include <cstddef>

// The file held under `path`: its handle, which stays the workspace's;
// INVALID_HANDLE_VALUE when `path` names no file held or leads elsewhere now.
HANDLE HeldFile(const char* path);
// The directory held under `path`: its handle (the workspace's) and its name
// as the file system gave it when it was made. False when `path` names no
// directory held or leads elsewhere now.
bool HeldDirectory(const char* path, HANDLE* handle, const wchar_t** name, std::size_t* nameUnits);
// Whether `path` lies in a directory held, which it still leads to.
bool LeadsIntoHeldDirectory(const char* path);

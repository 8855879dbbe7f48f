// Directories held by handle on Windows, for the removal walk and the
// extraction's entry directories (defined in tree_walk.cpp).
#pragma once

#include <windows.h>

#include <cstddef>

// A directory at a wide path, opened without delete sharing and checked to be
// a plain directory (no junction or other reparse point); INVALID_HANDLE_VALUE
// when it is not.
HANDLE OpenPlainDirectory(const wchar_t* path);
// A directory path in the seam's encoding made wide, with the prefix that
// lifts the 260-character limit; its length, 0 when it does not fit `capacity`.
std::size_t WidenDirectory(const char* directory, wchar_t* out, std::size_t capacity);

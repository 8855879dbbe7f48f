// DLLs the Windows launcher loads at run time (defined in start.cpp).
#pragma once

#include <windows.h>

// A DLL from the system directory only, never from the program's folder nor
// the current directory; null when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

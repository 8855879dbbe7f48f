// The Windows side's operations, gathered into kSystemPlatform by platform.cpp.
#pragma once

#include <windows.h>

#include <cstddef>

#include "platform/platform.h"

// start.cpp: a DLL from the system directory only, never from the program's
// folder nor the current directory; null when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

// tree_walk.cpp: removal's walk through a tree, each directory held open.
// A directory at a wide path, opened without delete sharing and checked to be
// a plain directory (no junction or other reparse point); INVALID_HANDLE_VALUE
// when it is not. And a directory path in the seam's encoding made wide, with
// the prefix that lifts the 260-character limit; its length, 0 when it does
// not fit `capacity`.
HANDLE OpenPlainDirectory(const wchar_t* path);
std::size_t WidenDirectory(const char* directory, wchar_t* out, std::size_t capacity);
TreeWalk* Win32StartTreeWalk(const char* directory);
void Win32ListWalkDirectory(TreeWalk* walk, DirectoryListing* out);
bool Win32EnterWalkDirectory(TreeWalk* walk, const char* name, const FileIdentity* listed);
bool Win32LeaveWalkDirectory(TreeWalk* walk);
bool Win32DeleteWalkEntry(TreeWalk* walk, const char* name);
bool Win32RemoveWalkDirectory(TreeWalk* walk, const char* name);
void Win32EndTreeWalk(TreeWalk* walk);

// entry_directory.cpp: the tree bundle's folders, each level held open.
EntryDirectory* Win32OpenEntryDirectory(const char* directory);
EntryDirectory* Win32MakeEntryDirectory(EntryDirectory* parent, const char* name);
std::FILE* Win32CreateEntryFile(EntryDirectory* directory, const char* name, bool executable);
bool Win32DeleteEntryFile(EntryDirectory* directory, const char* name);
void Win32CloseEntryDirectory(EntryDirectory* directory);

// splash.cpp: the splash surface, a "Static" popup blended into with AlphaBlend.
SplashSurface* Win32OpenSplashSurface(PlatformInstance instance, int width, int height,
                                      const char* title);
ScreenSize Win32GetScreenSize(SplashSurface* surface);
SurfaceRect Win32GetSurfaceRect(SplashSurface* surface);
void Win32ShowSplashSurface(SplashSurface* surface, int x, int y);
bool Win32LoadSplashPicture(SplashSurface* surface, PlatformInstance instance, int id);
bool Win32BlendSplashPicture(SplashSurface* surface, int alpha);
void Win32ReleaseSplashPicture(SplashSurface* surface);
void Win32CloseSplashSurface(SplashSurface* surface);

// descendants.cpp: a job the installer and everything it starts are born in.
bool Win32AdoptDescendants();
void Win32WaitForDescendants();

// The Windows side's operations, gathered into kSystemPlatform by platform.cpp.
#pragma once

#include "platform/platform.h"

// tree_walk.cpp: removal's walk through a tree, each directory held open.
TreeWalk* Win32StartTreeWalk(const char* directory);
void Win32ListWalkDirectory(TreeWalk* walk, DirectoryListing* out);
bool Win32EnterWalkDirectory(TreeWalk* walk, const char* name, const FileIdentity* listed);
bool Win32LeaveWalkDirectory(TreeWalk* walk);
bool Win32DeleteWalkEntry(TreeWalk* walk, const char* name);
bool Win32RemoveWalkDirectory(TreeWalk* walk, const char* name);
void Win32EndTreeWalk(TreeWalk* walk);

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

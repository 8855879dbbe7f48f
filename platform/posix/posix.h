// The POSIX side's operations, gathered into kSystemPlatform by platform.cpp.
#pragma once

#include "platform/platform.h"

// platform.cpp: opens (and with O_CREAT makes) a file that is 0600 whatever
// the umask.
int OpenPrivateFile(const char* path, int flags);

// resources.cpp: the resource table appended to the launcher's own executable.
bool PosixLookUpResource(const char* type, int id, PlatformResource* out);
bool PosixWriteResourceToFile(const PlatformResource* resource, const char* path);
bool PosixReadResource(const PlatformResource* resource, void* out);

// tree_walk.cpp: removal's walk through a tree, relative to one descriptor.
TreeWalk* PosixStartTreeWalk(const char* directory);
void PosixListWalkDirectory(TreeWalk* walk, DirectoryListing* out);
bool PosixEnterWalkDirectory(TreeWalk* walk, const char* name, const FileIdentity* listed);
bool PosixLeaveWalkDirectory(TreeWalk* walk);
bool PosixDeleteWalkEntry(TreeWalk* walk, const char* name);
bool PosixRemoveWalkDirectory(TreeWalk* walk, const char* name);
void PosixEndTreeWalk(TreeWalk* walk);

// x11_splash.cpp: the splash surface on an X11 desktop.
SplashSurface* X11OpenSplashSurface(PlatformInstance instance, int width, int height,
                                    const char* title);
ScreenSize X11GetScreenSize(SplashSurface* surface);
SurfaceRect X11GetSurfaceRect(SplashSurface* surface);
void X11ShowSplashSurface(SplashSurface* surface, int x, int y);
bool X11LoadSplashPicture(SplashSurface* surface, PlatformInstance instance, int id);
bool X11BlendSplashPicture(SplashSurface* surface, int alpha);
void X11ReleaseSplashPicture(SplashSurface* surface);
void X11CloseSplashSurface(SplashSurface* surface);

// The POSIX side's operations, gathered into kSystemPlatform by platform.cpp.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "platform/platform.h"

// platform.cpp: opens (and with O_CREAT makes) a file that is 0600 whatever
// the umask.
int OpenPrivateFile(const char* path, int flags);

// resources.cpp: the resource table appended to the launcher's own executable.
bool PosixLookUpResource(const char* type, int id, PlatformResource* out);
bool PosixWriteResourceToFile(const PlatformResource* resource, const char* path);
bool PosixReadResource(const PlatformResource* resource, void* out);

// interruptions.cpp: what SIGINT, SIGQUIT, SIGTERM and SIGHUP do to a run.
// The start-up watches for them before the run and ends by one held during
// the final removal after it.
void WatchInterruptions();
void EndByHeldInterruption();
// In a child process that is not the run: the default actions again, where
// the launcher had caught the signals.
void ForgetInterruptions();
// Blocks and unblocks the four signals, around what the handler must see
// whole: the names made, the installer started or ended.
void HoldInterruptions(sigset_t* previous);
void ReleaseInterruptions(const sigset_t* previous);
// The names the run made and has not removed (called while held).
void NoteMadeName(const char* path, UniqueKind kind);
void ForgetMadeName(const char* path);
// The installer's process, from its start until it has ended (called while
// held; it is not yet reaped when it is said to have ended).
void InstallerStarted(pid_t installer);
void InstallerEnded();
// The installer has ended and the processes it left are waited for (called
// while held), until DescendantsEnded; whether a SIGTERM or SIGHUP that
// cuts that wait short has come.
void DescendantsWaited();
void DescendantsEnded();
bool WaitCutShort();

// descendants.cpp: waiting for every process the installer starts.
bool PosixAdoptDescendants();
void PosixWaitForDescendants();

// tree_walk.cpp: removal's walk through a tree, relative to one descriptor.
TreeWalk* PosixStartTreeWalk(const char* directory);
void PosixListWalkDirectory(TreeWalk* walk, DirectoryListing* out);
bool PosixEnterWalkDirectory(TreeWalk* walk, const char* name, const FileIdentity* listed);
bool PosixLeaveWalkDirectory(TreeWalk* walk);
bool PosixDeleteWalkEntry(TreeWalk* walk, const char* name);
bool PosixRemoveWalkDirectory(TreeWalk* walk, const char* name);
void PosixEndTreeWalk(TreeWalk* walk);

// entry_directory.cpp: the tree bundle's folders, relative to descriptors.
EntryDirectory* PosixOpenEntryDirectory(const char* directory);
EntryDirectory* PosixMakeEntryDirectory(EntryDirectory* parent, const char* name);
std::FILE* PosixCreateEntryFile(EntryDirectory* directory, const char* name, bool executable);
std::FILE* PosixReplaceEntryFile(EntryDirectory* directory, const char* name);
bool PosixDeleteEntryFile(EntryDirectory* directory, const char* name);
void PosixCloseEntryDirectory(EntryDirectory* directory);

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

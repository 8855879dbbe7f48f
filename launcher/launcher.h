// The extract-and-run sequence: its entry operation, its stages and its exit codes.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "format/resource_ids.h"

// The process exit codes. A completed run ends with 1, not 0: callers of the
// launcher rely on that value. kStageOk is a stage's success inside the
// sequence and never the process's exit code.
enum LauncherExit : int {
  kStageOk = 0,
  kExitDone = 1,
  kExitNoTempPath = 4,
  kExitNoTempName = 5,
  kExitPackageCopyFailed = 7,
  kExitBundleOpenFailed = 8,
  kExitBadBundleMagic = 9,
  kExitEntryCreateFailed = 14,
};

// The whole run, front to back; the result is the process exit code.
LauncherExit RunLauncher(PlatformInstance instance, const ArgumentTail& tail);

// The command line after the program's name. `isLeadByte` tells the first byte
// of a double-byte character in the system code page (none on POSIX).
const char* TakeArgumentTail(const char* commandLine, bool (*isLeadByte)(unsigned char));

// True for an interactive start: no arguments at all.
bool IsTailEmpty(const ArgumentTail& tail);

// Stages, in the order the sequence calls them.
LauncherExit CopyPackageResource(const char* packageCopyPath);
void DecodePackage(const char* packageCopyPath, const char* bundlePath);
LauncherExit ExtractBundle(const char* bundlePath, const char* extractionDirectory,
                           char launchPath[kPathCapacity]);
void LaunchAndWait(const char* launchPath, const ArgumentTail& tail);
bool RemoveTree(const char* directory);

// Joins a directory and a bare name with one separator into `out`, zero-filled;
// false, with `out` untouched, when the result would not fit `capacity`.
bool JoinPath(const char* directory, const char* name, char* out, std::size_t capacity);

// The directory the launch path lies in, without its trailing separator:
// the launch path with everything from its last separator on zeroed.
void CutToParentDirectory(char path[kPathCapacity]);

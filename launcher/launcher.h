// The extract-and-run sequence: its entry operation, its stages and its exit codes.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// The launcher's own exit codes. A completed run ends with 1, not 0: callers
// of the launcher rely on that value. A setup whose settings ask for the
// installer's exit code ends with that instead, once the installer was
// started and waited for; the type holds any 32-bit code for it.
enum LauncherExit : int {
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

// The command line (UTF-16, as Windows gives it) after the program's name.
const char16_t* TakeArgumentTail(const char16_t* commandLine);

// True for an interactive start: no arguments at all.
bool IsTailEmpty(const ArgumentTail& tail);

// ---- Stages, in the order the sequence calls them.

// Writes the program's package resource to the package copy file; false when
// the launcher carries no package or the file cannot be created.
bool CopyPackageResource(const char* packageCopyPath);

// Decodes the package copy into the bundle file and deletes the copy. Reports
// nothing: a package the decoder rejects leaves the bundle file empty.
void DecodePackage(const char* packageCopyPath, const char* bundlePath);

// What ExtractBundle found.
enum ExtractOutcome : int {
  kExtracted,           // every entry written, the bundle file deleted
  kBundleNotOpened,     // the bundle file could not be opened
  kBundleWithoutMagic,  // it does not begin with the magic (an empty one neither)
  kEntryNotWritten,     // an entry was refused or could not be written whole
};

// Writes every entry of the bundle into the extraction directory, and the
// launch entry's path, when the bundle designates one, into `launchPath`.
ExtractOutcome ExtractBundle(const char* bundlePath, const char* extractionDirectory,
                             char launchPath[kPathCapacity]);

// Starts the installer and waits for it (and, as the setup's settings say,
// for every process it starts); the run's exit code: kExitDone, or the
// installer's own where the settings ask for it and it is known.
LauncherExit LaunchAndWait(const char* launchPath, const ArgumentTail& tail);

// Removes a directory and everything below it; whether the directory went.
bool RemoveTree(const char* directory);

// ---- Paths

// Joins a directory and a bare name with one separator into `out`, zero-filled;
// false, with `out` untouched, when the result would not fit `capacity`.
bool JoinPath(const char* directory, const char* name, char* out, std::size_t capacity);

// Whether `path` names something below `directory`: the directory, one
// separator, then names that are neither empty nor "." or "..".
bool LiesInside(const char* path, const char* directory);

// The directory the launch path lies in, without its trailing separator:
// the launch path with everything from its last separator on zeroed.
void CutToParentDirectory(char path[kPathCapacity]);

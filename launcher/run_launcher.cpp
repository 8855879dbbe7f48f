// The launcher's spine: the stages in their fixed order, the workspace, and
// every exit code the process ends with. A failure ends the run at once and
// nothing is cleaned up, so what a failed run leaves behind tells where it
// stopped.
#include "launcher/launcher.h"
#include "splash/splash.h"

LauncherExit RunLauncher(PlatformInstance instance, const ArgumentTail& tail) {
  // Only an interactive start shows the splash, before anything else.
  SplashSurface* splash = nullptr;
  if (IsTailEmpty(tail)) {
    splash = ShowSplash(instance);
  }

  char tempDirectory[kPathCapacity] = {};
  if (!gPlatform->workspace->GetTempDirectory(tempDirectory)) {
    return kExitNoTempPath;
  }

  char packageCopy[kPathCapacity] = {};
  if (!gPlatform->workspace->CreateUniqueName(tempDirectory, kUniqueFile, packageCopy)) {
    return kExitNoTempName;
  }
  if (!CopyPackageResource(packageCopy)) {
    return kExitPackageCopyFailed;
  }

  char bundle[kPathCapacity] = {};
  if (!gPlatform->workspace->CreateUniqueName(tempDirectory, kUniqueFile, bundle)) {
    return kExitNoTempName;
  }
  // Decoding reports nothing. A package it rejects leaves the bundle file
  // empty, and the run ends with kExitBadBundleMagic at extraction, once the
  // extraction directory exists.
  DecodePackage(packageCopy, bundle);

  char extractionDirectory[kPathCapacity] = {};
  if (!gPlatform->workspace->CreateUniqueName(tempDirectory, kUniqueDirectory,
                                              extractionDirectory)) {
    return kExitNoTempName;
  }

  char launchPath[kPathCapacity] = {};
  switch (ExtractBundle(bundle, extractionDirectory, launchPath)) {
    case kExtracted:
      break;
    case kBundleNotOpened:
      return kExitBundleOpenFailed;
    case kBundleWithoutMagic:
      return kExitBadBundleMagic;
    case kEntryNotWritten:
      return kExitEntryCreateFailed;
  }

  // The splash goes before the installer shows anything of its own.
  DestroySplash(splash);

  // The extraction directory is removed by the name held here. A bundle
  // without a launch entry starts nothing, and neither does a launch path
  // that does not lie below the extraction directory (a flat bundle's entry
  // lies directly in it, a tree bundle's may lie in a subfolder): nothing
  // outside it is ever started.
  const bool launchable = launchPath[0] != '\0' && LiesInside(launchPath, extractionDirectory);
  LauncherExit result = kExitDone;
  if (launchable) {
    result = LaunchAndWait(launchPath, tail);
  }

  // The second pass is the only retry, for files the installer's leftovers
  // still held during the first.
  RemoveTree(extractionDirectory);
  RemoveTree(extractionDirectory);
  return result;
}

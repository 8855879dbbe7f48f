// Starting the installer and waiting for it. Whether it started, and how it
// ended, is not the launcher's to report.
#include "launcher/launcher.h"

void LaunchAndWait(const char* launchPath, const ArgumentTail& tail) {
  const PlatformProcess process = gPlatform->StartProcess(launchPath, &tail);
  if (process != 0) {
    gPlatform->WaitForProcess(process);
  }
}

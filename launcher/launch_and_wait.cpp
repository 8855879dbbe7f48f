// Starting the installer and waiting for it. Whether it started is not the
// launcher's to report; how it ended is, where the setup's settings
// (format/launcher_settings.h) ask for it.
#include <cstdint>

#include "format/launcher_settings.h"
#include "format/resource_ids.h"
#include "launcher/launcher.h"

namespace {

// The setup's settings; the defaults when it carries none it can read.
LauncherSettings ReadSettings() {
  LauncherSettings settings = {};
  PlatformResource resource = {};
  std::uint8_t record[kLauncherSettingsSize] = {};
  if (gPlatform->resources->LookUpResource(LAUNCHER_MARK_TYPE, LAUNCHER_SETTINGS_ID, &resource) &&
      resource.size == sizeof record && gPlatform->resources->ReadResource(&resource, record)) {
    ReadLauncherSettings(record, sizeof record, &settings);
  }
  return settings;
}

}  // namespace

LauncherExit LaunchAndWait(const char* launchPath, const ArgumentTail& tail) {
  const LauncherSettings settings = ReadSettings();
  const bool adopted = settings.waitForDescendants && gPlatform->descendants->AdoptDescendants();
  const PlatformProcess process = gPlatform->processes->StartProcess(launchPath, &tail);
  if (process == 0) {
    return kExitDone;
  }
  std::uint32_t exitCode = 0;
  const bool known = gPlatform->processes->WaitForProcess(process, &exitCode);
  if (adopted) {
    gPlatform->descendants->WaitForDescendants();
  }
  return settings.installerExitCode && known ? static_cast<LauncherExit>(exitCode) : kExitDone;
}

// The publisher's choices of what the launcher waits for and which exit code
// it ends with, written by mirelk-pack attach as the launcher's resource
// LAUNCHER_MARK_TYPE / LAUNCHER_SETTINGS_ID (format/resource_ids.h) on both
// systems. A setup without it behaves as every setup did before the settings
// existed. Header-only: the launcher inlines it.
//
// The record, little-endian: version (32 bits, 1), flags (32 bits). A record
// of another size or version is not read at all (the defaults apply: what an
// older launcher would do); flags this version does not know are ignored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/byte_order.h"

constexpr std::uint32_t kLauncherSettingsVersion = 1;
constexpr std::size_t kLauncherSettingsSize = 8;

enum LauncherSettingsFlag : std::uint32_t {
  kWaitForDescendants = 1u << 0,  // --wait all: the installer and every process it starts
  kInstallerExitCode = 1u << 1,   // --exit-code installer
  kKnownSettingsFlags = kWaitForDescendants | kInstallerExitCode,
};

struct LauncherSettings {
  bool waitForDescendants;
  bool installerExitCode;
};

// The settings of a record of `size` bytes; false, with the defaults in
// `out`, when it is not a record this version reads.
inline bool ReadLauncherSettings(const std::uint8_t* bytes, std::size_t size,
                                 LauncherSettings* out) {
  out->waitForDescendants = false;
  out->installerExitCode = false;
  if (size != kLauncherSettingsSize || LoadLittle32(bytes) != kLauncherSettingsVersion) {
    return false;
  }
  const std::uint32_t flags = LoadLittle32(bytes + 4);
  out->waitForDescendants = (flags & kWaitForDescendants) != 0;
  out->installerExitCode = (flags & kInstallerExitCode) != 0;
  return true;
}

// The flags of a readable record beyond those this version knows (0 for none).
inline std::uint32_t UnknownLauncherSettingsFlags(const std::uint8_t* bytes) {
  return LoadLittle32(bytes + 4) & ~static_cast<std::uint32_t>(kKnownSettingsFlags);
}

inline void WriteLauncherSettings(const LauncherSettings& settings,
                                  std::uint8_t out[kLauncherSettingsSize]) {
  StoreLittleEndian(out, kLauncherSettingsVersion, 4);
  StoreLittleEndian(out + 4,
                    (settings.waitForDescendants ? kWaitForDescendants : 0u) |
                        (settings.installerExitCode ? kInstallerExitCode : 0u),
                    4);
}

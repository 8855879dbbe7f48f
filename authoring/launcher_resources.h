// The launcher's resources written into a prebuilt Windows launcher stub, laid
// out as resources/launcher.rc.in lays them out, with no resource compiler.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "authoring/icon.h"
#include "authoring/manifest.h"
#include "authoring/pe_image.h"
#include "authoring/version_info.h"

namespace pe {

// What a launcher made from a stub carries besides the stub's own resources.
// Each field given replaces the stub's resource of its kind (in every language).
struct LauncherResources {
  std::vector<std::uint8_t> package;                  // "PACKAGE" 105, language-neutral
  std::optional<std::vector<std::uint8_t>> splash;    // bitmap 106, 2052 (BitmapFromBmpFile)
  std::optional<std::vector<IconImage>> icon;         // icon group 101 with its images, 2052
  std::optional<VersionInfo> version;                 // version block 1, 2052
  std::optional<ExecutionLevel> executionLevel;       // manifest 1, language-neutral
  std::optional<std::vector<std::uint8_t>> settings;  // "MIRELK" 2, language-neutral
};

// The bitmap resource of a .bmp file: the file without its 14-byte file
// header, as resource compilers store it. FormatError when it is no BMP.
std::vector<std::uint8_t> BitmapFromBmpFile(std::span<const std::uint8_t> bmp);

// Whether `stub` can take the launcher's resources: a PE image, not signed,
// carrying the launcher mark (format/resource_ids.h). FormatError says why not.
void CheckLauncherStub(std::span<const std::uint8_t> stub);

// The stub with `resources` written in; everything else it carries is kept.
// New icon images take the lowest RT_ICON ids that are free once the images of
// the replaced group 101 are gone, so a stub without icons numbers them from
// 1, as windres does.
std::vector<std::uint8_t> WriteLauncherResources(std::span<const std::uint8_t> stub,
                                                 const LauncherResources& resources);

}  // namespace pe

// mirelk-pack: what a setup (a launcher with its package) carries, read back
// from either kind of launcher: its package and its launcher settings.
#include <random>

#include "authoring/elf_image.h"
#include "format/launcher_settings.h"
#include "authoring/pe_image.h"
#include "format/resource_ids.h"
#include "format/resource_table.h"
#include "tools/pack/pack.h"

namespace pack {

namespace {

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::uint64_t offset,
                                std::uint64_t size) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(offset),
          bytes.begin() + static_cast<std::ptrdiff_t>(offset + size)};
}

// The resources of a POSIX setup's table; none when it has no sound table.
bool ReadPosixSetup(const std::vector<std::uint8_t>& image, Setup* out) {
  ResourceTable table = {};
  if (image.size() < kResourceTrailerSize ||
      !ReadResourceTrailer(image.data() + image.size() - kResourceTrailerSize, image.size(),
                           &table)) {
    return false;
  }
  bool packaged = false;
  for (std::uint32_t i = 0; i < table.count; ++i) {
    const ResourceEntry entry =
        ReadResourceEntry(image.data() + table.offset + i * kResourceEntrySize);
    if (entry.offset > table.offset || entry.size > table.offset - entry.offset) {
      return false;
    }
    if (ResourceEntryIs(entry, kPackageResourceType, PACKAGE_RESOURCE_ID)) {
      out->package = Slice(image, entry.offset, entry.size);
      packaged = true;
    } else if (ResourceEntryIs(entry, LAUNCHER_MARK_TYPE, LAUNCHER_SETTINGS_ID)) {
      out->settings = Slice(image, entry.offset, entry.size);
    }
  }
  return packaged;
}

bool ReadWindowsSetup(const std::vector<std::uint8_t>& image, Setup* out) {
  bool packaged = false;
  try {
    for (pe::Resource& resource : pe::ReadResources(image)) {
      if (resource.type == pe::ResourceKey::Text(kPackageResourceType) &&
          resource.name == pe::ResourceKey::Number(PACKAGE_RESOURCE_ID)) {
        out->package = std::move(resource.data);
        packaged = true;
      } else if (resource.type == pe::ResourceKey::Text(LAUNCHER_MARK_TYPE) &&
                 resource.name == pe::ResourceKey::Number(LAUNCHER_SETTINGS_ID)) {
        out->settings = std::move(resource.data);
      }
    }
  } catch (const pe::FormatError&) {
    return false;
  }
  return packaged;
}

}  // namespace

std::optional<Setup> ReadSetup(sys::InputFile& file, const std::filesystem::path& path) {
  const std::string kind = KindOfFile(file, path);
  const bool posix = kind == kPosixSetupKind;
  if (!posix && kind != kWindowsSetupKind) {
    return std::nullopt;
  }
  // KindOfFile has found a Windows setup no larger than an image can be.
  const std::vector<std::uint8_t> image =
      ReadWhole(file, path, file.Size(), "larger than a Windows image can be");
  Setup setup;
  if (!(posix ? ReadPosixSetup(image, &setup) : ReadWindowsSetup(image, &setup))) {
    throw Failure(Describe(path, kind + ", but its package cannot be found in it"));
  }
  return setup;
}

std::string DescribeSettings(const Setup& setup) {
  LauncherSettings settings = {};
  const bool stored = setup.settings.has_value();
  const bool readable =
      stored && ReadLauncherSettings(setup.settings->data(), setup.settings->size(), &settings);
  std::string text = "settings: wait ";
  text += settings.waitForDescendants ? "all" : "installer";
  text += ", exit code ";
  text += settings.installerExitCode ? "installer" : "launcher";
  if (!stored) {
    text += " (none stored: the defaults)";
  } else if (!readable) {
    text += " (the stored record, " + std::to_string(setup.settings->size()) +
            " bytes, is not one this version reads: the launcher uses the defaults)";
  } else if (UnknownLauncherSettingsFlags(setup.settings->data()) != 0) {
    text += " (and flags this version does not know, which the launcher ignores)";
  }
  return text;
}

}  // namespace pack

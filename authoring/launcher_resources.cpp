// The launcher's resources in a Windows launcher stub.
#include "authoring/launcher_resources.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "format/resource_ids.h"

namespace pe {

namespace {

constexpr std::uint32_t kLanguageNeutral = 0;
constexpr std::uint32_t kLanguageChinesePrc = 2052;
constexpr std::uint32_t kVersionId = 1;
constexpr std::uint32_t kManifestId = 1;  // the manifest Windows reads when it starts a program
constexpr std::size_t kBmpFileHeaderSize = 14;

void Replace(std::vector<Resource>& list, ResourceKey type, std::uint32_t id,
             std::uint32_t language, std::vector<std::uint8_t> data) {
  const ResourceKey name = ResourceKey::Number(id);
  std::erase_if(list, [&](const Resource& r) { return r.type == type && r.name == name; });
  list.push_back({std::move(type), name, language, 0, std::move(data)});
}

void ReplaceIcon(std::vector<Resource>& list, const std::vector<IconImage>& images) {
  const ResourceKey groupType = ResourceKey::Number(kTypeGroupIcon);
  const ResourceKey iconType = ResourceKey::Number(kTypeIcon);
  const ResourceKey group = ResourceKey::Number(PROGRAM_ICON_ID);
  // The images of the replaced group go with it, unless another group shows them.
  std::set<std::uint32_t> unused;
  for (const Resource& r : list) {
    if (r.type == groupType && r.name == group) {
      for (const std::uint16_t id : IconGroupIds(r.data)) {
        unused.insert(id);
      }
    }
  }
  std::erase_if(list, [&](const Resource& r) { return r.type == groupType && r.name == group; });
  for (const Resource& r : list) {
    if (r.type == groupType) {
      for (const std::uint16_t id : IconGroupIds(r.data)) {
        unused.erase(id);
      }
    }
  }
  std::erase_if(list, [&](const Resource& r) {
    return r.type == iconType && !r.name.IsText() && unused.count(r.name.id) != 0;
  });

  std::set<std::uint32_t> taken;
  for (const Resource& r : list) {
    if (r.type == iconType && !r.name.IsText()) {
      taken.insert(r.name.id);
    }
  }
  std::vector<std::uint16_t> ids;
  std::uint32_t next = 1;
  for (const IconImage& image : images) {
    while (taken.count(next) != 0) {
      ++next;
    }
    if (next > 0xFFFF) {
      throw FormatError("the stub has no free icon ids left");
    }
    ids.push_back(static_cast<std::uint16_t>(next));
    list.push_back({iconType, ResourceKey::Number(next), kLanguageChinesePrc, 0, image.data});
    ++next;
  }
  list.push_back({groupType, group, kLanguageChinesePrc, 0, EncodeIconGroup(images, ids)});
}

// The stub's resources, once it is known to be an unsigned launcher image.
std::vector<Resource> StubResources(std::span<const std::uint8_t> stub) {
  if (!IsPeImage(stub)) {
    throw FormatError("not a Windows launcher stub: no PE header");
  }
  KindOf(stub);  // refuses damaged headers and section tables
  if (IsSigned(stub)) {
    throw FormatError(
        "the stub is signed: writing into it would break the signature (use an unsigned stub, "
        "then sign the result)");
  }
  std::vector<Resource> list = ReadResources(stub);
  const ResourceKey markType = ResourceKey::Text(LAUNCHER_MARK_TYPE);
  const ResourceKey markName = ResourceKey::Number(LAUNCHER_MARK_ID);
  const std::string_view mark = LAUNCHER_MARK_TEXT;
  const bool marked = std::any_of(list.begin(), list.end(), [&](const Resource& r) {
    return r.type == markType && r.name == markName &&
           std::equal(r.data.begin(), r.data.end(), mark.begin(), mark.end());
  });
  if (!marked) {
    throw FormatError("not a Mirelk launcher stub: it carries no " LAUNCHER_MARK_TYPE
                      " mark resource");
  }
  return list;
}

}  // namespace

std::vector<std::uint8_t> BitmapFromBmpFile(std::span<const std::uint8_t> bmp) {
  if (bmp.size() <= kBmpFileHeaderSize || bmp[0] != 'B' || bmp[1] != 'M') {
    throw FormatError("not a BMP picture");
  }
  return {bmp.begin() + kBmpFileHeaderSize, bmp.end()};
}

void CheckLauncherStub(std::span<const std::uint8_t> stub) {
  StubResources(stub);
}

std::vector<std::uint8_t> WriteLauncherResources(std::span<const std::uint8_t> stub,
                                                 const LauncherResources& resources) {
  std::vector<Resource> list = StubResources(stub);
  Replace(list, ResourceKey::Text(kPackageResourceType), PACKAGE_RESOURCE_ID, kLanguageNeutral,
          resources.package);
  if (resources.splash) {
    Replace(list, ResourceKey::Number(kTypeBitmap), SPLASH_BITMAP_ID, kLanguageChinesePrc,
            *resources.splash);
  }
  if (resources.icon) {
    ReplaceIcon(list, *resources.icon);
  }
  if (resources.version) {
    Replace(list, ResourceKey::Number(kTypeVersion), kVersionId, kLanguageChinesePrc,
            EncodeVersionInfo(*resources.version));
  }
  if (resources.executionLevel) {
    const std::string manifest = ApplicationManifest(*resources.executionLevel);
    Replace(list, ResourceKey::Number(kTypeManifest), kManifestId, kLanguageNeutral,
            {manifest.begin(), manifest.end()});
  }
  if (resources.settings) {
    Replace(list, ResourceKey::Text(LAUNCHER_MARK_TYPE), LAUNCHER_SETTINGS_ID, kLanguageNeutral,
            *resources.settings);
  }
  return WriteResources(stub, list);
}

}  // namespace pe

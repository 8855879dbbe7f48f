// Icon files and icon groups.
#include "authoring/icon.h"

#include <algorithm>
#include <string>

#include "format/byte_order.h"
#include "authoring/pe_image.h"

namespace pe {

namespace {

constexpr std::size_t kHeaderSize = 6;       // reserved, type, count
constexpr std::size_t kFileEntrySize = 16;   // .ico directory entry
constexpr std::size_t kGroupEntrySize = 14;  // RT_GROUP_ICON entry
constexpr std::uint16_t kIconFileType = 1;   // 2 would be a cursor file

[[noreturn]] void NotIco(const std::string& why) {
  throw FormatError("not an icon file (.ico): " + why);
}

}  // namespace

std::vector<IconImage> ReadIcoFile(std::span<const std::uint8_t> ico) {
  if (ico.size() < kHeaderSize) {
    NotIco("shorter than its header");
  }
  if (LoadLittle16(ico.data()) != 0 || LoadLittle16(ico.data() + 2) != kIconFileType) {
    NotIco("its header does not say icon");
  }
  const std::size_t count = LoadLittle16(ico.data() + 4);
  if (count == 0) {
    NotIco("it holds no image");
  }
  if (kHeaderSize + count * kFileEntrySize > ico.size()) {
    NotIco("its directory is cut short");
  }
  // Where each image lies, checked as a whole before anything is copied: a
  // directory of 65,535 entries pointing at one large image must not become
  // 65,535 copies of it.
  struct Extent {
    std::uint64_t offset;
    std::uint64_t size;
    std::size_t entry;
  };
  std::vector<Extent> extents;
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* entry = ico.data() + kHeaderSize + k * kFileEntrySize;
    const std::uint64_t size = LoadLittle32(entry + 8);
    const std::uint64_t offset = LoadLittle32(entry + 12);
    if (size == 0 || offset + size > ico.size()) {
      NotIco("image " + std::to_string(k + 1) + " lies outside the file");
    }
    if (offset < kHeaderSize + count * kFileEntrySize) {
      NotIco("image " + std::to_string(k + 1) + " overlaps the directory");
    }
    total += size;
    extents.push_back({offset, size, k});
  }
  std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.entry < b.entry;
  });
  for (std::size_t k = 1; k < extents.size(); ++k) {
    const Extent& before = extents[k - 1];
    if (extents[k].offset < before.offset + before.size) {
      const std::size_t first = std::min(before.entry, extents[k].entry) + 1;
      const std::size_t second = std::max(before.entry, extents[k].entry) + 1;
      NotIco("images " + std::to_string(first) + " and " + std::to_string(second) +
             (extents[k].offset == before.offset ? " are the same bytes" : " overlap"));
    }
  }
  if (total > kLargestIconImages) {
    NotIco("its images hold " + std::to_string(total) + " bytes, more than the " +
           std::to_string(kLargestIconImages) + " an icon takes");
  }

  std::vector<IconImage> images;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* entry = ico.data() + kHeaderSize + k * kFileEntrySize;
    const std::uint64_t size = LoadLittle32(entry + 8);
    const std::uint64_t offset = LoadLittle32(entry + 12);
    const std::uint8_t* data = ico.data() + offset;
    const bool isPng =
        size >= 8 && data[0] == 0x89 && data[1] == 'P' && data[2] == 'N' && data[3] == 'G';
    const bool isBitmap = size >= 40 && LoadLittle32(data) == 40;
    if (!isPng && !isBitmap) {
      NotIco("image " + std::to_string(k + 1) + " is neither a bitmap nor a PNG");
    }
    IconImage image;
    image.width = entry[0];
    image.height = entry[1];
    image.colorCount = entry[2];
    image.planes = LoadLittle16(entry + 4);
    image.bitCount = LoadLittle16(entry + 6);
    image.data.assign(ico.begin() + static_cast<std::ptrdiff_t>(offset),
                      ico.begin() + static_cast<std::ptrdiff_t>(offset + size));
    images.push_back(std::move(image));
  }
  return images;
}

std::vector<std::uint8_t> EncodeIconGroup(const std::vector<IconImage>& images,
                                          std::span<const std::uint16_t> ids) {
  if (ids.size() != images.size()) {
    throw FormatError("an icon group needs one id per image");
  }
  std::vector<std::uint8_t> group(kHeaderSize + images.size() * kGroupEntrySize, 0);
  StoreLittleEndian(group.data() + 2, kIconFileType, 2);
  StoreLittleEndian(group.data() + 4, static_cast<std::uint16_t>(images.size()), 2);
  for (std::size_t k = 0; k < images.size(); ++k) {
    const IconImage& image = images[k];
    std::uint16_t bits = image.bitCount;
    if (bits == 0) {
      while ((1u << bits) < image.colorCount) {
        ++bits;
      }
    }
    std::uint8_t* entry = group.data() + kHeaderSize + k * kGroupEntrySize;
    entry[0] = image.width;
    entry[1] = image.height;
    entry[2] = image.colorCount;
    StoreLittleEndian(entry + 4, image.planes != 0 ? image.planes : 1, 2);
    StoreLittleEndian(entry + 6, bits, 2);
    StoreLittleEndian(entry + 8, static_cast<std::uint32_t>(image.data.size()), 4);
    StoreLittleEndian(entry + 12, ids[k], 2);
  }
  return group;
}

std::vector<std::uint16_t> IconGroupIds(std::span<const std::uint8_t> group) {
  if (group.size() < kHeaderSize) {
    throw FormatError("an icon group resource is shorter than its header");
  }
  const std::size_t count = LoadLittle16(group.data() + 4);
  if (kHeaderSize + count * kGroupEntrySize > group.size()) {
    throw FormatError("an icon group resource is cut short");
  }
  std::vector<std::uint16_t> ids;
  for (std::size_t k = 0; k < count; ++k) {
    ids.push_back(LoadLittle16(group.data() + kHeaderSize + k * kGroupEntrySize + 12));
  }
  return ids;
}

}  // namespace pe

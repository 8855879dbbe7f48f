// Windows executables (PE32 and PE32+): their resources read as a flat list,
// and an image rewritten with a new resource section. Tool code: byte buffers
// in, byte buffers out, FormatError with a one-line message on bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pe {

struct FormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class ImageKind { kPe32, kPe32Plus };

// Where the resource section may end at most (its virtual address plus its
// size): images stay below 2 GiB, which every Windows loader maps. So no
// resource, the package included, can be larger.
inline constexpr std::uint64_t kLargestResourceEnd = 0x7FFFFFFFu;

// The largest file a PE image can be: its sizes and offsets are 32-bit.
inline constexpr std::uint64_t kLargestImageFile = 0xFFFFFFFFu;

// Standard resource types.
inline constexpr std::uint32_t kTypeBitmap = 2;
inline constexpr std::uint32_t kTypeIcon = 3;
inline constexpr std::uint32_t kTypeGroupIcon = 14;
inline constexpr std::uint32_t kTypeVersion = 16;
inline constexpr std::uint32_t kTypeManifest = 24;

// A resource type or name: a number, or a string when `text` is not empty.
struct ResourceKey {
  std::uint32_t id = 0;
  std::u16string text;

  static ResourceKey Number(std::uint32_t number) { return {number, {}}; }
  static ResourceKey Text(std::string_view ascii) { return {0, {ascii.begin(), ascii.end()}}; }
  bool IsText() const { return !text.empty(); }
  friend bool operator==(const ResourceKey&, const ResourceKey&) = default;
};

// The order of a resource directory: strings first, by UTF-16 code units,
// then numbers, ascending. Lookups search the entries in that order.
bool ComesBefore(const ResourceKey& a, const ResourceKey& b);

struct Resource {
  ResourceKey type;
  ResourceKey name;
  std::uint32_t language = 0;
  std::uint32_t codePage = 0;
  std::vector<std::uint8_t> data;
};

// Whether the bytes begin like a PE image ("MZ", then "PE\0\0" where the DOS
// header points); says nothing about the rest.
bool IsPeImage(std::span<const std::uint8_t> bytes);

// The kind of a PE image whose headers and section table are sound.
ImageKind KindOf(std::span<const std::uint8_t> image);

// Whether the image carries a signature (its security directory is present).
bool IsSigned(std::span<const std::uint8_t> image);

// Every resource of the image, in directory order.
std::vector<Resource> ReadResources(std::span<const std::uint8_t> image);

// The image with `resources` (any order) as its whole resource tree. The
// resource section keeps its place and grows or shrinks; a base relocation
// section after it moves along, and bytes after the last section stay after
// it. Refuses a signed image and a layout it cannot rewrite safely. The
// result's size of image, initialised data size, data directories and
// checksum are recomputed.
std::vector<std::uint8_t> WriteResources(std::span<const std::uint8_t> image,
                                         const std::vector<Resource>& resources);

// The image's link time stamp (the file header's TimeDateStamp).
std::uint32_t TimeStamp(std::span<const std::uint8_t> image);

// Sets the link time stamp and recomputes the checksum, so that a rebuilt
// setup can carry a chosen time rather than the stub's.
void SetTimeStamp(std::vector<std::uint8_t>& image, std::uint32_t stamp);

// The PE checksum of an image whose checksum field is at `checksumOffset`.
std::uint32_t Checksum(std::span<const std::uint8_t> image, std::size_t checksumOffset);

}  // namespace pe

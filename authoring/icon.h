// Icon files (.ico) and the icon group resource that points at their images.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace pe {

// One image of an .ico file, with what its directory entry says of it.
struct IconImage {
  std::uint8_t width = 0;   // 0 means 256
  std::uint8_t height = 0;  // 0 means 256
  std::uint8_t colorCount = 0;
  std::uint16_t planes = 0;
  std::uint16_t bitCount = 0;
  std::vector<std::uint8_t> data;  // the image as stored: a DIB or a PNG
};

// The most an icon's images may hold together, and so the largest .ico file
// taken (with its directory). Windows shows icons of at most 256 x 256
// pixels, and the largest image of that size (a 32-bit bitmap with its mask)
// is 270,376 bytes: 16 MiB is room for sixty of them, more than any icon
// carries, while a setup's icon resources, and the memory that makes them,
// stay bounded.
inline constexpr std::uint64_t kLargestIconImages = 16u << 20;
inline constexpr std::uint64_t kLargestIconFile = kLargestIconImages + 6 + 16 * 0xFFFFu;

// The images of an .ico file, in its order; FormatError when it is not one,
// when two directory entries share bytes (an image repeated or overlapping
// another), or when its images hold more than kLargestIconImages. All of that
// is checked before any image is copied.
std::vector<IconImage> ReadIcoFile(std::span<const std::uint8_t> ico);

// The icon group resource (RT_GROUP_ICON) for `images` stored as RT_ICON
// resources with the ids `ids`, one per image, as windres lays it out: a
// directory entry that leaves planes or bit count at 0 gets 1 plane and the
// bits its colour count needs, and the reserved byte is 0.
std::vector<std::uint8_t> EncodeIconGroup(const std::vector<IconImage>& images,
                                          std::span<const std::uint16_t> ids);

// The RT_ICON ids an icon group resource points at; FormatError when it is
// too short for the count it gives.
std::vector<std::uint16_t> IconGroupIds(std::span<const std::uint8_t> group);

}  // namespace pe

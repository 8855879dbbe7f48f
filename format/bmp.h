// BMP pictures as the splash carries them: a whole .bmp file (the 14-byte
// file header, then BITMAPINFOHEADER or one of its longer successors), 24
// bits per pixel, uncompressed, rows stored bottom-up (positive height) or
// top-down (negative height), each padded to a multiple of four bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest width or height a splash picture may have. The window shows at
// most 397 x 210 of it; anything far bigger is a broken or hostile resource.
constexpr int kLargestPictureSide = 4096;

enum BmpVerdict : int {
  kBmpReadable,
  kNotBmp,          // no "BM" at the start
  kBmpUnsupported,  // another kind of BMP: bits per pixel, compression,
                    // planes, an old core header, or sides beyond the largest
  kBmpDamaged,      // a size or offset that does not fit the file
};

// Where the pixels are, once the file has been checked.
struct BmpLayout {
  int width;
  int height;  // rows, always positive
  bool topDown;
  std::size_t pixelOffset;
  std::size_t stride;  // bytes from one stored row to the next
};

// Checks a whole file of `size` bytes; `out` is filled only for kBmpReadable,
// and then every row lies within the file.
BmpVerdict ReadBmpLayout(const std::uint8_t* bytes, std::size_t size, BmpLayout* out);

// The stored bytes (blue, green, red per pixel) of row `row`, top row 0.
inline const std::uint8_t* BmpRow(const std::uint8_t* bytes, const BmpLayout& layout, int row) {
  const int stored = layout.topDown ? row : layout.height - 1 - row;
  return bytes + layout.pixelOffset + layout.stride * static_cast<std::size_t>(stored);
}

// Checking a BMP picture before anything reads its pixels.
#include "format/bmp.h"

#include "format/byte_order.h"

namespace {

constexpr std::size_t kFileHeaderSize = 14;
// BITMAPINFOHEADER; its longer successors (V4, V5) start the same way.
constexpr std::uint32_t kInfoHeaderSize = 40;

}  // namespace

BmpVerdict ReadBmpLayout(const std::uint8_t* bytes, std::size_t size, BmpLayout* out) {
  if (bytes == nullptr || size < 2 || bytes[0] != 'B' || bytes[1] != 'M') {
    return kNotBmp;
  }
  if (size < kFileHeaderSize + 4) {
    return kBmpDamaged;
  }
  const std::uint32_t infoSize = LoadLittle32(bytes + 14);
  // The old 12-byte core header has 16-bit sizes and no compression field;
  // nothing writes it for 24-bit pictures any more.
  if (infoSize < kInfoHeaderSize) {
    return kBmpUnsupported;
  }
  if (size < kFileHeaderSize + kInfoHeaderSize || infoSize > size - kFileHeaderSize) {
    return kBmpDamaged;
  }
  const std::uint32_t pixelOffset = LoadLittle32(bytes + 10);
  const std::int32_t width = static_cast<std::int32_t>(LoadLittle32(bytes + 18));
  const std::int32_t storedHeight = static_cast<std::int32_t>(LoadLittle32(bytes + 22));
  const std::uint32_t planes = LoadLittle16(bytes + 26);
  const std::uint32_t bitsPerPixel = LoadLittle16(bytes + 28);
  const std::uint32_t compression = LoadLittle32(bytes + 30);
  if (planes != 1 || bitsPerPixel != 24 || compression != 0) {
    return kBmpUnsupported;
  }
  if (width <= 0 || storedHeight == 0) {
    return kBmpDamaged;
  }
  // Checking against -kLargestPictureSide also keeps INT32_MIN from being negated.
  if (width > kLargestPictureSide || storedHeight < -kLargestPictureSide ||
      storedHeight > kLargestPictureSide) {
    return kBmpUnsupported;
  }
  const int height = storedHeight < 0 ? -storedHeight : storedHeight;

  // The sides are at most 4096, so none of these products can overflow.
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
  const std::size_t pixelBytes = stride * static_cast<std::size_t>(height);
  if (pixelOffset < kFileHeaderSize + infoSize || pixelOffset > size ||
      pixelBytes > size - pixelOffset) {
    return kBmpDamaged;
  }
  out->width = width;
  out->height = height;
  out->topDown = storedHeight < 0;
  out->pixelOffset = pixelOffset;
  out->stride = stride;
  return kBmpReadable;
}

// Decoding the splash picture and blending it, as plain arithmetic on bytes.
#include "platform/posix/x11_picture.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format/bmp.h"

bool DecodeRgbPicture(const unsigned char* bytes, std::size_t size, RgbPicture* out) {
  out->width = 0;
  out->height = 0;
  out->rgb = nullptr;
  BmpLayout layout = {};
  if (ReadBmpLayout(bytes, size, &layout) != kBmpReadable) {
    return false;
  }
  const std::size_t rowBytes = static_cast<std::size_t>(layout.width) * 3;
  unsigned char* rgb =
      static_cast<unsigned char*>(std::malloc(rowBytes * static_cast<std::size_t>(layout.height)));
  if (rgb == nullptr) {
    return false;
  }
  for (int row = 0; row < layout.height; ++row) {
    const std::uint8_t* from = BmpRow(bytes, layout, row);
    unsigned char* to = rgb + rowBytes * static_cast<std::size_t>(row);
    // Stored blue, green, red.
    for (std::size_t i = 0; i < rowBytes; i += 3) {
      to[i] = from[i + 2];
      to[i + 1] = from[i + 1];
      to[i + 2] = from[i];
    }
  }
  out->width = layout.width;
  out->height = layout.height;
  out->rgb = rgb;
  return true;
}

void ClipRgbPicture(RgbPicture* picture, int width, int height) {
  const int keptWidth = width < picture->width ? (width < 0 ? 0 : width) : picture->width;
  const int keptHeight = height < picture->height ? (height < 0 ? 0 : height) : picture->height;
  if (keptWidth != picture->width) {
    const std::size_t from = static_cast<std::size_t>(picture->width) * 3;
    const std::size_t to = static_cast<std::size_t>(keptWidth) * 3;
    // Rows only move toward the start, so front to back never overwrites a
    // row before it has moved.
    for (int row = 1; row < keptHeight; ++row) {
      std::memmove(picture->rgb + to * static_cast<std::size_t>(row),
                   picture->rgb + from * static_cast<std::size_t>(row), to);
    }
  }
  picture->width = keptWidth;
  picture->height = keptHeight;
}

void FreeRgbPicture(RgbPicture* picture) {
  std::free(picture->rgb);
  picture->rgb = nullptr;
  picture->width = 0;
  picture->height = 0;
}

void BlendFrame(const unsigned char* source, unsigned char* canvas, std::size_t count, int alpha) {
  const unsigned weight = alpha < 0 ? 0u : alpha > 255 ? 255u : static_cast<unsigned>(alpha);
  for (std::size_t i = 0; i < count; ++i) {
    // Adding 127 before dividing rounds to nearest; 255 is odd, so no sum
    // lies exactly halfway between two results.
    const unsigned sum = source[i] * weight + canvas[i] * (255u - weight);
    canvas[i] = static_cast<unsigned char>((sum + 127u) / 255u);
  }
}

// Pixel values for TrueColor visuals, as plain arithmetic on masks.
#include "platform/posix/x11_pixels.h"

#include <bit>
#include <climits>
#include <cstdint>

namespace {

bool IsOneRunOfBits(unsigned long mask) {
  if (mask == 0) {
    return false;
  }
  const unsigned long run = mask >> std::countr_zero(mask);
  return (run & (run + 1)) == 0;
}

unsigned long ScaleChannel(unsigned char value, unsigned long mask) {
  const int shift = std::countr_zero(mask);
  const std::uint64_t top = mask >> shift;
  // Rounded like the blend, so that 8-bit masks take the value unchanged.
  const std::uint64_t scaled = (value * top + 127) / 255;
  return static_cast<unsigned long>(scaled) << shift;
}

}  // namespace

bool MakePixelLayout(unsigned long redMask, unsigned long greenMask, unsigned long blueMask,
                     int depth, PixelLayout* out) {
  constexpr int kBits = static_cast<int>(sizeof(unsigned long) * CHAR_BIT);
  if (depth <= 0 || depth > kBits || !IsOneRunOfBits(redMask) || !IsOneRunOfBits(greenMask) ||
      !IsOneRunOfBits(blueMask) || (redMask & greenMask) != 0 || (redMask & blueMask) != 0 ||
      (greenMask & blueMask) != 0) {
    return false;
  }
  const unsigned long depthBits = depth == kBits ? ~0ul : (1ul << depth) - 1;
  const unsigned long colourBits = redMask | greenMask | blueMask;
  if ((colourBits & ~depthBits) != 0) {
    return false;
  }
  out->redMask = redMask;
  out->greenMask = greenMask;
  out->blueMask = blueMask;
  out->fixedBits = depthBits & ~colourBits;
  return true;
}

unsigned long PackPixel(const PixelLayout& layout, unsigned char red, unsigned char green,
                        unsigned char blue) {
  return layout.fixedBits | ScaleChannel(red, layout.redMask) |
         ScaleChannel(green, layout.greenMask) | ScaleChannel(blue, layout.blueMask);
}

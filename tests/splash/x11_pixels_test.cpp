// Pixel values for TrueColor X visuals.
#include "platform/posix/x11_pixels.h"

#include <gtest/gtest.h>

namespace {

// Eight-bit channels go in unchanged, whatever their order; the bits of a
// 32-bit depth no colour uses are set in every pixel; other widths are scaled
// with rounding.
TEST(SplashPixels, PacksChannelsIntoTheirMasks) {
  struct {
    const char* layout;
    unsigned long red, green, blue;
    int depth;
    unsigned long fixedBits;
    unsigned char r, g, b;
    unsigned long pixel;
  } const cases[] = {
      {"rgb", 0xFF0000, 0x00FF00, 0x0000FF, 24, 0, 0x12, 0x34, 0x56, 0x123456},
      {"rgb", 0xFF0000, 0x00FF00, 0x0000FF, 24, 0, 0, 0, 0, 0},
      {"bgr", 0x0000FF, 0x00FF00, 0xFF0000, 24, 0, 0x12, 0x34, 0x56, 0x563412},
      {"argb", 0xFF0000, 0x00FF00, 0x0000FF, 32, 0xFF000000, 0x12, 0x34, 0x56, 0xFF123456},
      {"argb", 0xFF0000, 0x00FF00, 0x0000FF, 32, 0xFF000000, 0, 0, 0, 0xFF000000},
      {"10 bits", 0x3FF00000, 0x000FFC00, 0x000003FF, 30, 0, 255, 0, 128, (1023ul << 20) | 514},
      {"565", 0xF800, 0x07E0, 0x001F, 16, 0, 255, 255, 255, 0xFFFF},
      {"565", 0xF800, 0x07E0, 0x001F, 16, 0, 8, 0, 0, 1ul << 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    PixelLayout layout = {};
    ASSERT_TRUE(MakePixelLayout(c.red, c.green, c.blue, c.depth, &layout));
    EXPECT_EQ(layout.fixedBits, c.fixedBits);
    EXPECT_EQ(PackPixel(layout, c.r, c.g, c.b), c.pixel);
  }
}

TEST(SplashPixels, RefusesMasksThatDoNotDescribeAPixel) {
  PixelLayout layout = {};
  EXPECT_FALSE(MakePixelLayout(0, 0x00FF00, 0x0000FF, 24, &layout));
  EXPECT_FALSE(MakePixelLayout(0xF0F000, 0x000F00, 0x0000FF, 24, &layout));
  EXPECT_FALSE(MakePixelLayout(0xFF0000, 0xFFFF00, 0x0000FF, 24, &layout));
  EXPECT_FALSE(MakePixelLayout(0xFF000000, 0x00FF00, 0x0000FF, 24, &layout));
  EXPECT_FALSE(MakePixelLayout(0xFF0000, 0x00FF00, 0x0000FF, 0, &layout));
}

}  // namespace

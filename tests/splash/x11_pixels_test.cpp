// Pixel values for TrueColor X visuals.
#include "platform/posix/x11_pixels.h"

#include <gtest/gtest.h>

namespace {

TEST(SplashPixels, PacksEightBitChannelsUnchanged) {
  PixelLayout rgb = {};
  ASSERT_TRUE(MakePixelLayout(0xFF0000, 0x00FF00, 0x0000FF, 24, &rgb));
  EXPECT_EQ(rgb.fixedBits, 0u);
  EXPECT_EQ(PackPixel(rgb, 0x12, 0x34, 0x56), 0x123456u);
  EXPECT_EQ(PackPixel(rgb, 0, 0, 0), 0u);

  PixelLayout bgr = {};
  ASSERT_TRUE(MakePixelLayout(0x0000FF, 0x00FF00, 0xFF0000, 24, &bgr));
  EXPECT_EQ(PackPixel(bgr, 0x12, 0x34, 0x56), 0x563412u);
}

TEST(SplashPixels, SetsTheUnusedBitsOfAThirtyTwoBitDepth) {
  PixelLayout argb = {};
  ASSERT_TRUE(MakePixelLayout(0xFF0000, 0x00FF00, 0x0000FF, 32, &argb));
  EXPECT_EQ(argb.fixedBits, 0xFF000000u);
  EXPECT_EQ(PackPixel(argb, 0x12, 0x34, 0x56), 0xFF123456u);
  EXPECT_EQ(PackPixel(argb, 0, 0, 0), 0xFF000000u);
}

TEST(SplashPixels, ScalesToOtherChannelWidthsWithRounding) {
  PixelLayout deep = {};
  ASSERT_TRUE(MakePixelLayout(0x3FF00000, 0x000FFC00, 0x000003FF, 30, &deep));
  EXPECT_EQ(PackPixel(deep, 255, 0, 128), (1023ul << 20) | 514u);
  PixelLayout narrow = {};
  ASSERT_TRUE(MakePixelLayout(0xF800, 0x07E0, 0x001F, 16, &narrow));
  EXPECT_EQ(PackPixel(narrow, 255, 255, 255), 0xFFFFu);
  EXPECT_EQ(PackPixel(narrow, 8, 0, 0), 1ul << 11);
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

// The package header's properties byte and the window it is decoded with;
// how an .xz package is told apart.
#include <gtest/gtest.h>

#include <algorithm>

#include "format/package.h"

namespace {

TEST(LzmaProperties, SplitsEveryByteValue) {
  struct {
    unsigned byte, lc, lp, pb;
  } const cases[] = {
      {0x5D, 3, 0, 2}, {0, 0, 0, 0},   {44, 8, 4, 0},  {45, 0, 0, 1},
      {224, 8, 4, 4},  {225, 0, 0, 5}, {255, 3, 3, 5}, {9, 0, 1, 0},
  };
  for (const auto& c : cases) {
    const LzmaProperties split = SplitLzmaProperties(static_cast<std::uint8_t>(c.byte));
    EXPECT_EQ(split.lc, c.lc) << c.byte;
    EXPECT_EQ(split.lp, c.lp) << c.byte;
    EXPECT_EQ(split.pb, c.pb) << c.byte;
  }
  // Every value splits back into itself.
  for (unsigned byte = 0; byte < 256; ++byte) {
    const LzmaProperties split = SplitLzmaProperties(static_cast<std::uint8_t>(byte));
    EXPECT_EQ((split.pb * 5 + split.lp) * 9 + split.lc, byte);
  }
}

PackageHeader Header(std::uint32_t dictionarySize, std::uint32_t unpackedSize) {
  return PackageHeader{kPackageProperties, dictionarySize, unpackedSize, 0};
}

TEST(DecodingWindow, StartsAtTheAnnouncedDictionaryWithinBounds) {
  struct {
    const char* label;
    PackageHeader header;
    std::uint32_t window;
  } const cases[] = {
      {"the dictionary", Header(8u << 20, 100u << 20), 8u << 20},
      {"no wider than the output", Header(8u << 20, 5000), 5000},
      {"unknown size: the dictionary", Header(8u << 20, kUnknownUnpackedSize), 8u << 20},
      {"never above 64 MiB", Header(0xFFFFFFFFu, 0xFFFFFFF0u), 64u << 20},
      {"never below 4 KiB", Header(0, 0), 4096},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FirstDecodingWindow(c.header), c.window) << c.label;
  }
}

TEST(DecodingWindow, WidensToCoverEverythingProducedAndAtLeastDoubles) {
  EXPECT_EQ(WiderDecodingWindow(8u << 20, 9u << 20), 16u << 20);
  EXPECT_EQ(WiderDecodingWindow(4096, 100u << 20), (100u << 20) + (1u << 20));
  EXPECT_EQ(WiderDecodingWindow(3u << 30, 3u << 30), 0xFFFFFFFFu);
  EXPECT_EQ(WiderDecodingWindow(0xFFFFFFFFu, 0xFFFFFFFEu), 0xFFFFFFFFu);
}

TEST(XzPackage, IsToldApartByItsMagicAlone) {
  const std::uint8_t xz[] = {0xFD, '7', 'z', 'X', 'Z', 0x00, 0x00, 0x04};
  EXPECT_TRUE(IsXzPackage(xz, sizeof xz));
  EXPECT_TRUE(IsXzPackage(xz, 6));
  EXPECT_FALSE(IsXzPackage(xz, 5)) << "shorter than the magic";
  for (std::size_t i = 0; i < 6; ++i) {
    std::uint8_t other[sizeof xz];
    std::copy(xz, xz + sizeof xz, other);
    other[i] ^= 0x20;
    EXPECT_FALSE(IsXzPackage(other, sizeof other)) << i;
  }
  // The first byte of an LZMA-Alone package the decoder takes is never 0xFD.
  EXPECT_GE(SplitLzmaProperties(0xFD).pb, 5u);
}

}  // namespace

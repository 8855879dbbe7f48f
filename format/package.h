// The package stream: a 13-byte header (the LZMA-Alone form) followed by raw
// LZMA data to the end of the stream, and the window the launcher decodes it
// with. Header-only.
//
//   offset 0   1 byte   properties: lc + 9 lp + 45 pb
//   offset 1   4 bytes  dictionary size
//   offset 5   4 bytes  unpacked size, low half (kUnknownUnpackedSize: unknown)
//   offset 9   4 bytes  unpacked size, high half, ignored
//   offset 13           raw LZMA data
#pragma once

#include <cstdint>

#include "format/byte_order.h"

constexpr std::size_t kPackageHeaderSize = 13;

// The low half of the unpacked size when the encoder did not know it (all
// eight size bytes 0xFF); the stream then ends with an end-of-stream marker.
constexpr std::uint32_t kUnknownUnpackedSize = 0xFFFFFFFFu;
// The largest bundle a package holds: every size below the unknown-size
// marker can be announced.
constexpr std::uint64_t kLargestBundleSize = kUnknownUnpackedSize - 1u;

// What mirelk-pack writes: lc 3, lp 0, pb 2 and an 8 MiB dictionary.
constexpr std::uint8_t kPackageProperties = 0x5D;
constexpr std::uint32_t kPackageDictionarySize = 0x00800000;

struct PackageHeader {
  std::uint8_t properties;
  std::uint32_t dictionarySize;
  std::uint32_t unpackedSize;  // the low half: the output is at most this long
  std::uint32_t unpackedHigh;  // plays no part in decoding
};

constexpr PackageHeader ReadPackageHeader(const std::uint8_t* bytes) {
  return PackageHeader{bytes[0], LoadLittle32(bytes + 1), LoadLittle32(bytes + 5),
                       LoadLittle32(bytes + 9)};
}

constexpr void WritePackageHeader(const PackageHeader& header, std::uint8_t* out) {
  out[0] = header.properties;
  StoreLittleEndian(out + 1, header.dictionarySize, 4);
  StoreLittleEndian(out + 5, header.unpackedSize, 4);
  StoreLittleEndian(out + 9, header.unpackedHigh, 4);
}

constexpr bool HasUnknownSize(const PackageHeader& header) {
  return header.unpackedSize == kUnknownUnpackedSize;
}

// The most output the stream may give: the announced size; for an unknown
// size, the largest bundle there can be.
constexpr std::uint64_t LargestOutput(const PackageHeader& header) {
  return HasUnknownSize(header) ? kLargestBundleSize : header.unpackedSize;
}

// lc, lp and pb of a properties byte.
struct LzmaProperties {
  unsigned lc;
  unsigned lp;
  unsigned pb;
};

// Every byte value splits, with no range check: 224 gives lc 8, lp 4, pb 4,
// and 225 or more give pb 5. Whether the decoder takes them is its matter.
constexpr LzmaProperties SplitLzmaProperties(std::uint8_t properties) {
  unsigned d = properties;
  LzmaProperties split = {0, 0, 0};
  if (d >= 45) {
    split.pb = d / 45;
    d -= 45 * split.pb;
  }
  if (d >= 9) {
    split.lp = d / 9;
    d -= 9 * split.lp;
  }
  split.lc = d;
  return split;
}

// ---- The decoding window ----------------------------------------------------
//
// A match may reach back to the first byte of the output, whatever the
// dictionary field says. Real encoders never reach back further than the
// dictionary they announce, so decoding starts with that window, in bounded
// memory, and only a stream that outruns it is decoded again, wider.

// The first window is never larger than this, whatever the header claims: a
// few hundred bytes of package must not make the decoder ask for 4 GiB.
constexpr std::uint32_t kLargestFirstWindow = 64u << 20;
// The smallest window the decoder takes.
constexpr std::uint32_t kSmallestWindow = 4096;
constexpr std::uint32_t kLargestWindow = 0xFFFFFFFFu;
// A wider window covers everything produced so far and this much more.
constexpr std::uint32_t kWindowHeadroom = 1u << 20;

// The announced dictionary, capped by the announced size (a window larger
// than the output holds nothing more) and by kLargestFirstWindow.
constexpr std::uint32_t FirstDecodingWindow(const PackageHeader& header) {
  std::uint32_t window = header.dictionarySize;
  if (!HasUnknownSize(header) && header.unpackedSize < window) {
    window = header.unpackedSize;
  }
  if (window > kLargestFirstWindow) {
    window = kLargestFirstWindow;
  }
  if (window < kSmallestWindow) {
    window = kSmallestWindow;
  }
  return window;
}

// The window for the next attempt after a stream reached back beyond
// `window` with `produced` bytes out: at least double, and covering all of
// them. A stream that fails within a window covering its whole output so far
// is damaged, so the attempts end.
constexpr std::uint32_t WiderDecodingWindow(std::uint32_t window, std::uint64_t produced) {
  std::uint64_t wider = 2ull * window;
  if (wider < produced + kWindowHeadroom) {
    wider = produced + kWindowHeadroom;
  }
  return wider < kLargestWindow ? static_cast<std::uint32_t>(wider) : kLargestWindow;
}

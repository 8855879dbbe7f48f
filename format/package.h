// The package stream, in one of two formats, and how the launcher decodes
// each. Header-only.
//
// LZMA-Alone: a 13-byte header followed by raw LZMA data to the end of the
// stream, decoded with a window (below):
//
//   offset 0   1 byte   properties: lc + 9 lp + 45 pb
//   offset 1   4 bytes  dictionary size
//   offset 5   4 bytes  unpacked size, low half (kUnknownUnpackedSize: unknown)
//   offset 9   4 bytes  unpacked size, high half, ignored
//   offset 13           raw LZMA data
//
// .xz: a package that begins with the .xz magic is an .xz file (one or more
// streams of blocks, each block with an integrity check), decoded on several
// threads within memory limits (at the end).
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

// ---- .xz packages -------------------------------------------------------------
//
// The magic no LZMA-Alone package can begin with: its first byte, 0xFD, would
// be a properties byte with pb 5, which no LZMA decoder takes.
constexpr std::uint8_t kXzMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};

constexpr bool IsXzPackage(const std::uint8_t* bytes, std::size_t size) {
  if (size < sizeof kXzMagic) {
    return false;
  }
  for (std::size_t i = 0; i < sizeof kXzMagic; ++i) {
    if (bytes[i] != kXzMagic[i]) {
      return false;
    }
  }
  return true;
}

// What mirelk-pack writes: blocks of 2 MiB of bundle, each LZMA2 with a
// dictionary as large as the block (a block never reaches into the one
// before it, so a larger one would hold nothing more), and a CRC64 check.
// 2 MiB blocks make the bench bundle 28 blocks, enough to keep 8 threads
// busy, at 0.4 % more package than 8 MiB blocks, and each block decoded in
// parallel takes about 6 MiB.
constexpr std::uint32_t kXzBlockSize = 2u << 20;
constexpr std::uint32_t kXzDictionarySize = kXzBlockSize;

// Decoding threads: one per processor, at most this many. Each block decoded
// in parallel holds its dictionary and the whole block, packed and unpacked,
// so more threads mostly take more memory: 8 of mirelk-pack's blocks fill
// kXzThreadingMemory.
constexpr std::uint32_t kLargestDecodingThreadCount = 8;

constexpr std::uint32_t DecodingThreads(std::uint32_t processors) {
  if (processors < 1) {
    return 1;
  }
  return processors < kLargestDecodingThreadCount ? processors : kLargestDecodingThreadCount;
}

// What decoding on several threads may take in all; a package whose blocks
// need more is decoded on one thread. A header may claim blocks of any size:
// this bounds what the claim can make the decoder allocate.
constexpr std::uint64_t kXzThreadingMemory = 48u << 20;
// What decoding may take at all, on one thread: a dictionary of up to 64 MiB
// (the largest the xz presets use) and the decoder's own state. A package
// that needs more (a header may claim a dictionary of up to 4 GiB) is
// rejected. LZMA2 dictionaries come in steps of 2^n and 3 * 2^(n-1), so the
// next one above 64 MiB, 96 MiB, is well beyond this.
constexpr std::uint64_t kXzMemoryLimit = 65u << 20;

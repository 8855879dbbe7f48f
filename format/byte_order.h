// Little-endian integers, as the package header, the bundle, the POSIX
// resource table and BMP pictures store them. Header-only: the launcher's
// callers inline them.
#pragma once

#include <cstddef>
#include <cstdint>

// The `count` bytes at `bytes` (1 to 8), least significant first.
constexpr std::uint64_t LoadLittleEndian(const std::uint8_t* bytes, int count) {
  std::uint64_t value = 0;
  for (int k = 0; k < count; ++k) {
    value |= static_cast<std::uint64_t>(bytes[k]) << (8 * k);
  }
  return value;
}

// Written out rather than looped, and always inlined, so that each one is a
// single load where it is used, also when optimising for size.
[[gnu::always_inline]] constexpr std::uint16_t LoadLittle16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

[[gnu::always_inline]] constexpr std::uint32_t LoadLittle32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

[[gnu::always_inline]] constexpr std::uint64_t LoadLittle64(const std::uint8_t* bytes) {
  return LoadLittle32(bytes) | static_cast<std::uint64_t>(LoadLittle32(bytes + 4)) << 32;
}

// Writes the low `count` bytes of `value` (1 to 8) at `out`, least significant first.
constexpr void StoreLittleEndian(std::uint8_t* out, std::uint64_t value, int count) {
  for (int k = 0; k < count; ++k) {
    out[k] = static_cast<std::uint8_t>(value >> (8 * k));
  }
}

// Appends the low `count` bytes of `value` to a byte container (anything with
// push_back), for the tools and tests that build formats in memory.
template <typename Bytes>
void AppendLittleEndian(Bytes& out, std::uint64_t value, int count) {
  for (int k = 0; k < count; ++k) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
  }
}

// Little-endian loads and stores on byte buffers; the caller checks the bounds.
#pragma once

#include <cstdint>

inline std::uint16_t LoadLe16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::uint32_t LoadLe32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

inline void StoreLe16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLe32(std::uint8_t* at, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) {
    at[k] = static_cast<std::uint8_t>(value >> (8 * k));
  }
}

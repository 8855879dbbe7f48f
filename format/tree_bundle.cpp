// Which tree bundle paths the launcher writes.
#include "format/tree_bundle.h"

#include <cstring>

namespace {

// The length of the UTF-8 sequence at `bytes`, 0 when it is not a valid one.
std::size_t Utf8SequenceLength(const unsigned char* bytes, std::size_t left) {
  const unsigned char lead = bytes[0];
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (left < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) {
      return 0;
    }
    value = value << 6 | (bytes[i] & 0x3F);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool IsRefusedByWindows(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || std::strchr("<>\"|?*", byte) != nullptr;
}

}  // namespace

BundleRevision BundleRevisionOf(const std::uint8_t* bytes, std::size_t size) {
  if (size >= sizeof kBundleMagic && std::memcmp(bytes, kBundleMagic, sizeof kBundleMagic) == 0) {
    return kFlatBundle;
  }
  if (size >= sizeof kTreeBundleMagic &&
      std::memcmp(bytes, kTreeBundleMagic, sizeof kTreeBundleMagic) == 0) {
    return kTreeBundle;
  }
  return kNotABundle;
}

bool IsAcceptablePathComponent(const char* component, std::size_t length) {
  if (length == 0 || length > kLongestPathComponent) {
    return false;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(component);
  for (std::size_t i = 0; i < length;) {
    const std::size_t sequence = Utf8SequenceLength(bytes + i, length - i);
    if (sequence == 0 || (sequence == 1 && IsRefusedByWindows(bytes[i]))) {
      return false;
    }
    i += sequence;
  }
  // The flat rules read bytes as Latin-1; a superscript one, two or three
  // after "COM" or "LPT" is given as its Latin-1 byte, so that they see the
  // device Windows would open.
  char flat[kLongestPathComponent] = {};
  std::memcpy(flat, component, length);
  std::size_t flatLength = length;
  if (length >= 5 && bytes[3] == 0xC2 && (bytes[4] == 0xB9 || bytes[4] == 0xB2 || bytes[4] == 0xB3)) {
    flat[3] = component[4];
    std::memmove(flat + 4, flat + 5, length - 5);
    flatLength = length - 1;
  }
  return IsAcceptableEntryName(flat, flatLength, kLatin1CodePage);
}

bool IsAcceptableEntryPath(const char* path, std::size_t length) {
  if (length == 0 || length > kLongestEntryPath) {
    return false;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    if (i == length || path[i] == '/') {
      if (!IsAcceptablePathComponent(path + start, i - start)) {
        return false;
      }
      start = i + 1;
    }
  }
  return true;
}

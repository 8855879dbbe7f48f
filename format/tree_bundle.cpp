// Which tree bundle paths the launcher writes.
#include "format/tree_bundle.h"

#include <cstring>

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
  // Bytes below 0x80 are whole characters in UTF-8; the rest is the flat
  // bundle's rule on the decoded characters, which also refuses invalid UTF-8.
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(component[i]);
    if (byte < 0x80 && IsRefusedNameCharacter(byte)) {
      return false;
    }
  }
  return IsAcceptableUtf8Name(component, length);
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

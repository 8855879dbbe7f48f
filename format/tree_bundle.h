// The tree bundle: the second bundle revision, which carries folders, UTF-8
// paths and an executable flag (docs/bundle-format.md has it byte by byte).
// Integers are 32-bit little-endian, fields packed with no alignment.
//
//   header, 12 bytes:  "MRB2", entry count, launch index (zero-based;
//                      kNoLaunchEntry or any index past the entries: none)
//   each entry:        kind, path length N, N path bytes (UTF-8, components
//                      separated by '/', no terminating zero), data size S
//                      (0 for a directory), S data bytes
//
// Its magic does not begin with "HEN", so a launcher that reads only the flat
// bundle (format/bundle.h) refuses it as having no magic.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/bundle.h"

constexpr char kTreeBundleMagic[4] = {'M', 'R', 'B', '2'};
constexpr std::size_t kTreeBundleHeaderSize = 12;
constexpr std::uint32_t kNoLaunchEntry = 0xFFFFFFFFu;

// What an entry is; any other value is refused.
enum TreeEntryKind : std::uint32_t {
  kTreeFile = 0,            // written 0600 on POSIX
  kTreeDirectory = 1,       // made (or taken, when it is already there) 0700
  kTreeExecutableFile = 2,  // written 0700 on POSIX; on Windows a plain file
};

// The longest path, and the longest component of one, in bytes. A component
// of at most 255 UTF-8 bytes is at most 255 UTF-16 units, so every common
// file system takes it.
constexpr std::size_t kLongestEntryPath = 1024;
constexpr std::size_t kLongestPathComponent = 255;

// How many bytes an entry's record takes.
constexpr std::uint64_t TreeRecordSize(std::uint64_t pathLength, std::uint64_t dataSize) {
  return 3 * kBundleFieldSize + pathLength + dataSize;
}

// The 12 header bytes, magic included.
constexpr void WriteTreeBundleHeader(std::uint32_t count, std::uint32_t launchIndex,
                                     std::uint8_t* out) {
  for (std::size_t i = 0; i < sizeof kTreeBundleMagic; ++i) {
    out[i] = static_cast<std::uint8_t>(kTreeBundleMagic[i]);
  }
  StoreLittleEndian(out + 4, count, 4);
  StoreLittleEndian(out + 8, launchIndex, 4);
}

// Which revision a bundle's first bytes announce.
enum BundleRevision : int {
  kNotABundle,
  kFlatBundle,  // "HEN"
  kTreeBundle,  // "MRB2"
};
BundleRevision BundleRevisionOf(const std::uint8_t* bytes, std::size_t size);

// Whether a component of a tree path is one the launcher writes: valid UTF-8
// (no overlong form, surrogate or code point past U+10FFFF), at most
// kLongestPathComponent bytes, no control character and none of < > " | ? *,
// which Windows refuses in names, and acceptable as a flat entry name
// (IsAcceptableEntryName: no separator, colon, trailing dot or blank, ".",
// ".." or device name, superscript digits included). The same rules on every
// system, so that one bundle is written alike everywhere.
bool IsAcceptablePathComponent(const char* component, std::size_t length);

// Whether a whole tree path is: 1 to kLongestEntryPath bytes of acceptable
// components separated by single '/', none first or last.
bool IsAcceptableEntryPath(const char* path, std::size_t length);

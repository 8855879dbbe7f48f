// The bundle: what a package decodes to, a flat archive of named files.
// Integers are 32-bit little-endian, fields packed with no alignment.
//
//   header, 15 bytes:  "HEN", entry count (signed; 0 or less: none),
//                      launch flag (non-zero: an entry is the launch entry),
//                      launch index (signed, zero-based)
//   each entry:        name length N, N name bytes (no terminating zero),
//                      data size S, S data bytes
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/byte_order.h"

constexpr char kBundleMagic[3] = {'H', 'E', 'N'};
constexpr std::size_t kBundleHeaderSize = 15;
// Every integer field of the header and the records.
constexpr int kBundleFieldSize = 4;

// A name is held in a zero-filled 260-byte buffer, so it is at most 259 bytes.
constexpr std::size_t kLongestEntryName = 259;
constexpr std::uint64_t kLargestEntrySize = 0xFFFFFFFFu;

struct BundleHeader {
  std::int32_t count;
  std::uint32_t launchFlag;
  std::int32_t launchIndex;
};

// The 15 header bytes, magic included.
constexpr void WriteBundleHeader(const BundleHeader& header, std::uint8_t* out) {
  out[0] = static_cast<std::uint8_t>(kBundleMagic[0]);
  out[1] = static_cast<std::uint8_t>(kBundleMagic[1]);
  out[2] = static_cast<std::uint8_t>(kBundleMagic[2]);
  StoreLittleEndian(out + 3, static_cast<std::uint32_t>(header.count), 4);
  StoreLittleEndian(out + 7, header.launchFlag, 4);
  StoreLittleEndian(out + 11, static_cast<std::uint32_t>(header.launchIndex), 4);
}

// How many bytes an entry's record takes.
constexpr std::uint64_t BundleRecordSize(std::uint64_t nameLength, std::uint64_t dataSize) {
  return 2 * kBundleFieldSize + nameLength + dataSize;
}

// How 8-bit text is read in a code page: entry names are text in the system
// code page of the machine that extracts them.
struct CodePage {
  // Whether a byte is the first of a double-byte character.
  bool (*isLeadByte)(unsigned char byte);
  // The character a byte that is not a lead byte stands for; 0 for none.
  char32_t (*characterOf)(unsigned char byte);
};

// Latin-1 without double-byte characters: how names are read where there is
// no code page (POSIX).
extern const CodePage kLatin1CodePage;

// Whether a name is one the launcher writes: a bare file name that names the
// same file on every system (no separator, drive or stream colon, zero
// character, trailing dot or blank, or Windows device name), at most
// kLongestEntryName bytes, its bytes read in `codePage`: the second byte of a
// double-byte character is no separator, whatever its value. The launcher
// refuses every other name before writing anything.
bool IsAcceptableEntryName(const char* name, std::size_t length, const CodePage& codePage);

// The same rule for a name in UTF-8 (a Windows name once converted from its
// code page), of at most kLongestEntryName characters. A name that is not
// valid UTF-8 is refused.
bool IsAcceptableUtf8Name(const char* name, std::size_t length);

// Whether an ASCII character is one no launcher writes in a name: a control
// character (DEL included) or one of < > " | ? *, which Windows refuses in
// file names. The tree bundle's rule refuses them on every system; the flat
// rule above leaves them to the system.
bool IsRefusedNameCharacter(unsigned char byte);

// Whether a flat name is written alike by every launcher, on any system and
// in any code page: acceptable to IsAcceptableEntryName read as Latin-1 (as
// the POSIX launcher reads it) and holding no byte IsRefusedNameCharacter
// refuses (below 0x40, such a byte is that character in every code page;
// '|' may end a double-byte character in some, and is taken as itself in
// the others). mirelk-pack writes only such names.
bool IsPortableEntryName(const char* name, std::size_t length);

// One character of UTF-8 at `*at` of `text` (`length` bytes), moving `*at`
// past it; false for a sequence that is not valid UTF-8 (overlong, a
// surrogate, beyond U+10FFFF, cut short), with `*at` left where it was.
bool DecodeUtf8(const unsigned char* text, std::size_t length, std::size_t* at, char32_t* out);

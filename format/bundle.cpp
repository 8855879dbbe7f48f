// Which bundle entry names the launcher writes. The rule is on characters;
// a name's bytes are read into characters first, in its code page or as UTF-8.
#include "format/bundle.h"

#include <cstring>

namespace {

// What a byte sequence stands for where the reading cannot tell which
// character: a double-byte character, or a byte the code page lacks. It is
// none of the characters the rule looks for.
constexpr char32_t kSomeCharacter = 0xFFFD;

// Windows opens these as devices in any directory, alone or with an
// extension ("nul.txt"), so writing one would never reach the extraction
// directory. They are refused on every system so that one bundle behaves the
// same everywhere.
bool IsDeviceName(const char32_t* name, std::size_t length) {
  std::size_t base = 0;
  while (base < length && name[base] != '.') {
    ++base;
  }
  while (base > 0 && name[base - 1] == ' ') {
    --base;
  }
  if (base < 3 || base > 7) {
    return false;
  }
  char upper[8] = {};
  for (std::size_t i = 0; i < base; ++i) {
    const char32_t c = name[i];
    // Anything beyond ASCII is in no device's name.
    upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A')
               : c < 0x80           ? static_cast<char>(c)
                                    : '?';
  }
  // Every numbered device compares as number one. Superscript one, two and
  // three count as digits too.
  const char32_t digit = name[3];
  if (base == 4 &&
      ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3)) {
    upper[3] = '1';
  }
  static const char kDevices[][8] = {"CON",  "PRN",  "AUX",    "NUL",
                                     "COM1", "LPT1", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (std::strcmp(upper, device) == 0) {
      return true;
    }
  }
  return false;
}

// The rule itself, on the name's characters.
bool IsAcceptableCharacters(const char32_t* name, std::size_t length) {
  if (length == 0) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    const char32_t c = name[i];
    if (c == 0 || c == '/' || c == '\\' || c == ':') {
      return false;
    }
  }
  // Windows drops a trailing dot or blank and would write another file than
  // the one named; this also covers "." and "..".
  const char32_t last = name[length - 1];
  if (last == '.' || last == ' ') {
    return false;
  }
  return !IsDeviceName(name, length);
}

// The bytes that are never the second byte of a double-byte character in any
// code page (those all start at 0x40), so a lead byte before one stands alone:
// a zero, '/', ':', '.' and blank keep their meaning wherever they are.
bool CanTrailLeadByte(unsigned char byte) {
  return byte >= 0x40;
}

bool NoLeadBytes(unsigned char) {
  return false;
}

char32_t Latin1Character(unsigned char byte) {
  return byte;
}

}  // namespace

const CodePage kLatin1CodePage = {NoLeadBytes, Latin1Character};

bool DecodeUtf8(const unsigned char* text, std::size_t length, std::size_t* at, char32_t* out) {
  const unsigned char first = text[*at];
  std::size_t extra = 0;
  char32_t value = 0;
  char32_t least = 0;
  if (first < 0x80) {
    *out = first;
    ++*at;
    return true;
  }
  if (first >= 0xC2 && first <= 0xDF) {
    extra = 1, value = first & 0x1Fu, least = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    extra = 2, value = first & 0x0Fu, least = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    extra = 3, value = first & 0x07u, least = 0x10000;
  } else {
    return false;
  }
  if (length - *at <= extra) {
    return false;
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    const unsigned char next = text[*at + k];
    if ((next & 0xC0u) != 0x80u) {
      return false;
    }
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  *out = value;
  *at += extra + 1;
  return true;
}

bool IsRefusedNameCharacter(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || std::strchr("<>\"|?*", byte) != nullptr;
}

bool IsPortableEntryName(const char* name, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (IsRefusedNameCharacter(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return IsAcceptableEntryName(name, length, kLatin1CodePage);
}

bool IsAcceptableEntryName(const char* name, std::size_t length, const CodePage& codePage) {
  if (length > kLongestEntryName) {
    return false;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
  char32_t characters[kLongestEntryName];
  std::size_t count = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char byte = bytes[i];
    // The byte after a lead byte belongs to its character: in GBK, Big5 and
    // Shift-JIS it may be 0x5C, which is then no separator.
    if (codePage.isLeadByte(byte) && i + 1 < length && CanTrailLeadByte(bytes[i + 1])) {
      ++i;
      characters[count++] = kSomeCharacter;
      continue;
    }
    const char32_t character = byte < 0x80 ? byte : codePage.characterOf(byte);
    characters[count++] = character != 0 || byte == 0 ? character : kSomeCharacter;
  }
  return IsAcceptableCharacters(characters, count);
}

bool IsAcceptableUtf8Name(const char* name, std::size_t length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
  char32_t characters[kLongestEntryName];
  std::size_t count = 0;
  for (std::size_t at = 0; at < length; ++count) {
    if (count == kLongestEntryName || !DecodeUtf8(bytes, length, &at, &characters[count])) {
      return false;
    }
  }
  return IsAcceptableCharacters(characters, count);
}

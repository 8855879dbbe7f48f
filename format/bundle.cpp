// Which bundle entry names the launcher writes.
#include "format/bundle.h"

#include <cstring>

namespace {

// Windows opens these as devices in any directory, alone or with an
// extension ("nul.txt"), so writing one would never reach the extraction
// directory. They are refused on every system so that one bundle behaves the
// same everywhere.
bool IsDeviceName(const char* name, std::size_t length, const CodePage& codePage) {
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
    const char c = name[i];
    upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  // Every numbered device compares as number one. Superscript one, two and
  // three count as digits too, where the code page has them (0xB9, 0xB2 and
  // 0xB3 in Latin-1 and 1252; katakana in Shift-JIS, lead bytes in GBK).
  const unsigned char digit = static_cast<unsigned char>(upper[3]);
  const char32_t character = codePage.isLeadByte(digit) ? 0 : codePage.characterOf(digit);
  if (base == 4 && ((digit >= '1' && digit <= '9') || character == 0xB9 || character == 0xB2 ||
                    character == 0xB3)) {
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

// No code page has these as the second byte of a double-byte character, so
// they are separators (or the end) wherever they stand.
bool IsAlwaysRefused(unsigned char byte) {
  return byte == '\0' || byte == '/' || byte == ':';
}

bool NoLeadBytes(unsigned char) {
  return false;
}

char32_t Latin1Character(unsigned char byte) {
  return byte;
}

}  // namespace

const CodePage kLatin1CodePage = {NoLeadBytes, Latin1Character};

bool IsAcceptableEntryName(const char* name, std::size_t length, const CodePage& codePage) {
  if (length == 0 || length > kLongestEntryName) {
    return false;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
  for (std::size_t i = 0; i < length; ++i) {
    if (IsAlwaysRefused(bytes[i])) {
      return false;
    }
    // The byte after a lead byte belongs to its character: in GBK, Big5 and
    // Shift-JIS it may be 0x5C, which is then no separator.
    if (codePage.isLeadByte(bytes[i]) && i + 1 < length) {
      ++i;
      if (IsAlwaysRefused(bytes[i])) {
        return false;
      }
      continue;
    }
    if (bytes[i] == '\\') {
      return false;
    }
  }
  // Windows drops a trailing dot or blank and would write another file than
  // the one named; this also covers "." and "..". Neither byte can end a
  // double-byte character.
  const char last = name[length - 1];
  if (last == '.' || last == ' ') {
    return false;
  }
  return !IsDeviceName(name, length, codePage);
}

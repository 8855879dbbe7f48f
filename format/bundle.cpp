// Which bundle entry names the launcher writes.
#include "format/bundle.h"

#include <cstring>

namespace {

// Windows opens these as devices in any directory, alone or with an
// extension ("nul.txt"), so writing one would never reach the extraction
// directory. They are refused on every system so that one bundle behaves the
// same everywhere.
bool IsDeviceName(const char* name, std::size_t length) {
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
  // three count as digits too.
  const unsigned char digit = static_cast<unsigned char>(upper[3]);
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

}  // namespace

bool IsAcceptableEntryName(const char* name, std::size_t length) {
  if (length == 0 || length > kLongestEntryName) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    const char c = name[i];
    if (c == '\0' || c == '/' || c == '\\' || c == ':') {
      return false;
    }
  }
  // Windows drops a trailing dot or blank and would write another file than
  // the one named; this also covers "." and "..".
  const char last = name[length - 1];
  if (last == '.' || last == ' ') {
    return false;
  }
  return !IsDeviceName(name, length);
}

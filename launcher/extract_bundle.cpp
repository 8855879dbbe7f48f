// Writing every file of the bundle ("HEN" header, then name/size/data records)
// into the extraction directory, one entry after another.
#include <cstring>

#include "launcher/launcher.h"

namespace {

constexpr char kBundleMagic[3] = {'H', 'E', 'N'};

// Reads one little-endian 32-bit field; false when the bundle ends first.
bool ReadField(std::FILE* bundle, std::uint32_t* value) {
  std::uint8_t bytes[4];
  if (gPlatform->ReadStream(bundle, bytes, sizeof bytes) != sizeof bytes) {
    return false;
  }
  *value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return true;
}

// The bundle's length, with the stream left at its start; -1 when unknown.
std::int64_t MeasureBundle(std::FILE* bundle) {
  if (!gPlatform->SeekStream(bundle, 0, kSeekEnd)) {
    return -1;
  }
  const std::int64_t length = gPlatform->TellStream(bundle);
  if (!gPlatform->SeekStream(bundle, 0, kSeekStart)) {
    return -1;
  }
  return length;
}

std::int64_t Remaining(std::FILE* bundle, std::int64_t length) {
  const std::int64_t position = gPlatform->TellStream(bundle);
  return position < 0 || position > length ? 0 : length - position;
}

// Copies `size` bytes of the bundle into the entry file, a bounded piece at
// a time; false when the bundle could not deliver them or the file could not
// take them.
bool CopyEntryData(std::FILE* bundle, std::FILE* entry, std::uint32_t size) {
  std::uint8_t chunk[64 * 1024];
  while (size > 0) {
    const std::size_t piece = size < sizeof chunk ? size : sizeof chunk;
    if (gPlatform->ReadStream(bundle, chunk, piece) != piece ||
        gPlatform->WriteStream(entry, chunk, piece) != piece) {
      return false;
    }
    size -= static_cast<std::uint32_t>(piece);
  }
  return true;
}

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
  if (base == 3) {
    return std::memcmp(upper, "CON", 3) == 0 || std::memcmp(upper, "PRN", 3) == 0 ||
           std::memcmp(upper, "AUX", 3) == 0 || std::memcmp(upper, "NUL", 3) == 0;
  }
  if (base == 4) {
    const unsigned char digit = static_cast<unsigned char>(upper[3]);
    // Superscript one, two and three count as digits too, where the code
    // page has them (0xB9, 0xB2, 0xB3 in Latin-1 and 1252; katakana in
    // Shift-JIS, lead bytes in GBK).
    const char32_t character = codePage.isLeadByte(digit) ? 0 : codePage.characterOf(digit);
    const bool isDigit = (digit >= '1' && digit <= '9') || character == 0xB9 ||
                         character == 0xB2 || character == 0xB3;
    return isDigit && (std::memcmp(upper, "COM", 3) == 0 || std::memcmp(upper, "LPT", 3) == 0);
  }
  return (base == 6 && std::memcmp(upper, "CONIN$", 6) == 0) ||
         (base == 7 && std::memcmp(upper, "CONOUT$", 7) == 0);
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
  if (length == 0 || length >= kPathCapacity) {
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

namespace {

// Writes every entry after the header; the stream is left open.
LauncherExit ExtractEntries(std::FILE* bundle, std::int64_t length,
                            const char* extractionDirectory, char launchPath[kPathCapacity]) {
  const CodePage codePage = {gPlatform->IsLeadByte, gPlatform->CharacterOfByte};
  // A header cut short designates nothing and announces no entries.
  std::uint32_t count = 0;
  std::uint32_t launchFlag = 0;
  std::uint32_t launchIndex = 0xFFFFFFFFu;
  if (!ReadField(bundle, &count) || !ReadField(bundle, &launchFlag) ||
      !ReadField(bundle, &launchIndex)) {
    launchFlag = 0;
  }
  const std::int32_t entryCount = static_cast<std::int32_t>(count);

  for (std::int32_t i = 0; i < entryCount; ++i) {
    // Every size is checked against what the bundle still holds before anything
    // is written: a bundle shorter than it announces is refused, and nothing
    // is made for the entry that runs short.
    std::uint32_t nameLength = 0;
    if (!ReadField(bundle, &nameLength) || nameLength >= kPathCapacity ||
        nameLength > Remaining(bundle, length)) {
      return kExitEntryCreateFailed;
    }
    char name[kPathCapacity] = {};
    if (gPlatform->ReadStream(bundle, name, nameLength) != nameLength ||
        !IsAcceptableEntryName(name, nameLength, codePage)) {
      return kExitEntryCreateFailed;
    }
    char path[kPathCapacity];
    if (!JoinPath(extractionDirectory, name, path, sizeof path)) {
      return kExitEntryCreateFailed;
    }
    std::uint32_t dataSize = 0;
    if (!ReadField(bundle, &dataSize) || dataSize > Remaining(bundle, length)) {
      return kExitEntryCreateFailed;
    }

    if (launchFlag != 0 && static_cast<std::int32_t>(launchIndex) == i) {
      std::memset(launchPath, 0, kPathCapacity);
      std::memcpy(launchPath, path, kPathCapacity);
    }

    std::FILE* entry = gPlatform->OpenStream(path, kStreamCreate);
    if (entry == nullptr) {
      return kExitEntryCreateFailed;
    }
    const bool copied = CopyEntryData(bundle, entry, dataSize);
    // An entry that could not be written whole would start the installer with
    // a damaged file; the part written goes, as if it had never been made.
    if (!gPlatform->CloseStream(entry) || !copied) {
      gPlatform->DeleteFileAt(path);
      return kExitEntryCreateFailed;
    }
  }
  return kStageOk;
}

}  // namespace

LauncherExit ExtractBundle(const char* bundlePath, const char* extractionDirectory,
                           char launchPath[kPathCapacity]) {
  std::FILE* bundle = gPlatform->OpenStream(bundlePath, kStreamUpdate);
  if (bundle == nullptr) {
    return kExitBundleOpenFailed;
  }
  const std::int64_t length = MeasureBundle(bundle);

  char magic[3] = {};
  gPlatform->ReadStream(bundle, magic, sizeof magic);
  LauncherExit result = kExitBadBundleMagic;
  if (std::memcmp(magic, kBundleMagic, sizeof magic) == 0) {
    result = ExtractEntries(bundle, length, extractionDirectory, launchPath);
  }
  // Closed on every path (the run ends on a failure anyway); the bundle is
  // deleted only when every entry was written.
  gPlatform->CloseStream(bundle);
  if (result == kStageOk) {
    gPlatform->DeleteFileAt(bundlePath);
  }
  return result;
}

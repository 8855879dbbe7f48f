// Writing every file of the bundle ("HEN" header, then name/size/data records)
// into the extraction directory, one entry after another.
#include <cstdlib>
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

// Joins the directory and a bare name; false when the result would not fit.
bool JoinEntryPath(const char* directory, const char* name, char path[kPathCapacity]) {
  const std::size_t directoryLength = std::strlen(directory);
  const bool hasSeparator = directoryLength > 0 && directory[directoryLength - 1] == kPathSeparator;
  const std::size_t total = directoryLength + (hasSeparator ? 0 : 1) + std::strlen(name);
  if (total >= kPathCapacity) {
    return false;
  }
  std::memset(path, 0, kPathCapacity);
  std::memcpy(path, directory, directoryLength);
  if (!hasSeparator) {
    path[directoryLength] = kPathSeparator;
  }
  std::strcat(path, name);
  return true;
}

// Copies `size` bytes of the bundle into the entry file; false when the bundle
// could not deliver them or the file could not take them.
bool CopyEntryData(std::FILE* bundle, std::FILE* entry, std::uint32_t size) {
  if (size == 0) {
    return true;
  }
  void* data = std::malloc(size);
  if (data == nullptr) {
    return false;
  }
  const bool copied = gPlatform->ReadStream(bundle, data, size) == size &&
                      gPlatform->WriteStream(entry, data, size) == size;
  std::free(data);
  return copied;
}

}  // namespace

bool IsAcceptableEntryName(const char* name, std::size_t length) {
  if (length == 0 || length >= kPathCapacity) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    const char c = name[i];
    if (c == '\0' || c == '/' || c == '\\' || c == ':') {
      return false;
    }
  }
  if (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'))) {
    return false;
  }
  return true;
}

LauncherExit ExtractBundle(const char* bundlePath, const char* extractionDirectory,
                           char launchPath[kPathCapacity]) {
  std::FILE* bundle = gPlatform->OpenStream(bundlePath, kStreamUpdate);
  if (bundle == nullptr) {
    return kExitBundleOpenFailed;
  }
  const std::int64_t length = MeasureBundle(bundle);

  char magic[3] = {};
  gPlatform->ReadStream(bundle, magic, sizeof magic);
  if (std::memcmp(magic, kBundleMagic, sizeof magic) != 0) {
    return kExitBadBundleMagic;
  }

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
    // is allocated or written: a bundle shorter than it announces is refused.
    std::uint32_t nameLength = 0;
    if (!ReadField(bundle, &nameLength) || nameLength >= kPathCapacity ||
        nameLength > Remaining(bundle, length)) {
      return kExitEntryCreateFailed;
    }
    char name[kPathCapacity] = {};
    if (gPlatform->ReadStream(bundle, name, nameLength) != nameLength ||
        !IsAcceptableEntryName(name, nameLength)) {
      return kExitEntryCreateFailed;
    }
    char path[kPathCapacity];
    if (!JoinEntryPath(extractionDirectory, name, path)) {
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
    // a damaged file.
    if (!gPlatform->CloseStream(entry) || !copied) {
      return kExitEntryCreateFailed;
    }
  }

  gPlatform->CloseStream(bundle);
  gPlatform->DeleteFileAt(bundlePath);
  return kStageOk;
}

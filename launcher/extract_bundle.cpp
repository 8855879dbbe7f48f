// Writing every file of the bundle (format/bundle.h) into the extraction
// directory, one entry after another.
#include <cstring>

#include "format/tree_bundle.h"
#include "launcher/extract_entries.h"

namespace {

static_assert(kLongestEntryName < kPathCapacity, "a name fits the path buffers");

}  // namespace

// Reads one field; false when the bundle ends first.
bool ReadField(std::FILE* bundle, std::uint32_t* value) {
  std::uint8_t bytes[kBundleFieldSize];
  if (gPlatform->ReadStream(bundle, bytes, sizeof bytes) != sizeof bytes) {
    return false;
  }
  *value = LoadLittle32(bytes);
  return true;
}

namespace {

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

}  // namespace

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

namespace {

// Turns an entry's name, as the bundle holds it, into path text in place, and
// checks it there, as characters of the text the system will be given: a
// double-byte character's second byte is never a separator once converted.
// False when the name is refused.
bool TakeEntryName(char name[kPathCapacity], std::size_t length) {
  char text[kPathCapacity];
  std::size_t textLength = 0;
  if (!gPlatform->EntryNameToPathText(name, length, text, &textLength)) {
    return false;
  }
  const bool acceptable = kPathTextIsUtf8 ? IsAcceptableUtf8Name(text, textLength)
                                          : IsAcceptableEntryName(text, textLength, kLatin1CodePage);
  std::memcpy(name, text, kPathCapacity);
  return acceptable;
}

// Writes every entry after the header; the stream is left open.
ExtractOutcome ExtractEntries(std::FILE* bundle, std::int64_t length,
                              const char* extractionDirectory, char launchPath[kPathCapacity]) {
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
    if (!ReadField(bundle, &nameLength) || nameLength > kLongestEntryName ||
        nameLength > Remaining(bundle, length)) {
      return kEntryNotWritten;
    }
    char name[kPathCapacity] = {};
    if (gPlatform->ReadStream(bundle, name, nameLength) != nameLength ||
        !TakeEntryName(name, nameLength)) {
      return kEntryNotWritten;
    }
    char path[kPathCapacity];
    if (!JoinPath(extractionDirectory, name, path, sizeof path)) {
      return kEntryNotWritten;
    }
    std::uint32_t dataSize = 0;
    if (!ReadField(bundle, &dataSize) || dataSize > Remaining(bundle, length)) {
      return kEntryNotWritten;
    }

    if (launchFlag != 0 && static_cast<std::int32_t>(launchIndex) == i) {
      std::memset(launchPath, 0, kPathCapacity);
      std::memcpy(launchPath, path, kPathCapacity);
    }

    std::FILE* entry = gPlatform->OpenStream(path, kStreamCreate);
    if (entry == nullptr) {
      return kEntryNotWritten;
    }
    const bool copied = CopyEntryData(bundle, entry, dataSize);
    // An entry that could not be written whole would start the installer with
    // a damaged file; the part written goes, as if it had never been made.
    if (!gPlatform->CloseStream(entry) || !copied) {
      gPlatform->DeleteFileAt(path);
      return kEntryNotWritten;
    }
  }
  return kExtracted;
}

}  // namespace

ExtractOutcome ExtractBundle(const char* bundlePath, const char* extractionDirectory,
                             char launchPath[kPathCapacity]) {
  std::FILE* bundle = gPlatform->OpenStream(bundlePath, kStreamUpdate);
  if (bundle == nullptr) {
    return kBundleNotOpened;
  }
  const std::int64_t length = MeasureBundle(bundle);

  // The flat magic is read first, so that a flat bundle is read exactly as
  // before; the tree magic is one byte longer.
  std::uint8_t magic[sizeof kTreeBundleMagic] = {};
  const std::size_t got = gPlatform->ReadStream(bundle, magic, sizeof kBundleMagic);
  ExtractOutcome result = kBundleWithoutMagic;
  if (BundleRevisionOf(magic, got) == kFlatBundle) {
    result = ExtractEntries(bundle, length, extractionDirectory, launchPath);
  } else if (got == sizeof kBundleMagic &&
             gPlatform->ReadStream(bundle, magic + got, 1) == 1 &&
             BundleRevisionOf(magic, sizeof magic) == kTreeBundle) {
    result = ExtractTreeEntries(bundle, length, extractionDirectory, launchPath);
  }
  // Closed on every path (the run ends on a failure anyway); the bundle is
  // deleted only when every entry was written.
  gPlatform->CloseStream(bundle);
  if (result == kExtracted) {
    gPlatform->DeleteFileAt(bundlePath);
  }
  return result;
}

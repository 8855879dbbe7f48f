// Writing every file of the bundle (format/bundle.h) into the extraction
// directory, one entry after another. What has been written out of the
// bundle is released from it as it goes (launcher/consumed_range.h), so the
// bundle and its entries together take about the bundle's room.
#include <cstdlib>
#include <cstring>

#include "format/tree_bundle.h"
#include "launcher/extract_entries.h"

namespace {

static_assert(kLongestEntryName < kPathCapacity, "a name fits the path buffers");

}  // namespace

// Reads one field; false when the bundle ends first.
bool ReadField(std::FILE* bundle, std::uint32_t* value) {
  std::uint8_t bytes[kBundleFieldSize];
  if (gPlatform->streams->ReadStream(bundle, bytes, sizeof bytes) != sizeof bytes) {
    return false;
  }
  *value = LoadLittle32(bytes);
  return true;
}

namespace {

// The bundle's length, with the stream left at its start; -1 when unknown.
std::int64_t MeasureBundle(std::FILE* bundle) {
  if (!gPlatform->streams->SeekStream(bundle, 0, kSeekEnd)) {
    return -1;
  }
  const std::int64_t length = gPlatform->streams->TellStream(bundle);
  if (!gPlatform->streams->SeekStream(bundle, 0, kSeekStart)) {
    return -1;
  }
  return length;
}

}  // namespace

std::int64_t Remaining(std::FILE* bundle, std::int64_t length) {
  const std::int64_t position = gPlatform->streams->TellStream(bundle);
  return position < 0 || position > length ? 0 : length - position;
}

// Copies `size` bytes of the bundle into the entry file, a bounded piece at
// a time; false when the bundle could not deliver them or the file could not
// take them. Every piece copied is one the bundle no longer needs.
bool CopyEntryData(EntryCopier* copier, std::FILE* bundle, std::FILE* entry, std::uint32_t size) {
  std::int64_t position = gPlatform->streams->TellStream(bundle);
  while (size > 0) {
    const std::size_t piece = size < kCopyChunk ? size : kCopyChunk;
    if (gPlatform->streams->ReadStream(bundle, copier->chunk, piece) != piece ||
        gPlatform->streams->WriteStream(entry, copier->chunk, piece) != piece) {
      return false;
    }
    size -= static_cast<std::uint32_t>(piece);
    if (position >= 0) {
      position += static_cast<std::int64_t>(piece);
      ReleaseConsumed(&copier->release, position);
    }
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
  if (!gPlatform->text->EntryNameToPathText(name, length, text, &textLength)) {
    return false;
  }
  const bool acceptable = kPathTextIsUtf8
                              ? IsAcceptableUtf8Name(text, textLength)
                              : IsAcceptableEntryName(text, textLength, kLatin1CodePage);
  std::memcpy(name, text, kPathCapacity);
  return acceptable;
}

// Writes every entry after the header into `directory`, the extraction
// directory held open; the stream is left open.
ExtractOutcome WriteEntries(std::FILE* bundle, std::int64_t length, EntryCopier* copier,
                            EntryDirectory* directory, const char* extractionDirectory,
                            char launchPath[kPathCapacity]) {
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
    if (directory == nullptr || !ReadField(bundle, &nameLength) || nameLength > kLongestEntryName ||
        nameLength > Remaining(bundle, length)) {
      return kEntryNotWritten;
    }
    char name[kPathCapacity] = {};
    if (gPlatform->streams->ReadStream(bundle, name, nameLength) != nameLength ||
        !TakeEntryName(name, nameLength)) {
      return kEntryNotWritten;
    }
    // The entry's path must fit, as the installer's is started by it.
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

    // A later entry of the same name replaces the earlier one's data.
    std::FILE* entry = gPlatform->entryDirectories->ReplaceEntryFile(directory, name);
    if (entry == nullptr) {
      return kEntryNotWritten;
    }
    const bool copied = CopyEntryData(copier, bundle, entry, dataSize);
    // An entry that could not be written whole would start the installer with
    // a damaged file; the part written goes, as if it had never been made.
    if (!gPlatform->streams->CloseStream(entry) || !copied) {
      gPlatform->entryDirectories->DeleteEntryFile(directory, name);
      return kEntryNotWritten;
    }
  }
  return kExtracted;
}

// Writes every entry of a flat bundle, each made relative to the extraction
// directory held open, never by a path the system would resolve again.
ExtractOutcome ExtractEntries(std::FILE* bundle, std::int64_t length, EntryCopier* copier,
                              const char* extractionDirectory, char launchPath[kPathCapacity]) {
  EntryDirectory* directory = gPlatform->entryDirectories->OpenEntryDirectory(extractionDirectory);
  const ExtractOutcome result =
      WriteEntries(bundle, length, copier, directory, extractionDirectory, launchPath);
  if (directory != nullptr) {
    gPlatform->entryDirectories->CloseEntryDirectory(directory);
  }
  return result;
}

}  // namespace

ExtractOutcome ExtractBundle(const char* bundlePath, const char* extractionDirectory,
                             char launchPath[kPathCapacity]) {
  std::FILE* bundle = gPlatform->streams->OpenStream(bundlePath, kStreamUpdate);
  if (bundle == nullptr) {
    return kBundleNotOpened;
  }
  const std::int64_t length = MeasureBundle(bundle);

  // The flat magic is read first, so that a flat bundle is read exactly as
  // before; the tree magic is one byte longer.
  std::uint8_t magic[sizeof kTreeBundleMagic] = {};
  const std::size_t got = gPlatform->streams->ReadStream(bundle, magic, sizeof kBundleMagic);
  ExtractOutcome result = kBundleWithoutMagic;
  BundleRevision revision = BundleRevisionOf(magic, got);
  if (revision != kFlatBundle && got == sizeof kBundleMagic &&
      gPlatform->streams->ReadStream(bundle, magic + got, 1) == 1) {
    revision = BundleRevisionOf(magic, sizeof magic);
  }
  if (revision != kNotABundle) {
    EntryCopier copier = {static_cast<std::uint8_t*>(std::malloc(kCopyChunk)),
                          StartConsumedRange(bundle)};
    // Without the buffer no entry can be written: the first one fails.
    if (copier.chunk == nullptr) {
      result = kEntryNotWritten;
    } else if (revision == kFlatBundle) {
      result = ExtractEntries(bundle, length, &copier, extractionDirectory, launchPath);
    } else {
      result = ExtractTreeEntries(bundle, length, &copier, extractionDirectory, launchPath);
    }
    std::free(copier.chunk);
  }
  // Closed on every path (the run ends on a failure anyway); the bundle is
  // deleted only when every entry was written.
  gPlatform->streams->CloseStream(bundle);
  if (result == kExtracted) {
    gPlatform->workspace->DeleteFileAt(bundlePath);
  }
  return result;
}

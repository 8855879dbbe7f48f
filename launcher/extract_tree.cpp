// Writing a tree bundle (format/tree_bundle.h) into the extraction directory:
// every directory is made, and every file created, relative to directories
// held open from the extraction directory down, never by a path the system
// would resolve again.
#include <cstring>

#include "format/tree_bundle.h"
#include "launcher/extract_entries.h"

namespace {

// Components in the longest path: one byte each, and a separator between.
constexpr std::size_t kDeepestPath = (kLongestEntryPath + 1) / 2;

// The directories held open: the extraction directory, then one per
// component of `path`, each level ending at ends[level] in it. Kept from one
// entry to the next, so that entries sorted by path reopen nothing.
struct Chain {
  EntryDirectory* levels[kDeepestPath + 1];
  std::size_t ends[kDeepestPath + 1];
  std::size_t depth;
  char path[kLongestEntryPath + 1];
};

void CloseTo(Chain* chain, std::size_t depth) {
  while (chain->depth > depth) {
    gPlatform->entryDirectories->CloseEntryDirectory(chain->levels[--chain->depth]);
  }
}

// Holds the directory `directory` (`length` bytes of an accepted path; 0 for
// the extraction directory itself), making every level missing on the way.
bool Reach(Chain* chain, const char* directory, std::size_t length) {
  std::size_t kept = 1;
  while (kept < chain->depth) {
    const std::size_t end = chain->ends[kept];
    if (end > length || std::memcmp(chain->path, directory, end) != 0 ||
        (end < length && directory[end] != '/')) {
      break;
    }
    ++kept;
  }
  CloseTo(chain, kept);
  std::size_t at = chain->ends[kept - 1];
  while (at < length) {
    const std::size_t start = at == 0 ? 0 : at + 1;
    std::size_t end = start;
    while (end < length && directory[end] != '/') {
      ++end;
    }
    char name[kLongestPathComponent + 1] = {};
    std::memcpy(name, directory + start, end - start);
    EntryDirectory* made =
        gPlatform->entryDirectories->MakeEntryDirectory(chain->levels[chain->depth - 1], name);
    if (made == nullptr) {
      return false;
    }
    std::memcpy(chain->path + at, directory + at, end - at);
    chain->levels[chain->depth] = made;
    chain->ends[chain->depth] = end;
    ++chain->depth;
    at = end;
  }
  return true;
}

// The launch path: the extraction directory and the entry's path, in the
// system's separators; false when it does not fit.
bool ComposeLaunchPath(const char* extractionDirectory, const char* path,
                       char launchPath[kPathCapacity]) {
  char composed[kPathCapacity];
  if (!JoinPath(extractionDirectory, path, composed, sizeof composed)) {
    return false;
  }
  for (char* byte = composed + std::strlen(extractionDirectory); *byte != '\0'; ++byte) {
    if (*byte == '/') {
      *byte = kPathSeparator;
    }
  }
  std::memcpy(launchPath, composed, kPathCapacity);
  return true;
}

// One entry: its record read and checked whole before anything is made for it.
ExtractOutcome ExtractEntry(std::FILE* bundle, std::int64_t length, EntryCopier* copier,
                            Chain* chain, bool isLaunch, const char* extractionDirectory,
                            char launchPath[kPathCapacity]) {
  std::uint32_t kind = 0;
  std::uint32_t pathLength = 0;
  if (!ReadField(bundle, &kind) || !ReadField(bundle, &pathLength) ||
      pathLength > kLongestEntryPath || pathLength > Remaining(bundle, length)) {
    return kEntryNotWritten;
  }
  char path[kLongestEntryPath + 1] = {};
  std::uint32_t dataSize = 0;
  if (gPlatform->streams->ReadStream(bundle, path, pathLength) != pathLength ||
      !IsAcceptableEntryPath(path, pathLength) || !ReadField(bundle, &dataSize) ||
      dataSize > Remaining(bundle, length)) {
    return kEntryNotWritten;
  }
  if (kind == kTreeDirectory) {
    // A directory carries no data, and is never the launch entry.
    return dataSize == 0 && !isLaunch && Reach(chain, path, pathLength) ? kExtracted
                                                                        : kEntryNotWritten;
  }
  if (kind != kTreeFile && kind != kTreeExecutableFile) {
    return kEntryNotWritten;
  }
  if (isLaunch && !ComposeLaunchPath(extractionDirectory, path, launchPath)) {
    return kEntryNotWritten;
  }
  std::size_t leaf = pathLength;
  while (leaf > 0 && path[leaf - 1] != '/') {
    --leaf;
  }
  if (!Reach(chain, path, leaf == 0 ? 0 : leaf - 1)) {
    return kEntryNotWritten;
  }
  EntryDirectory* parent = chain->levels[chain->depth - 1];
  // Created only where nothing is: a second entry of the same path, or a
  // file where a directory is, is refused.
  std::FILE* entry = gPlatform->entryDirectories->CreateEntryFile(parent, path + leaf,
                                                                  kind == kTreeExecutableFile);
  if (entry == nullptr) {
    return kEntryNotWritten;
  }
  const bool copied = CopyEntryData(copier, bundle, entry, dataSize);
  // An entry that could not be written whole goes, as in the flat bundle.
  if (!gPlatform->streams->CloseStream(entry) || !copied) {
    gPlatform->entryDirectories->DeleteEntryFile(parent, path + leaf);
    return kEntryNotWritten;
  }
  return kExtracted;
}

}  // namespace

ExtractOutcome ExtractTreeEntries(std::FILE* bundle, std::int64_t length, EntryCopier* copier,
                                  const char* extractionDirectory, char launchPath[kPathCapacity]) {
  // A header cut short is a bundle cut short: refused.
  std::uint32_t count = 0;
  std::uint32_t launchIndex = kNoLaunchEntry;
  if (!ReadField(bundle, &count) || !ReadField(bundle, &launchIndex)) {
    return kEntryNotWritten;
  }
  static Chain chain;
  chain.depth = 0;
  chain.levels[0] = gPlatform->entryDirectories->OpenEntryDirectory(extractionDirectory);
  if (chain.levels[0] == nullptr) {
    return kEntryNotWritten;
  }
  chain.ends[0] = 0;
  chain.depth = 1;
  ExtractOutcome result = kExtracted;
  for (std::uint32_t i = 0; i < count && result == kExtracted; ++i) {
    result = ExtractEntry(bundle, length, copier, &chain, i == launchIndex, extractionDirectory,
                          launchPath);
  }
  CloseTo(&chain, 0);
  if (result != kExtracted) {
    std::memset(launchPath, 0, kPathCapacity);
  }
  return result;
}

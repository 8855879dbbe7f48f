// Removing a directory and everything below it, depth first.
#include <cstring>

#include "launcher/launcher.h"

namespace {

// Paths and names handled here fit these buffers; anything longer is left in
// place rather than reached through a cut-off path.
constexpr std::size_t kRemovalPathCapacity = 200;
// The longest directory path removal takes. The rest of the buffer is room a
// system's directory search may need to compose its own pattern.
constexpr std::size_t kLongestRemovalDirectory = 195;

}  // namespace

bool RemoveTree(const char* directory) {
  const std::size_t length = std::strlen(directory);
  // An empty path would name the root of the current drive.
  if (length == 0 || length > kLongestRemovalDirectory) {
    return false;
  }

  DirectorySearch search = {};
  if (gPlatform->StartSearch(&search, directory)) {
    bool more = true;
    while (more) {
      more = gPlatform->AdvanceSearch(&search);
      const SearchEntry& entry = search.current;
      if (entry.kind == kEntryDirectory &&
          (std::strcmp(entry.name, ".") == 0 || std::strcmp(entry.name, "..") == 0)) {
        continue;
      }
      char path[kRemovalPathCapacity];
      if (!JoinPath(directory, entry.name, path, sizeof path)) {
        continue;
      }
      if (entry.kind == kEntryDirectory) {
        RemoveTree(path);
      } else if (entry.kind == kEntryDirectoryLink) {
        gPlatform->RemoveEmptyDirectory(path);
      } else {
        gPlatform->DeleteFileAt(path);
      }
    }
  }
  gPlatform->CloseSearch(&search);
  return gPlatform->RemoveEmptyDirectory(directory);
}

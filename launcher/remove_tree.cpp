// Removing a directory and everything below it, depth first.
//
// The walk (the seam's tree-walk operations) stands in one directory at a
// time and works on its entries by name: a directory renamed away, or
// replaced by a link, while removal runs never steers it out of the tree,
// and no path grows with the tree's depth. A directory's names are read into
// memory before any of them is worked on, so nothing stays open for the
// directories above the one the walk is in.
#include <cstdlib>
#include <cstring>

#include "launcher/launcher.h"

namespace {

// A directory on the way down: its entries and how far the walk has got.
struct Level {
  DirectoryListing listing;
  std::size_t next;
  Level* up;
};

const char* NameOf(const Level* level, std::size_t index) {
  return level->listing.names + level->listing.entries[index].name;
}

// Frees a level; the one above it.
Level* DropLevel(Level* level) {
  Level* up = level->up;
  std::free(level->listing.entries);
  std::free(level->listing.names);
  std::free(level);
  return up;
}

// Empties the directory the walk stands in, and below, as far as it can.
void EmptyTree(TreeWalk* walk) {
  Level* level = static_cast<Level*>(std::calloc(1, sizeof(Level)));
  if (level == nullptr) {
    return;
  }
  gPlatform->treeWalk->ListWalkDirectory(walk, &level->listing);
  while (level != nullptr) {
    if (level->next == level->listing.count) {
      // Done here: back up, and remove the directory just emptied (it stays
      // when something in it could not go).
      Level* up = DropLevel(level);
      if (up != nullptr && !gPlatform->treeWalk->LeaveWalkDirectory(walk)) {
        // The tree was moved under the walk: nothing more is touched.
        while (up != nullptr) {
          up = DropLevel(up);
        }
      }
      if (up != nullptr) {
        gPlatform->treeWalk->RemoveWalkDirectory(walk, NameOf(up, up->next - 1));
      }
      level = up;
      continue;
    }
    const ListedEntry& entry = level->listing.entries[level->next];
    const char* name = NameOf(level, level->next);
    ++level->next;
    // The directory itself and its parent, by name, whatever kind the system
    // reports them as.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    switch (entry.kind) {
      case kEntryFile:
        gPlatform->treeWalk->DeleteWalkEntry(walk, name);
        break;
      case kEntryDirectoryLink:
        gPlatform->treeWalk->RemoveWalkDirectory(walk, name);
        break;
      case kEntryMountPoint:
        // Another file system's: left, with all it holds.
        break;
      case kEntryDirectory: {
        Level* below = static_cast<Level*>(std::calloc(1, sizeof(Level)));
        if (below != nullptr &&
            gPlatform->treeWalk->EnterWalkDirectory(walk, name, &entry.identity)) {
          below->up = level;
          gPlatform->treeWalk->ListWalkDirectory(walk, &below->listing);
          level = below;
        } else {
          std::free(below);
        }
        break;
      }
    }
  }
}

}  // namespace

bool RemoveTree(const char* directory) {
  // An empty path would name the current directory (on Windows, the root of
  // the current drive).
  if (directory[0] == '\0') {
    return false;
  }
  TreeWalk* walk = gPlatform->treeWalk->StartTreeWalk(directory);
  if (walk != nullptr) {
    EmptyTree(walk);
    gPlatform->treeWalk->EndTreeWalk(walk);
  }
  return gPlatform->workspace->RemoveEmptyDirectory(directory);
}

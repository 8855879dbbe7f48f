// Removal's walk through a tree on POSIX. It holds one descriptor, the
// directory it stands in, and works relative to it (openat with O_NOFOLLOW,
// unlinkat), so neither the tree's depth nor a low open-file limit stops it.
// A directory is entered only if it is the very one that was listed (device
// and inode), on the tree's own file system and not a mount point; on the way
// back up, ".." must be the directory the walk came from, or it stops. A tree
// renamed or moved while the walk runs is never followed out, and a file
// system mounted inside it is left whole, its mount point included.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/directory_listing.h"

struct TreeWalk {
  int directory;            // where the walk stands
  FileIdentity current;     // which directory that is
  FileIdentity* ancestors;  // the directories above it, the top first
  std::size_t depth;
  std::size_t capacity;
};

namespace {

struct Inspection {
  bool isDirectory;
  bool isMountRoot;
  FileIdentity identity;
};

// What `name` in the directory `at` is, without following a link or
// mounting anything; an empty name means `at` itself.
bool Inspect(int at, const char* name, Inspection* out) {
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  struct stat status;
  if (fstatat(at, name, &status, flags) != 0) {
    return false;
  }
  out->isDirectory = S_ISDIR(status.st_mode);
  out->identity = FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                               static_cast<std::uint64_t>(status.st_ino)};
  // A bind mount of a directory of the same file system has the same device:
  // only the kernel's mount-root flag tells it (Linux 5.8 and later).
  out->isMountRoot = false;
  struct statx extra;
  if (out->isDirectory && statx(at, name, flags, 0, &extra) == 0) {
    out->isMountRoot =
        (extra.stx_attributes_mask & extra.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  return true;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.number == b.number;
}

// Whether a directory belongs to the tree's own file system.
bool OnTreeFileSystem(const TreeWalk* walk, const Inspection& directory) {
  return directory.identity.device == walk->current.device && !directory.isMountRoot;
}

int OpenDirectoryAt(int at, const char* name) {
  return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Moves the walk's descriptor to `fd`, a directory of the given identity.
void StandIn(TreeWalk* walk, int fd, const FileIdentity& identity) {
  close(walk->directory);
  walk->directory = fd;
  walk->current = identity;
}

TreeWalk* PosixStartTreeWalk(const char* directory) {
  const int fd = OpenDirectoryAt(AT_FDCWD, directory);
  if (fd < 0) {
    return nullptr;
  }
  Inspection top;
  TreeWalk* walk = static_cast<TreeWalk*>(std::calloc(1, sizeof(TreeWalk)));
  if (walk == nullptr || !Inspect(fd, "", &top) || top.isMountRoot) {
    std::free(walk);
    close(fd);
    return nullptr;
  }
  walk->directory = fd;
  walk->current = top.identity;
  return walk;
}

void PosixListWalkDirectory(TreeWalk* walk, DirectoryListing* out) {
  *out = DirectoryListing{};
  // A descriptor of its own, so that reading the names moves nothing of the walk's.
  const int fd = OpenDirectoryAt(walk->directory, ".");
  DIR* directory = fd >= 0 ? fdopendir(fd) : nullptr;
  if (directory == nullptr) {
    if (fd >= 0) {
      close(fd);
    }
    return;
  }
  while (const dirent* found = readdir(directory)) {
    // Only a directory needs a closer look: it is entered by its identity.
    Inspection entry = {};
    const bool maybeDirectory = found->d_type == DT_DIR || found->d_type == DT_UNKNOWN;
    if (maybeDirectory && !Inspect(walk->directory, found->d_name, &entry)) {
      continue;  // gone meanwhile
    }
    EntryKind kind = kEntryFile;
    if (entry.isDirectory) {
      kind = OnTreeFileSystem(walk, entry) ? kEntryDirectory : kEntryMountPoint;
    }
    if (!AppendListedEntry(out, found->d_name, kind, entry.identity)) {
      break;
    }
  }
  closedir(directory);
}

bool PosixEnterWalkDirectory(TreeWalk* walk, const char* name, const FileIdentity* listed) {
  void* ancestors = walk->ancestors;
  const bool reserved =
      ReserveRoom(&ancestors, &walk->capacity, walk->depth + 1, sizeof(FileIdentity));
  walk->ancestors = static_cast<FileIdentity*>(ancestors);
  if (!reserved) {
    return false;
  }
  const int fd = OpenDirectoryAt(walk->directory, name);
  if (fd < 0) {
    return false;
  }
  Inspection opened;
  if (!Inspect(fd, "", &opened) || !SameFile(opened.identity, *listed) ||
      !OnTreeFileSystem(walk, opened)) {
    close(fd);
    return false;
  }
  walk->ancestors[walk->depth++] = walk->current;
  StandIn(walk, fd, opened.identity);
  return true;
}

bool PosixLeaveWalkDirectory(TreeWalk* walk) {
  if (walk->depth == 0) {
    return false;
  }
  const int fd = OpenDirectoryAt(walk->directory, "..");
  if (fd < 0) {
    return false;
  }
  Inspection parent;
  if (!Inspect(fd, "", &parent) || !SameFile(parent.identity, walk->ancestors[walk->depth - 1])) {
    close(fd);
    return false;
  }
  --walk->depth;
  StandIn(walk, fd, parent.identity);
  return true;
}

bool PosixDeleteWalkEntry(TreeWalk* walk, const char* name) {
  return unlinkat(walk->directory, name, 0) == 0;
}

bool PosixRemoveWalkDirectory(TreeWalk* walk, const char* name) {
  return unlinkat(walk->directory, name, AT_REMOVEDIR) == 0;
}

void PosixEndTreeWalk(TreeWalk* walk) {
  close(walk->directory);
  std::free(walk->ancestors);
  std::free(walk);
}

}  // namespace

constinit const TreeWalkOps kSystemTreeWalk = {PosixStartTreeWalk,      PosixListWalkDirectory,
                                               PosixEnterWalkDirectory, PosixLeaveWalkDirectory,
                                               PosixDeleteWalkEntry,    PosixRemoveWalkDirectory,
                                               PosixEndTreeWalk};

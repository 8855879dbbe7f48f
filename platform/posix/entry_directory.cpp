// The tree bundle's folders on POSIX: every directory and file is made
// relative to a descriptor of its parent, and no symbolic link is ever
// followed, so nothing planted in the tree, even while extraction runs,
// steers a write outside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/private_file.h"

struct EntryDirectory {
  int fd;
};

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

EntryDirectory* Hold(int fd) {
  if (fd < 0) {
    return nullptr;
  }
  EntryDirectory* directory = static_cast<EntryDirectory*>(std::malloc(sizeof(EntryDirectory)));
  if (directory == nullptr) {
    close(fd);
    return nullptr;
  }
  directory->fd = fd;
  return directory;
}

EntryDirectory* PosixOpenEntryDirectory(const char* directory) {
  return Hold(open(directory, kDirectoryFlags));
}

EntryDirectory* PosixMakeEntryDirectory(EntryDirectory* parent, const char* name) {
  // 0700 whatever the umask, as the extraction directory itself.
  const mode_t previous = umask(077);
  const bool made = mkdirat(parent->fd, name, 0700) == 0;
  const int error = errno;
  umask(previous);
  if (!made && error != EEXIST) {
    return nullptr;
  }
  // A file or a link where the directory should be is refused here.
  return Hold(openat(parent->fd, name, kDirectoryFlags));
}

std::FILE* PosixCreateEntryFile(EntryDirectory* directory, const char* name, bool executable) {
  const mode_t previous = umask(077);
  const int fd = openat(directory->fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        executable ? 0700 : 0600);
  umask(previous);
  return StreamOver(fd, "w+b");
}

bool PosixDeleteEntryFile(EntryDirectory* directory, const char* name) {
  return unlinkat(directory->fd, name, 0) == 0;
}

void PosixCloseEntryDirectory(EntryDirectory* directory) {
  close(directory->fd);
  std::free(directory);
}

}  // namespace

constinit const EntryDirectoryOps kSystemEntryDirectories = {
    PosixOpenEntryDirectory, PosixMakeEntryDirectory, PosixCreateEntryFile, PosixDeleteEntryFile,
    PosixCloseEntryDirectory};

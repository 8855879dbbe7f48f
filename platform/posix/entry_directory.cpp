// The extraction directory and the tree bundle's folders on POSIX: every
// directory and file is made
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

// Opens `name` in `directory` with `flags` (besides reading and writing),
// private to the user whatever the umask; null unless it is a plain file.
// O_NONBLOCK keeps a FIFO planted under the name from holding the open.
std::FILE* OpenEntryFile(EntryDirectory* directory, const char* name, int flags, mode_t mode) {
  const mode_t previous = umask(077);
  int fd = openat(directory->fd, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, mode);
  umask(previous);
  struct stat status;
  if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
                  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
    close(fd);
    fd = -1;
  }
  return StreamOver(fd, "w+b");
}

std::FILE* PosixCreateEntryFile(EntryDirectory* directory, const char* name, bool executable) {
  return OpenEntryFile(directory, name, O_CREAT | O_EXCL, executable ? 0700 : 0600);
}

// O_NOFOLLOW refuses a link, and only a plain file is taken.
std::FILE* PosixReplaceEntryFile(EntryDirectory* directory, const char* name) {
  return OpenEntryFile(directory, name, O_CREAT | O_TRUNC, 0600);
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
    PosixOpenEntryDirectory, PosixMakeEntryDirectory, PosixCreateEntryFile,
    PosixReplaceEntryFile,   PosixDeleteEntryFile,    PosixCloseEntryDirectory};

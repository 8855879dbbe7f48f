// The POSIX side of the seam. The temporary directory is usually a shared
// /tmp: every name is created exclusively, private to the user, and no
// symbolic link is ever followed where another user could have planted one.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix.h"
#include "platform/stdio_streams.h"

extern char** environ;

namespace {

constexpr std::size_t kRandomNameLength = 8;
constexpr int kNameAttempts = 100;

// No code page: names are bytes, read as Latin-1 where a character matters.
bool PosixIsLeadByte(unsigned char) {
  return false;
}

char32_t PosixCharacterOfByte(unsigned char byte) {
  return byte;
}

bool PosixGetTempDirectory(char out[kPathCapacity]) {
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || directory[0] == '\0') {
    directory = "/tmp";
  }
  std::size_t length = std::strlen(directory);
  while (length > 1 && directory[length - 1] == '/') {
    --length;
  }
  const bool isRoot = length == 1 && directory[0] == '/';
  if (length + (isRoot ? 0 : 1) >= kPathCapacity) {
    return false;
  }
  std::memset(out, 0, kPathCapacity);
  std::memcpy(out, directory, length);
  if (!isRoot) {
    out[length] = '/';
  }
  return true;
}

// Fills `out` with directory + "mrl" + a random part; false when it does not fit.
bool ComposeUniqueName(const char* directory, char out[kPathCapacity]) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[kRandomNameLength];
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    // Exclusive creation keeps the name safe; randomness only avoids collisions.
    static unsigned counter = 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long seed = static_cast<unsigned long>(now.tv_nsec) ^
                         (static_cast<unsigned long>(getpid()) << 16) ^ ++counter;
    for (unsigned char& byte : random) {
      seed = seed * 6364136223846793005ul + 1442695040888963407ul;
      byte = static_cast<unsigned char>(seed >> 33);
    }
  }
  char name[sizeof kWorkspacePrefix + kRandomNameLength] = {};
  std::memcpy(name, kWorkspacePrefix, sizeof kWorkspacePrefix - 1);
  for (std::size_t i = 0; i < sizeof random; ++i) {
    name[sizeof kWorkspacePrefix - 1 + i] = kAlphabet[random[i] % (sizeof kAlphabet - 1)];
  }
  const std::size_t directoryLength = std::strlen(directory);
  if (directoryLength + std::strlen(name) >= kPathCapacity) {
    return false;
  }
  std::memset(out, 0, kPathCapacity);
  std::memcpy(out, directory, directoryLength);
  std::memcpy(out + directoryLength, name, std::strlen(name));
  return true;
}

// Makes `path` as `kind`, failing (errno EEXIST) where anything already is:
// neither call reuses an existing entry or follows a planted link.
bool MakeExclusively(const char* path, UniqueKind kind) {
  if (kind == kUniqueDirectory) {
    return mkdir(path, 0700) == 0;
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return false;
  }
  close(fd);
  return true;
}

bool PosixCreateUniqueName(const char* directory, UniqueKind kind, char out[kPathCapacity]) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (!ComposeUniqueName(directory, out)) {
      return false;
    }
    if (MakeExclusively(out, kind)) {
      return true;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  std::memset(out, 0, kPathCapacity);
  return false;
}

std::FILE* PosixOpenStream(const char* path, StreamMode mode) {
  int flags = O_NOFOLLOW | O_CLOEXEC;
  const char* streamMode = "rb";
  if (mode == kStreamUpdate) {
    flags |= O_RDWR;
    streamMode = "r+b";
  } else if (mode == kStreamCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
    streamMode = "w+b";
  }
  const int fd = open(path, flags, 0600);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* stream = fdopen(fd, streamMode);
  if (stream == nullptr) {
    close(fd);
  }
  return stream;
}

bool PosixSeekStream(std::FILE* stream, std::int64_t offset, StreamOrigin origin) {
  return fseeko(stream, static_cast<off_t>(offset), origin == kSeekEnd ? SEEK_END : SEEK_SET) == 0;
}

std::int64_t PosixTellStream(std::FILE* stream) {
  return static_cast<std::int64_t>(ftello(stream));
}

bool PosixDeleteFile(const char* path) {
  return unlink(path) == 0;
}

bool PosixRemoveEmptyDirectory(const char* path) {
  return rmdir(path) == 0;
}

// Reads the next entry into search->following.
bool FetchEntry(DirectorySearch* search) {
  DIR* directory = static_cast<DIR*>(search->handle);
  errno = 0;
  const struct dirent* entry = readdir(directory);
  if (entry == nullptr || std::strlen(entry->d_name) >= kPathCapacity) {
    return false;
  }
  SearchEntry& following = search->following;
  std::memset(following.name, 0, sizeof following.name);
  std::strcpy(following.name, entry->d_name);
  bool isDirectory = entry->d_type == DT_DIR;
  if (entry->d_type == DT_UNKNOWN) {
    struct stat status;
    isDirectory = fstatat(dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                  S_ISDIR(status.st_mode);
  }
  // A symbolic link is removed as what it is, whatever it points to.
  following.kind = isDirectory ? kEntryDirectory : kEntryFile;
  return true;
}

bool PosixStartSearch(DirectorySearch* search, const char* directory) {
  std::memset(search, 0, sizeof *search);
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  DIR* handle = fdopendir(fd);
  if (handle == nullptr) {
    close(fd);
    return false;
  }
  search->handle = handle;
  search->hasFollowing = FetchEntry(search);
  return search->hasFollowing;
}

bool PosixAdvanceSearch(DirectorySearch* search) {
  search->current = search->following;
  search->hasFollowing = search->handle != nullptr && FetchEntry(search);
  return search->hasFollowing;
}

void PosixCloseSearch(DirectorySearch* search) {
  if (search->handle != nullptr) {
    closedir(static_cast<DIR*>(search->handle));
    search->handle = nullptr;
  }
}

// Starts the entry with the launcher's own arguments. An entry the kernel
// cannot execute itself is handed to the shell, as a double-click would open
// a document with its program.
PlatformProcess PosixStartProcess(const char* path, const ArgumentTail* tail) {
  chmod(path, S_IRWXU);

  const int count = tail->count > 0 ? tail->count : 0;
  // Room for "/bin/sh", the path, the arguments and the terminating null.
  char** argv = static_cast<char**>(std::calloc(static_cast<std::size_t>(count) + 3, sizeof(char*)));
  if (argv == nullptr) {
    return 0;
  }
  static char shell[] = "/bin/sh";
  argv[0] = shell;
  argv[1] = const_cast<char*>(path);
  for (int i = 0; i < count; ++i) {
    argv[i + 2] = tail->args[i];
  }

  pid_t pid = 0;
  int error = posix_spawn(&pid, path, nullptr, nullptr, argv + 1, environ);
  if (error == ENOEXEC) {
    error = posix_spawn(&pid, shell, nullptr, nullptr, argv, environ);
  }
  std::free(argv);
  return error == 0 ? static_cast<PlatformProcess>(pid) : 0;
}

void PosixWaitForProcess(PlatformProcess process) {
  int status = 0;
  while (waitpid(static_cast<pid_t>(process), &status, 0) < 0 && errno == EINTR) {
  }
}

void PosixSleepMilliseconds(int milliseconds) {
  timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// The processors the process may run on (taskset and cgroups' cpusets narrow
// them), else the ones online.
std::uint32_t PosixCountProcessors() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<std::uint32_t>(CPU_COUNT(&allowed));
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::uint32_t>(online) : 1;
}

}  // namespace

const PlatformOps kSystemPlatform = {
    .IsLeadByte = PosixIsLeadByte,
    .CharacterOfByte = PosixCharacterOfByte,
    .GetTempDirectory = PosixGetTempDirectory,
    .CreateUniqueName = PosixCreateUniqueName,
    .LookUpResource = PosixLookUpResource,
    .WriteResourceToFile = PosixWriteResourceToFile,
    .ReadResource = PosixReadResource,
    .OpenStream = PosixOpenStream,
    .ReadStream = StdioReadStream,
    .WriteStream = StdioWriteStream,
    .SeekStream = PosixSeekStream,
    .TellStream = PosixTellStream,
    .CloseStream = StdioCloseStream,
    .DeleteFileAt = PosixDeleteFile,
    .RemoveEmptyDirectory = PosixRemoveEmptyDirectory,
    .StartSearch = PosixStartSearch,
    .AdvanceSearch = PosixAdvanceSearch,
    .CloseSearch = PosixCloseSearch,
    .StartProcess = PosixStartProcess,
    .WaitForProcess = PosixWaitForProcess,
    .OpenSplashSurface = X11OpenSplashSurface,
    .GetScreenSize = X11GetScreenSize,
    .GetSurfaceRect = X11GetSurfaceRect,
    .ShowSplashSurface = X11ShowSplashSurface,
    .LoadSplashPicture = X11LoadSplashPicture,
    .BlendSplashPicture = X11BlendSplashPicture,
    .ReleaseSplashPicture = X11ReleaseSplashPicture,
    .CloseSplashSurface = X11CloseSplashSurface,
    .SleepMilliseconds = PosixSleepMilliseconds,
    .CountProcessors = PosixCountProcessors,
};

const PlatformOps* gPlatform = &kSystemPlatform;

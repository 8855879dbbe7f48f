// The POSIX side of the seam. The temporary directory is usually a shared
// /tmp: every name is created exclusively, private to the user, and no
// symbolic link is ever followed where another user could have planted one.
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

#include "platform/posix/interruptions.h"
#include "platform/posix/private_file.h"
#include "platform/stdio_streams.h"

extern char** environ;

namespace {

constexpr std::size_t kRandomNameLength = 8;
constexpr int kNameAttempts = 100;

// No code page: names are bytes, read as Latin-1 where a character matters.
bool PosixEntryNameToPathText(const char* name, std::size_t length, char out[kPathCapacity],
                              std::size_t* outLength) {
  if (length >= kPathCapacity) {
    return false;
  }
  std::memset(out, 0, kPathCapacity);
  std::memcpy(out, name, length);
  *outLength = length;
  return true;
}

// The workspace is named by an absolute path, so that no name the launcher
// hands on (the installer's path above all) can start with '-' and be read as
// an option. A relative TMPDIR is taken from the current directory, once.
bool PosixGetTempDirectory(char out[kPathCapacity]) {
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || directory[0] == '\0') {
    directory = "/tmp";
  }
  std::size_t length = std::strlen(directory);
  while (length > 1 && directory[length - 1] == '/') {
    --length;
  }
  // Room for the separator after the longest current directory.
  char base[kPathCapacity + 1] = {};
  if (directory[0] != '/') {
    if (getcwd(base, kPathCapacity) == nullptr) {
      return false;
    }
    if (std::strcmp(base, "/") != 0) {
      std::strcat(base, "/");
    }
  }
  const std::size_t baseLength = std::strlen(base);
  const bool isRoot = baseLength == 0 && length == 1 && directory[0] == '/';
  if (baseLength + length + (isRoot ? 0 : 1) >= kPathCapacity) {
    return false;
  }
  std::memset(out, 0, kPathCapacity);
  std::memcpy(out, base, baseLength);
  std::memcpy(out + baseLength, directory, length);
  if (!isRoot) {
    out[baseLength + length] = '/';
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
    const mode_t previous = umask(077);
    const bool made = mkdir(path, 0700) == 0;
    umask(previous);
    return made;
  }
  const int fd = OpenPrivateFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
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
    // Made and noted at once: a signal in between would leave it behind.
    const HeldInterruptions held;
    if (MakeExclusively(out, kind)) {
      NoteMadeName(out, kind);
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
  return StreamOver(OpenPrivateFile(path, flags), streamMode);
}

bool PosixSeekStream(std::FILE* stream, std::int64_t offset, StreamOrigin origin) {
  return fseeko(stream, static_cast<off_t>(offset), origin == kSeekEnd ? SEEK_END : SEEK_SET) == 0;
}

std::int64_t PosixTellStream(std::FILE* stream) {
  return static_cast<std::int64_t>(ftello(stream));
}

// Punches the range out of the file: tmpfs, ext4, xfs and btrfs give its
// blocks back at once.
bool PosixReleaseStreamRange(std::FILE* stream, std::int64_t offset, std::int64_t length) {
  return fallocate(fileno(stream), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                   static_cast<off_t>(offset), static_cast<off_t>(length)) == 0;
}

// Removes `path` with `remove` (unlink, rmdir) and forgets it as made, at
// once: a signal in between would try to remove it again.
bool RemoveMadeName(const char* path, int (*remove)(const char*)) {
  const HeldInterruptions held;
  if (remove(path) != 0) {
    return false;
  }
  ForgetMadeName(path);
  return true;
}

bool PosixDeleteFile(const char* path) {
  return RemoveMadeName(path, unlink);
}

bool PosixRemoveEmptyDirectory(const char* path) {
  return RemoveMadeName(path, rmdir);
}

// How much of an entry is looked at to tell a script from a program.
constexpr std::size_t kScriptCheckSize = 512;

// Whether the start of an entry the kernel refused to execute looks like a
// shell script: text without a zero byte, and none of the executable formats'
// magic numbers. A program built for another machine fails with ENOEXEC as
// well, and the shell would run whatever command lines its bytes happen to
// hold.
bool LooksLikeScript(const unsigned char* head, std::size_t size) {
  static const unsigned char kMagic[][4] = {
      {0x7F, 'E', 'L', 'F'},                               // ELF
      {0xFE, 0xED, 0xFA, 0xCE}, {0xFE, 0xED, 0xFA, 0xCF},  // Mach-O
      {0xCE, 0xFA, 0xED, 0xFE}, {0xCF, 0xFA, 0xED, 0xFE},
      {0xCA, 0xFE, 0xBA, 0xBE},  // universal Mach-O
  };
  if (std::memchr(head, 0, size) != nullptr || (size >= 2 && head[0] == 'M' && head[1] == 'Z')) {
    return false;
  }
  for (const unsigned char* magic : kMagic) {
    if (size >= 4 && std::memcmp(head, magic, 4) == 0) {
      return false;
    }
  }
  return true;
}

// Makes the entry executable for its owner and reads its first bytes; false
// when it cannot be opened (a link put in its place is not followed).
bool PrepareEntry(const char* path, unsigned char head[kScriptCheckSize], std::size_t* size) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  fchmod(fd, S_IRWXU);
  const ssize_t got = read(fd, head, kScriptCheckSize);
  close(fd);
  *size = got > 0 ? static_cast<std::size_t>(got) : 0;
  return true;
}

// Starts the entry with the launcher's own arguments. A script the kernel
// cannot execute itself (no "#!" line) is handed to the shell; anything else
// it refuses is not started at all.
PlatformProcess PosixStartProcess(const char* path, const ArgumentTail* tail) {
  unsigned char head[kScriptCheckSize];
  std::size_t headSize = 0;
  if (!PrepareEntry(path, head, &headSize)) {
    return 0;
  }

  const int count = tail->count > 0 ? tail->count : 0;
  // Room for "/bin/sh", the path, the arguments and the terminating null.
  char** argv =
      static_cast<char**>(std::calloc(static_cast<std::size_t>(count) + 3, sizeof(char*)));
  if (argv == nullptr) {
    return 0;
  }
  static char shell[] = "/bin/sh";
  argv[0] = shell;
  argv[1] = const_cast<char*>(path);
  for (int i = 0; i < count; ++i) {
    argv[i + 2] = tail->args[i];
  }

  // The installer is known to the signal handler from its first moment on;
  // it starts with the signal mask the launcher was given, and the
  // launcher's handlers are reset to the default in it.
  pid_t pid = 0;
  int error = 0;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  {
    const HeldInterruptions held;
    posix_spawnattr_setsigmask(&attributes, &held.previous());
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    error = posix_spawn(&pid, path, nullptr, &attributes, argv + 1, environ);
    if (error == ENOEXEC && LooksLikeScript(head, headSize)) {
      error = posix_spawn(&pid, shell, nullptr, &attributes, argv, environ);
    }
    if (error == 0) {
      InstallerStarted(pid);
    }
  }
  posix_spawnattr_destroy(&attributes);
  std::free(argv);
  return error == 0 ? static_cast<PlatformProcess>(pid) : 0;
}

bool PosixWaitForProcess(PlatformProcess process, std::uint32_t* exitCode) {
  const pid_t pid = static_cast<pid_t>(process);
  // Waited for but not yet reaped, so that a signal passed on meanwhile can
  // only reach the installer, never a process that took its number.
  siginfo_t ended;
  while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  InstallerEnded();
  int status = 0;
  pid_t reaped = 0;
  while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (reaped != pid) {
    return false;  // reaped by the system: SIGCHLD was ignored
  }
  // As shells report it.
  if (WIFEXITED(status)) {
    *exitCode = static_cast<std::uint32_t>(WEXITSTATUS(status));
    return true;
  }
  if (WIFSIGNALED(status)) {
    *exitCode = 128 + static_cast<std::uint32_t>(WTERMSIG(status));
    return true;
  }
  return false;
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

// Whatever umask the user runs the launcher with, what it makes is its own
// alone and usable by it: files 0600, the extraction directory 0700. A umask
// that takes the owner's own rights (0200, 0700, 0777) would otherwise make a
// file that cannot be opened again for writing. The umask is changed only
// around the creation, so the installer inherits the user's.
int OpenPrivateFile(const char* path, int flags) {
  const mode_t previous = umask(077);
  const int fd = open(path, flags, 0600);
  umask(previous);
  return fd;
}

std::FILE* StreamOver(int fd, const char* mode) {
  std::FILE* stream = fd >= 0 ? fdopen(fd, mode) : nullptr;
  if (stream == nullptr && fd >= 0) {
    close(fd);
  }
  return stream;
}

constinit const TextOps kSystemText = {PosixEntryNameToPathText};

constinit const WorkspaceOps kSystemWorkspace = {PosixGetTempDirectory, PosixCreateUniqueName,
                                                 PosixDeleteFile, PosixRemoveEmptyDirectory};

constinit const StreamOps kSystemStreams = {
    PosixOpenStream, StdioReadStream,  StdioWriteStream,       PosixSeekStream,
    PosixTellStream, StdioCloseStream, PosixReleaseStreamRange};

constinit const ProcessOps kSystemProcesses = {PosixStartProcess, PosixWaitForProcess};

constinit const ClockOps kSystemClock = {PosixSleepMilliseconds, PosixCountProcessors};

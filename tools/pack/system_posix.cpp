// mirelk-pack's system calls on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/full_io.h"
#include "tools/pack/system_calls.h"

namespace pack::sys {

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What to do when interrupted, for the signal handler; null before it is set.
void (*volatile gCleanup)() = nullptr;

void CleanUpAndDie(int signal) {
  void (*cleanup)() = gCleanup;
  if (cleanup != nullptr) {
    cleanup();
  }
  // SA_RESETHAND has restored the default action and SA_NODEFER left the
  // signal unblocked: this ends the process as the signal would have.
  raise(signal);
}

sigset_t CleanupSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : kCleanupSignals) {
    sigaddset(&signals, signal);
  }
  return signals;
}

// The signal mask before HoldInterruptions.
sigset_t gMaskBefore;

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::filesystem::path PathOf(const std::string& argument) {
  return std::filesystem::path(argument);
}

std::string TextOf(const std::filesystem::path& path) {
  return path.string();
}

bool EntryNameOf(const std::filesystem::path& file, std::string* name) {
  *name = file.filename().string();
  return true;
}

std::filesystem::path ExecutablePath() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self;
}

bool IsExecutableFile(const std::filesystem::path& file) {
  struct stat status;
  return stat(file.c_str(), &status) == 0 && (status.st_mode & S_IXUSR) != 0;
}

std::string LastError() {
  return std::strerror(errno);
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat first;
  struct stat second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

namespace calls {

void CallOnInterruption(void (*cleanup)()) {
  if (gCleanup != nullptr) {
    return;
  }
  gCleanup = cleanup;
  for (const int signal : kCleanupSignals) {
    struct sigaction current = {};
    // A signal ignored on purpose (nohup) stays ignored.
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action = {};
    action.sa_handler = CleanUpAndDie;
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

void HoldInterruptions() {
  const sigset_t held = CleanupSignals();
  sigprocmask(SIG_BLOCK, &held, &gMaskBefore);
}

void ReleaseInterruptions() {
  sigprocmask(SIG_SETMASK, &gMaskBefore, nullptr);
}

bool CreateNewFile(const std::filesystem::path& path, Handle* handle) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  *handle = fd;
  return fd >= 0;
}

bool WriteWhole(Handle handle, const void* data, std::size_t size) {
  return WriteFull(static_cast<int>(handle), data, size);
}

bool MakeExecutable(Handle handle) {
  return fchmod(static_cast<int>(handle), 0755) == 0;
}

bool CloseFile(Handle handle) {
  return close(static_cast<int>(handle)) == 0;
}

bool RenameOver(const std::filesystem::path& from, const std::filesystem::path& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void RemoveFile(const PathChar* path) {
  unlink(path);
}

OpenedFacts OpenForReading(const std::filesystem::path& path, bool followLinks, Handle* handle) {
  // O_NONBLOCK: opening a FIFO with no writer, or some devices, would
  // otherwise wait; the handle is only looked at until it is known to be a
  // regular file, where the flag changes nothing.
  const int fd = open(
      path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW));
  *handle = fd;
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return {InputKind::kMissing, 0, false};
    }
    // Without following, a link is refused with ELOOP; a socket cannot be
    // opened at all (ENXIO), and is told by its name's status.
    const int error = errno;
    struct stat named;
    if (error == ENXIO && stat(path.c_str(), &named) == 0 && S_ISSOCK(named.st_mode)) {
      return {InputKind::kSocket, 0, false};
    }
    errno = error;  // for LastError
    return {!followLinks && error == ELOOP ? InputKind::kLink : InputKind::kError, 0, false};
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    return {InputKind::kError, 0, false};
  }
  const mode_t type = status.st_mode & S_IFMT;
  if (type == S_IFREG) {
    return {InputKind::kRegular, static_cast<std::uint64_t>(status.st_size),
            (status.st_mode & S_IXUSR) != 0};
  }
  const InputKind kind = type == S_IFDIR    ? InputKind::kDirectory
                         : type == S_IFIFO  ? InputKind::kFifo
                         : type == S_IFSOCK ? InputKind::kSocket
                                            : InputKind::kDevice;
  return {kind, 0, false};
}

bool ReadSome(Handle handle, std::uint64_t offset, void* data, std::size_t size, std::size_t* got) {
  for (;;) {
    const ssize_t read = pread(static_cast<int>(handle), data, size, static_cast<off_t>(offset));
    if (read >= 0) {
      *got = static_cast<std::size_t>(read);
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

bool IsFileAt(Handle handle, const std::filesystem::path& path) {
  struct stat open;
  struct stat named;
  return fstat(static_cast<int>(handle), &open) == 0 && stat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace calls

}  // namespace pack::sys

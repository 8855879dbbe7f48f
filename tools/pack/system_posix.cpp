// mirelk-pack's system calls on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/full_io.h"
#include "tools/pack/system.h"

namespace pack::sys {

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The pending file's path, for the signal handler; null when there is none.
const char* volatile gPending = nullptr;

void RemovePendingAndDie(int signal) {
  const char* pending = gPending;
  if (pending != nullptr) {
    unlink(pending);
  }
  // SA_RESETHAND has restored the default action and SA_NODEFER left the
  // signal unblocked: this ends the process as the signal would have.
  raise(signal);
}

void InstallHandlers() {
  static bool installed = false;
  if (installed) {
    return;
  }
  installed = true;
  for (const int signal : kCleanupSignals) {
    struct sigaction current = {};
    // A signal ignored on purpose (nohup) stays ignored.
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action = {};
    action.sa_handler = RemovePendingAndDie;
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

// Holds the cleanup signals back while the pending file and its registration
// change together.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : kCleanupSignals) {
      sigaddset(&held, signal);
    }
    sigprocmask(SIG_BLOCK, &held, &before_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t before_;
};

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

bool PendingFile::Create(const std::filesystem::path& path) {
  if (gPending != nullptr) {
    errno = EBUSY;  // one pending file at a time
    return false;
  }
  InstallHandlers();
  SignalsHeld held;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  path_ = path;
  handle_ = fd;
  pending_ = true;
  gPending = path_.c_str();
  return true;
}

bool PendingFile::Write(const void* data, std::size_t size) {
  return WriteFull(static_cast<int>(handle_), data, size);
}

bool PendingFile::MakeExecutable() {
  return fchmod(static_cast<int>(handle_), 0755) == 0;
}

bool PendingFile::Commit(const std::filesystem::path& target) {
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (close(fd) != 0) {
    return false;
  }
  SignalsHeld held;
  if (rename(path_.c_str(), target.c_str()) != 0) {
    return false;
  }
  pending_ = false;
  gPending = nullptr;
  return true;
}

PendingFile::~PendingFile() {
  if (handle_ >= 0) {
    close(static_cast<int>(handle_));
  }
  if (pending_) {
    SignalsHeld held;
    unlink(path_.c_str());
    gPending = nullptr;
  }
}

}  // namespace pack::sys

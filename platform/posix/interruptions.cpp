// What SIGINT, SIGQUIT, SIGTERM and SIGHUP do to a run.
//
// - Before the installer starts: what the run has made so far goes (the
//   names below), then the launcher ends by that signal, with its default
//   action, as if it had never been caught.
// - While the installer runs: SIGINT and SIGQUIT do nothing to the launcher
//   (the installer gets them from the terminal itself, as with system());
//   SIGTERM and SIGHUP are passed on to the installer. Removal runs as usual
//   once it has ended.
// - After it has ended, while the processes it left are waited for (a setup
//   made with --wait all): SIGINT and SIGQUIT again do nothing to the
//   launcher; SIGTERM and SIGHUP end the wait, and are then held as below.
//   Those processes get nothing from the launcher.
// - After it has ended: the signal is held until removal is done, and then
//   the launcher ends by it.
// A signal the launcher was started with ignored (a background job's SIGINT)
// stays ignored, for the installer too.
//
// The handler does only what is safe in a handler: it reads what the main
// flow wrote while the signals were blocked, and makes system calls. What
// was made before the installer starts is flat (files, and one directory of
// files), so it is removed without the walk, which allocates.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/interruptions.h"

namespace {

constexpr int kInterruptions[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

enum Phase : int {
  kBeforeInstaller,
  kInstallerRunning,
  kDescendantsRunning,
  kAfterInstaller,
};

volatile sig_atomic_t gPhase = kBeforeInstaller;
volatile sig_atomic_t gInstaller = 0;
volatile sig_atomic_t gHeld = 0;
bool gWatching = false;

// The names the run made in the temporary directory and has not removed.
// The launcher makes three; written only while the signals are blocked.
struct MadeName {
  bool used;
  UniqueKind kind;
  char path[kPathCapacity];
};
MadeName gMade[4];

bool IsDots(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Deletes every entry of a directory of files, then the directory. Passes
// over it until one deletes nothing, as entries deleted while the directory
// is read may hide others.
void RemoveFlatDirectory(const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    alignas(dirent64) char buffer[4096];
    bool deleted = true;
    for (int pass = 0; pass < 8 && deleted; ++pass) {
      deleted = false;
      lseek(fd, 0, SEEK_SET);
      ssize_t got = 0;
      while ((got = getdents64(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
          const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
          at += entry->d_reclen;
          if (!IsDots(entry->d_name) && unlinkat(fd, entry->d_name, 0) == 0) {
            deleted = true;
          }
        }
      }
    }
    close(fd);
  }
  rmdir(path);
}

void RemoveMadeNames() {
  for (const MadeName& made : gMade) {
    if (!made.used) {
      continue;
    }
    if (made.kind == kUniqueDirectory) {
      RemoveFlatDirectory(made.path);
    } else {
      unlink(made.path);
    }
  }
}

// Ends the process by `signal` with its default action.
void EndBy(int signal) {
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signal, &byDefault, nullptr);
  raise(signal);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

void OnInterruption(int signal) {
  const int savedErrno = errno;
  if (gPhase == kInstallerRunning) {
    if ((signal == SIGTERM || signal == SIGHUP) && gInstaller > 0) {
      kill(static_cast<pid_t>(gInstaller), signal);
    }
  } else if (gPhase == kDescendantsRunning) {
    if ((signal == SIGTERM || signal == SIGHUP) && gHeld == 0) {
      gHeld = signal;
    }
  } else if (gPhase == kAfterInstaller) {
    if (gHeld == 0) {
      gHeld = signal;
    }
  } else {
    RemoveMadeNames();
    EndBy(signal);
  }
  errno = savedErrno;
}

}  // namespace

void WatchInterruptions() {
  std::memset(gMade, 0, sizeof gMade);
  gPhase = kBeforeInstaller;
  gInstaller = 0;
  gHeld = 0;
  struct sigaction handler = {};
  handler.sa_handler = OnInterruption;
  handler.sa_flags = SA_RESTART;
  sigemptyset(&handler.sa_mask);
  for (int signal : kInterruptions) {
    sigaddset(&handler.sa_mask, signal);
  }
  for (int signal : kInterruptions) {
    struct sigaction current = {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaction(signal, &handler, nullptr);
    }
  }
  gWatching = true;
}

void ForgetInterruptions() {
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  for (int signal : kInterruptions) {
    struct sigaction current = {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == OnInterruption) {
      sigaction(signal, &byDefault, nullptr);
    }
  }
  gWatching = false;
}

HeldInterruptions::HeldInterruptions() : HeldSignals(kInterruptions) {}

void NoteMadeName(const char* path, UniqueKind kind) {
  if (!gWatching) {
    return;
  }
  for (MadeName& made : gMade) {
    if (!made.used) {
      std::memset(made.path, 0, sizeof made.path);
      std::strncpy(made.path, path, sizeof made.path - 1);
      made.kind = kind;
      made.used = true;
      return;
    }
  }
}

void ForgetMadeName(const char* path) {
  for (MadeName& made : gMade) {
    if (made.used && std::strcmp(made.path, path) == 0) {
      made.used = false;
    }
  }
}

void InstallerStarted(pid_t installer) {
  gInstaller = installer;
  gPhase = kInstallerRunning;
}

void InstallerEnded() {
  const HeldInterruptions held;
  gPhase = kAfterInstaller;
  gInstaller = 0;
}

void EndByHeldInterruption() {
  if (gHeld != 0) {
    EndBy(gHeld);
  }
}

void DescendantsWaited() {
  const HeldInterruptions held;
  gPhase = kDescendantsRunning;
}

void DescendantsEnded() {
  const HeldInterruptions held;
  gPhase = kAfterInstaller;
}

bool WaitCutShort() {
  return gHeld != 0;
}

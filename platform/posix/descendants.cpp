// Waiting for every process the installer starts (a setup made with --wait
// all). As the subreaper, the launcher becomes the parent of each descendant
// whose own parent ends, a daemon that forks twice included, and so can reap
// them all; it waits until it has no child left. A process started for the
// installer by another service (systemd-run, at) is no descendant.
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/posix/interruptions.h"

namespace {

// How often the launcher looks whether a descendant ended, or the wait was
// cut short: a blocking wait could miss a signal that came just before it.
constexpr int kLookEveryMilliseconds = 50;

bool PosixAdoptDescendants() {
  return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

void PosixWaitForDescendants() {
  DescendantsWaited();
  while (!WaitCutShort()) {
    int status = 0;
    const pid_t reaped = waitpid(-1, &status, WNOHANG);
    if (reaped < 0 && errno != EINTR) {
      break;  // no child left
    }
    if (reaped == 0) {
      kSystemClock.SleepMilliseconds(kLookEveryMilliseconds);
    }
  }
  DescendantsEnded();
}

}  // namespace

constinit const DescendantOps kSystemDescendants = {PosixAdoptDescendants, PosixWaitForDescendants};

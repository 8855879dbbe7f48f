// Signals held back for a scope on POSIX: blocked when the object is made,
// the mask from before restored when it goes, so that a signal handler never
// sees a change half made. Shared by the launcher's POSIX side
// (HeldInterruptions, interruptions.h) and mirelk-pack; header-only.
#pragma once

#include <signal.h>

#include <cstddef>

class HeldSignals {
 public:
  template <std::size_t count>
  explicit HeldSignals(const int (&signals)[count]) {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : signals) {
      sigaddset(&held, signal);
    }
    sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  // The mask from before, which a process started meanwhile takes.
  const sigset_t& previous() const { return previous_; }

 private:
  sigset_t previous_;
};

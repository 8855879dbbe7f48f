// What SIGINT, SIGQUIT, SIGTERM and SIGHUP do to a run on POSIX
// (interruptions.cpp): the start-up watches for them before the run and ends
// by one held during the final removal after it; the rest of the POSIX side
// tells the handler what the run has made and where the installer stands.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "platform/platform.h"
#include "platform/posix/held_signals.h"

void WatchInterruptions();
void EndByHeldInterruption();
// In a child process that is not the run: the default actions again, where
// the launcher had caught the signals.
void ForgetInterruptions();

// SIGINT, SIGQUIT, SIGTERM and SIGHUP held for the life of the object,
// around what the handler must see whole: the names made, the installer
// started or ended.
class HeldInterruptions : public HeldSignals {
 public:
  HeldInterruptions();
};

// The names the run made and has not removed (called while held).
void NoteMadeName(const char* path, UniqueKind kind);
void ForgetMadeName(const char* path);
// The installer's process, from its start (called while held, together with
// the start) until it has ended (it is not yet reaped when it is said to have
// ended).
void InstallerStarted(pid_t installer);
void InstallerEnded();
// The installer has ended and the processes it left are waited for, until
// DescendantsEnded; whether a SIGTERM or SIGHUP that cuts that wait short
// has come.
void DescendantsWaited();
void DescendantsEnded();
bool WaitCutShort();
// InstallerEnded, DescendantsWaited and DescendantsEnded hold the signals
// themselves while they change what the handler reads.

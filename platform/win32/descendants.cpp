// Waiting for every process the installer starts (a setup made with --wait
// all): the launcher joins a new job before it starts the installer, so the
// installer and all it starts are born in the job, and waits until the job's
// only live member is the launcher itself. A process may still leave the job
// (CREATE_BREAKAWAY_FROM_JOB), and one the system starts for the installer
// (a UAC "runas" re-launch) is never in it; neither is waited for. The job
// kills nothing when it closes.
#include <windows.h>

#include "platform/platform.h"

namespace {

// The job the launcher joined; null when it joined none.
HANDLE gJob = nullptr;

// How often the job's members are counted.
constexpr DWORD kCountEveryMilliseconds = 50;

bool Win32AdoptDescendants() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) {
    return false;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  // Before Windows 8 a process already in a job cannot join another.
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
      !AssignProcessToJobObject(job, GetCurrentProcess())) {
    CloseHandle(job);
    return false;
  }
  gJob = job;
  return true;
}

void Win32WaitForDescendants() {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts = {};
  while (QueryInformationJobObject(gJob, JobObjectBasicAccountingInformation, &counts,
                                   sizeof counts, nullptr) &&
         counts.ActiveProcesses > 1) {
    Sleep(kCountEveryMilliseconds);
  }
}

}  // namespace

constinit const DescendantOps kSystemDescendants = {Win32AdoptDescendants, Win32WaitForDescendants};

// Process entry on POSIX: the arguments after the program's name are the
// tail. A signal that interrupts the run is watched for from the start
// (interruptions.cpp).
#include "launcher/launcher.h"
#include "platform/posix/interruptions.h"

int main(int argc, char** argv) {
  ArgumentTail tail = {};
  if (argc > 1) {
    tail.args = argv + 1;
    tail.count = argc - 1;
  }
  WatchInterruptions();
  const LauncherExit code = RunLauncher(nullptr, tail);
  EndByHeldInterruption();
  return code;
}

// Process entry on POSIX: the arguments after the program's name are the tail.
#include "launcher/launcher.h"

int main(int argc, char** argv) {
  ArgumentTail tail = {};
  if (argc > 1) {
    tail.args = argv + 1;
    tail.count = argc - 1;
  }
  return RunLauncher(nullptr, tail);
}

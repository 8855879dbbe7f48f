/* Starts a program with an exact command line, read byte for byte from a
   file, waits for it and ends with its exit code. The tests need this: the
   launcher's tail is whatever follows its name on its command line. Usage:
   start-with PROGRAM COMMAND-LINE-FILE */
#include <windows.h>

int main(int argc, char** argv) {
  static char commandLine[32768];
  HANDLE file;
  DWORD size = 0;
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD exitCode = 255;
  if (argc != 3) {
    return 254;
  }
  file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE ||
      !ReadFile(file, commandLine, sizeof commandLine - 1, &size, NULL)) {
    return 253;
  }
  CloseHandle(file);
  commandLine[size] = '\0';
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(argv[1], commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    return 252;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &exitCode);
  return (int)exitCode;
}

/* Starts a program with an exact command line, waits for it and ends with its
   exit code. The tests need this: the launcher's tail is whatever follows its
   name on its command line. The program's path and the command line are read
   byte for byte from files, in the ANSI code page the test chose, because
   Wine converts its own Unix arguments with the Unix locale, which need not
   match. Usage: start-with PROGRAM-FILE COMMAND-LINE-FILE */
#include <windows.h>

static int ReadText(const char* path, char* out, DWORD capacity) {
  HANDLE file;
  DWORD size = 0;
  file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE || !ReadFile(file, out, capacity - 1, &size, NULL)) {
    return 0;
  }
  CloseHandle(file);
  out[size] = '\0';
  return 1;
}

int main(int argc, char** argv) {
  static char program[MAX_PATH];
  static char commandLine[32768];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD exitCode = 255;
  if (argc != 3) {
    return 254;
  }
  if (!ReadText(argv[1], program, sizeof program) ||
      !ReadText(argv[2], commandLine, sizeof commandLine)) {
    return 253;
  }
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    return 252;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &exitCode);
  return (int)exitCode;
}

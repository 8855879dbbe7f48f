/* Starts a program with an exact command line, waits for it and ends with its
   exit code. The tests need this: the launcher's tail is whatever follows its
   name on its command line. The program's path and the command line are read
   byte for byte from files, in the ANSI code page the test chose, because
   Wine converts its own Unix arguments with the Unix locale, which need not
   match. With "utf-8" after them, both files are UTF-8 and the program is
   started with the wide call, so that any name and argument reach it.
   Usage: start-with PROGRAM-FILE COMMAND-LINE-FILE [utf-8] */
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

/* Starts the program from UTF-8 text, through UTF-16. */
static int StartWide(const char* program, char* commandLine, PROCESS_INFORMATION* process) {
  static WCHAR wideProgram[MAX_PATH];
  static WCHAR wideCommandLine[32768];
  STARTUPINFOW startup;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, program, -1, wideProgram, MAX_PATH) == 0 ||
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, commandLine, -1, wideCommandLine, 32768) ==
          0) {
    return 0;
  }
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  return CreateProcessW(wideProgram, wideCommandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        process);
}

/* Where the tests record, the whole exit code in decimal: Wine hands only its
   low 8 bits on to Unix. */
static void RecordExitCode(DWORD code) {
  char path[MAX_PATH + 16];
  char text[16];
  DWORD length = GetEnvironmentVariableA("MIRELK_RECORD", path, MAX_PATH);
  DWORD written = 0;
  HANDLE file;
  if (length == 0 || length >= MAX_PATH) {
    return;
  }
  lstrcatA(path, "\\exit-code");
  wsprintfA(text, "%lu", (unsigned long)code);
  file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  WriteFile(file, text, (DWORD)lstrlenA(text), &written, NULL);
  CloseHandle(file);
}

int main(int argc, char** argv) {
  static char program[MAX_PATH * 3];
  static char commandLine[32768 * 3];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD exitCode = 255;
  int started;
  if (argc != 3 && !(argc == 4 && lstrcmpA(argv[3], "utf-8") == 0)) {
    return 254;
  }
  if (!ReadText(argv[1], program, sizeof program) ||
      !ReadText(argv[2], commandLine, sizeof commandLine)) {
    return 253;
  }
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  started = argc == 4 ? StartWide(program, commandLine, &process)
                      : CreateProcessA(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL,
                                       &startup, &process);
  if (!started) {
    return 252;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &exitCode);
  RecordExitCode(exitCode);
  return (int)exitCode;
}

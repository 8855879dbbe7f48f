/* A test installer for the launcher's settings. Its command line (the
   launcher's tail) says what it does:
   --exit N       ends at once with exit code N (decimal);
   --handoff      copies itself into the directory named by MIRELK_RECORD,
                  starts the copy as a helper (in that directory, so that
                  nothing of it depends on the extraction directory) and
                  ends at once, recording in "handoff" whether it started
                  it; with --breakaway the helper leaves the launcher's job;
   --helper FILE  (the helper) records in "helper" that it runs, then after
                  1.5 s reads FILE and records what it read, or "missing",
                  in "read" in that directory. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

static char record[MAX_PATH];

/* Writes DATA as the record file NAME, whole or not at all. */
static void Record(const char* name, const char* data, DWORD size) {
  char part[MAX_PATH * 2];
  char done[MAX_PATH * 2];
  HANDLE file;
  DWORD written;
  wsprintfA(part, "%s\\%s.part", record, name);
  wsprintfA(done, "%s\\%s", record, name);
  file = CreateFileA(part, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  WriteFile(file, data, size, &written, NULL);
  CloseHandle(file);
  MoveFileExA(part, done, MOVEFILE_REPLACE_EXISTING);
}

static void Helper(const char* path) {
  char data[4096];
  DWORD size = 0;
  HANDLE file;
  Record("helper", "started", 7);
  Sleep(1500);
  file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE || !ReadFile(file, data, sizeof data, &size, NULL)) {
    Record("read", "missing", 7);
    return;
  }
  CloseHandle(file);
  Record("read", data, size);
}

static int HandOff(int breakaway) {
  char self[MAX_PATH];
  char helper[MAX_PATH * 2];
  char commandLine[MAX_PATH * 4];
  char outcome[64];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  GetModuleFileNameA(NULL, self, sizeof self);
  wsprintfA(helper, "%s\\helper.exe", record);
  CopyFileA(self, helper, FALSE);
  strcpy(strrchr(self, '\\') + 1, "data.txt");
  wsprintfA(commandLine, "helper.exe --helper %s", self);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  /* Detached: on Windows a GUI program has no console, but under Wine it
     may inherit one from the program that started the launcher, and Wine
     ends a console's processes when that console ends. */
  if (!CreateProcessA(helper, commandLine, NULL, NULL, FALSE,
                      DETACHED_PROCESS | (breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0), NULL, record,
                      &startup, &process)) {
    wsprintfA(outcome, "not started: error %lu", (unsigned long)GetLastError());
    Record("handoff", outcome, (DWORD)lstrlenA(outcome));
    return 2;
  }
  Record("handoff", "started", 7);
  return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR ignored, int show) {
  const char* commandLine = GetCommandLineA();
  const char* option;
  (void)instance;
  (void)previous;
  (void)ignored;
  (void)show;
  if (GetEnvironmentVariableA("MIRELK_RECORD", record, sizeof record) == 0) {
    return 2;
  }
  if ((option = strstr(commandLine, "--helper ")) != NULL) {
    Helper(option + 9);
    return 0;
  }
  if ((option = strstr(commandLine, "--exit ")) != NULL) {
    return (int)strtoul(option + 7, NULL, 10);
  }
  if (strstr(commandLine, "--handoff") != NULL) {
    return HandOff(strstr(commandLine, "--breakaway") != NULL);
  }
  return 0;
}

/* A test installer for the launcher's settings. Its command line (the
   launcher's tail) says what it does:
   --exit N       ends at once with exit code N (decimal);
   --handoff      copies itself into the directory named by MIRELK_RECORD,
                  starts the copy as a helper and ends at once; with
                  --breakaway the helper leaves the launcher's job;
   --helper FILE  (the helper) after 1.5 s reads FILE and records what it
                  read, or "missing", in "read" in that directory. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

static char record[MAX_PATH];

static void Record(const char* data, DWORD size) {
  char part[MAX_PATH * 2];
  char done[MAX_PATH * 2];
  HANDLE file;
  DWORD written;
  wsprintfA(part, "%s\\part", record);
  wsprintfA(done, "%s\\read", record);
  file = CreateFileA(part, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  WriteFile(file, data, size, &written, NULL);
  CloseHandle(file);
  MoveFileExA(part, done, MOVEFILE_REPLACE_EXISTING);
}

static void Helper(const char* path) {
  char data[4096];
  DWORD size = 0;
  HANDLE file;
  Sleep(1500);
  file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE || !ReadFile(file, data, sizeof data, &size, NULL)) {
    Record("missing", 7);
    return;
  }
  CloseHandle(file);
  Record(data, size);
}

static int HandOff(int breakaway) {
  char self[MAX_PATH];
  char helper[MAX_PATH * 2];
  char commandLine[MAX_PATH * 4];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  GetModuleFileNameA(NULL, self, sizeof self);
  wsprintfA(helper, "%s\\helper.exe", record);
  CopyFileA(self, helper, FALSE);
  strcpy(strrchr(self, '\\') + 1, "data.txt");
  wsprintfA(commandLine, "helper.exe --helper %s", self);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(helper, commandLine, NULL, NULL, FALSE,
                      breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0, NULL, NULL, &startup, &process)) {
    return 2;
  }
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

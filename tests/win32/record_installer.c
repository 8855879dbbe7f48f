/* A test installer: records, in the directory named by MIRELK_RECORD, its
   command line (cmdline in the ANSI code page, cmdline.utf8 as UTF-16 gives it,
   in UTF-8), its working directory (cwd, cwd.utf8), the files beside it
   (files, one name a line) and a copy of each of them (files.d); the files are
   found and copied with the wide calls, so any directory they are in works.
   Started with "--linger" anywhere in its command line, it first starts a
   copy of itself that waits until the test makes the file "release" in that
   directory, and then it ends at once; with "--pause", once it has recorded,
   it makes the file "paused" there and waits until the test makes "resume"
   (at most two minutes); with
   "--deep-tree", it leaves beside itself a tree of 30 levels whose paths run
   past 1,200 characters, as package managers do. */
#include <windows.h>
#include <string.h>
#include <wchar.h>

static char record[MAX_PATH];

static void WriteRecord(const char* name, const char* data, DWORD size) {
  char path[MAX_PATH * 2];
  HANDLE file;
  DWORD written;
  wsprintfA(path, "%s\\%s", record, name);
  file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    ExitProcess(3);
  }
  WriteFile(file, data, size, &written, NULL);
  CloseHandle(file);
}

/* The wide text as UTF-8, into the record `name`. */
static void WriteWideRecord(const char* name, const WCHAR* text) {
  static char utf8[32768 * 3];
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
  WriteRecord(name, utf8, size > 0 ? (DWORD)(size - 1) : 0);
}

/* Waits until the file `name` appears in the record directory, at most two
   minutes. */
static void WaitForRecord(const char* name) {
  char path[MAX_PATH * 2];
  int waited;
  wsprintfA(path, "%s\\%s", record, name);
  for (waited = 0; waited < 120000 && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES;
       waited += 50) {
    Sleep(50);
  }
}

static void Linger(const char* self) {
  char lingerer[MAX_PATH * 2];
  char* slash;
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  strcpy(lingerer, self);
  slash = strrchr(lingerer, '\\');
  strcpy(slash + 1, "lingering.exe");
  CopyFileA(self, lingerer, FALSE);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  CreateProcessA(lingerer, (char*)"lingering.exe --wait", NULL, NULL, FALSE, 0, NULL, NULL,
                 &startup, &process);
}

static void DeepTree(void) {
  /* Beyond MAX_PATH only the wide functions with a \\?\ path reach. */
  static WCHAR path[32768] = L"\\\\?\\";
  WCHAR* slash;
  HANDLE file;
  int level;
  GetModuleFileNameW(NULL, path + 4, MAX_PATH);
  slash = wcsrchr(path, L'\\');
  *slash = 0;
  for (level = 0; level < 30; ++level) {
    wsprintfW(path + lstrlenW(path), L"\\node_modules-%02d-abcdefghijklmnopqrstuvwxyz", level);
    CreateDirectoryW(path, NULL);
  }
  lstrcatW(path, L"\\index.js");
  file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  CloseHandle(file);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR ignored, int show) {
  const char* commandLine = GetCommandLineA();
  char self[MAX_PATH] = {0};
  char directory[MAX_PATH] = {0};
  static WCHAR wideRecord[MAX_PATH];
  static WCHAR wideSelf[MAX_PATH];
  static WCHAR wideDirectory[MAX_PATH];
  static WCHAR pattern[MAX_PATH + 4];
  static char listing[8192];
  static WCHAR copyName[MAX_PATH * 2];
  WIN32_FIND_DATAW found;
  HANDLE search;
  (void)instance;
  (void)previous;
  (void)ignored;
  (void)show;

  if (GetEnvironmentVariableA("MIRELK_RECORD", record, sizeof record) == 0 ||
      GetEnvironmentVariableW(L"MIRELK_RECORD", wideRecord, MAX_PATH) == 0) {
    return 2;
  }
  if (strstr(commandLine, "--wait") != NULL) {
    /* Until the test releases it, then says so. */
    WaitForRecord("release");
    WriteRecord("lingered", "", 0);
    return 0;
  }
  GetModuleFileNameA(NULL, self, sizeof self - 1);
  GetModuleFileNameW(NULL, wideSelf, MAX_PATH - 1);
  WriteRecord("cmdline", commandLine, (DWORD)strlen(commandLine));
  WriteWideRecord("cmdline.utf8", GetCommandLineW());
  GetCurrentDirectoryA(sizeof directory, directory);
  WriteRecord("cwd", directory, (DWORD)strlen(directory));
  GetCurrentDirectoryW(MAX_PATH, wideDirectory);
  WriteWideRecord("cwd.utf8", wideDirectory);

  lstrcpyW(pattern, wideSelf);
  lstrcpyW(wcsrchr(pattern, L'\\') + 1, L"*");
  wsprintfW(copyName, L"%s\\files.d", wideRecord);
  CreateDirectoryW(copyName, NULL);
  search = FindFirstFileW(pattern, &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        WCHAR source[MAX_PATH * 2];
        char name[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, NULL, NULL);
        lstrcatA(listing, name);
        lstrcatA(listing, "\n");
        lstrcpyW(source, wideSelf);
        lstrcpyW(wcsrchr(source, L'\\') + 1, found.cFileName);
        wsprintfW(copyName, L"%s\\files.d\\%s", wideRecord, found.cFileName);
        CopyFileW(source, copyName, FALSE);
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  WriteRecord("files", listing, (DWORD)strlen(listing));

  if (strstr(commandLine, "--deep-tree") != NULL) {
    DeepTree();
  }
  if (strstr(commandLine, "--linger") != NULL) {
    Linger(self);
  }
  if (strstr(commandLine, "--pause") != NULL) {
    WriteRecord("paused", "", 0);
    WaitForRecord("resume");
  }
  return 0;
}

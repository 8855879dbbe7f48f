/* A test installer: records, in the directory named by MIRELK_RECORD, its
   command line (cmdline), its working directory (cwd), the files beside it
   (files, one "name size" line each) and a copy of each of them (files.d).
   Started with "--linger" anywhere in its command line, it first starts a
   copy of itself that waits until the test makes the file "release" in that
   directory, and then it ends at once; with
   "--deep-tree", it leaves beside itself a tree of 30 levels whose paths run
   past 1,200 characters, as package managers do. */
#include <windows.h>
#include <string.h>

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
  char pattern[MAX_PATH + 4];
  char listing[8192] = {0};
  char copyName[MAX_PATH * 2];
  WIN32_FIND_DATAA found;
  HANDLE search;
  char* slash;
  (void)instance;
  (void)previous;
  (void)ignored;
  (void)show;

  if (GetEnvironmentVariableA("MIRELK_RECORD", record, sizeof record) == 0) {
    return 2;
  }
  if (strstr(commandLine, "--wait") != NULL) {
    /* Until the test releases it (at most two minutes), then says so. */
    char release[MAX_PATH * 2];
    int waited;
    wsprintfA(release, "%s\\release", record);
    for (waited = 0; waited < 120000 && GetFileAttributesA(release) == INVALID_FILE_ATTRIBUTES;
         waited += 50) {
      Sleep(50);
    }
    WriteRecord("lingered", "", 0);
    return 0;
  }
  GetModuleFileNameA(NULL, self, sizeof self - 1);
  WriteRecord("cmdline", commandLine, (DWORD)strlen(commandLine));
  GetCurrentDirectoryA(sizeof directory, directory);
  WriteRecord("cwd", directory, (DWORD)strlen(directory));

  strcpy(pattern, self);
  slash = strrchr(pattern, '\\');
  strcpy(slash + 1, "*");
  wsprintfA(copyName, "%s\\files.d", record);
  CreateDirectoryA(copyName, NULL);
  search = FindFirstFileA(pattern, &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        char source[MAX_PATH * 2];
        lstrcatA(listing, found.cFileName);
        lstrcatA(listing, "\n");
        strcpy(source, self);
        strcpy(strrchr(source, '\\') + 1, found.cFileName);
        wsprintfA(copyName, "%s\\files.d\\%s", record, found.cFileName);
        CopyFileA(source, copyName, FALSE);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  WriteRecord("files", listing, (DWORD)strlen(listing));

  if (strstr(commandLine, "--deep-tree") != NULL) {
    DeepTree();
  }
  if (strstr(commandLine, "--linger") != NULL) {
    Linger(self);
  }
  return 0;
}

/* Another process of the launcher's user, trying to take its workspace from
   it while the launcher works with it: until the installer has recorded its
   command line ("cmdline" in RECORD-DIR), or the file "stop" appears there
   (at most five minutes), it
   renames every name beginning with "mrl" in TEMP-DIR (the package copy, the
   bundle, the extraction directory) to the same name with "-taken" after it,
   and writes each name it took, one a line, to "taken" in RECORD-DIR. It
   makes "watching" there once it has looked for the first time.
   Usage: swap-names TEMP-DIR RECORD-DIR */
#include <windows.h>

static WCHAR record[MAX_PATH];

static void Note(const WCHAR* name, const char* text, DWORD size) {
  WCHAR path[2 * MAX_PATH];
  HANDLE file;
  DWORD written;
  wsprintfW(path, L"%s\\%s", record, name);
  file = CreateFileW(path, FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    WriteFile(file, text, size, &written, NULL);
    CloseHandle(file);
  }
}

int wmain(int argc, WCHAR** argv) {
  WCHAR pattern[MAX_PATH + 8];
  WCHAR stop[2 * MAX_PATH];
  WCHAR started[2 * MAX_PATH];
  DWORD began = GetTickCount();
  int looked = 0;
  if (argc != 3) {
    return 2;
  }
  lstrcpynW(record, argv[2], MAX_PATH);
  wsprintfW(pattern, L"%s\\mrl*", argv[1]);
  wsprintfW(stop, L"%s\\stop", record);
  wsprintfW(started, L"%s\\cmdline", record);
  while (GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES &&
         GetFileAttributesW(started) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount() - began < 300000) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        WCHAR from[2 * MAX_PATH];
        WCHAR to[2 * MAX_PATH];
        char line[3 * MAX_PATH];
        int length;
        length = lstrlenW(found.cFileName);
        if (length >= 6 && lstrcmpW(found.cFileName + length - 6, L"-taken") == 0) {
          continue;
        }
        wsprintfW(from, L"%s\\%s", argv[1], found.cFileName);
        wsprintfW(to, L"%s-taken", from);
        if (MoveFileW(from, to)) {
          length = WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, line, sizeof line - 1, NULL,
                                       NULL);
          if (length > 0) {
            line[length - 1] = '\n';
            Note(L"taken", line, (DWORD)length);
          }
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    if (!looked) {
      looked = 1;
      Note(L"watching", "", 0);
    }
  }
  return 0;
}

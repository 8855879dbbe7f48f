/* A DLL planted beside a setup under a system DLL's name. Whenever a process
   loads it, it makes the file "planted NAME in PROGRAM" in the directory
   named by MIRELK_RECORD, and does nothing else: it imports kernel32 alone
   and carries no C runtime, so that it loads under any name, msvcrt.dll's
   included. */
#include <windows.h>

static const WCHAR* BaseName(const WCHAR* path) {
  const WCHAR* base = path;
  for (; *path != L'\0'; ++path) {
    if (*path == L'\\' || *path == L'/') {
      base = path + 1;
    }
  }
  return base;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  static WCHAR library[MAX_PATH];
  static WCHAR program[MAX_PATH];
  static WCHAR marker[4 * MAX_PATH];
  DWORD length;
  HANDLE file;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) {
    return TRUE;
  }
  length = GetEnvironmentVariableW(L"MIRELK_RECORD", marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || GetModuleFileNameW(self, library, MAX_PATH) == 0 ||
      GetModuleFileNameW(NULL, program, MAX_PATH) == 0) {
    return TRUE;
  }
  lstrcatW(marker, L"\\planted ");
  lstrcatW(marker, BaseName(library));
  lstrcatW(marker, L" in ");
  lstrcatW(marker, BaseName(program));
  file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  return TRUE;
}

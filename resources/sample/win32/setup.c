/* The Windows sample installer: it installs nothing, it shows what it was
   given. The report goes to its console, and also to the file named by
   MIRELK_SAMPLE_REPORT when that is set (a program started from a GUI
   launcher has no console to show it in). */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static char report[16384];

static void Add(const char* text) {
  strncat(report, text, sizeof report - strlen(report) - 1);
}

int main(void) {
  char self[MAX_PATH] = {0};
  char directory[MAX_PATH] = {0};
  char pattern[MAX_PATH + 4] = {0};
  char line[MAX_PATH + 64];
  char reportPath[MAX_PATH] = {0};
  WIN32_FIND_DATAA found;
  HANDLE search;
  char* slash;

  GetModuleFileNameA(NULL, self, sizeof self - 1);
  GetCurrentDirectoryA(sizeof directory, directory);
  Add("Mirelk sample installer\n");
  _snprintf(line, sizeof line - 1, "  started as:        %s\n", self);
  Add(line);
  Add("  command line:      ");
  Add(GetCommandLineA());
  Add("\n");
  _snprintf(line, sizeof line - 1, "  working directory: %s\n", directory);
  Add(line);
  Add("  files beside me:\n");

  strcpy(pattern, self);
  slash = strrchr(pattern, '\\');
  if (slash != NULL) {
    strcpy(slash + 1, "*");
    search = FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          memset(line, 0, sizeof line);
          _snprintf(line, sizeof line - 1, "    %-14s %8lu bytes\n", found.cFileName,
                    (unsigned long)found.nFileSizeLow);
          Add(line);
        }
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
  }

  fputs(report, stdout);
  fflush(stdout);
  if (GetEnvironmentVariableA("MIRELK_SAMPLE_REPORT", reportPath, sizeof reportPath) > 0) {
    FILE* out = fopen(reportPath, "wb");
    if (out != NULL) {
      fputs(report, out);
      fclose(out);
    }
  }
  return 0;
}

/* A test program that looks up its own resources the way the launcher does:
   FindResourceA on the program's own image, no language named. For each
   argument pair TYPE NAME it prints "TYPE NAME SIZE HASH" (FNV-1a, 32 bits, of
   the resource's bytes) or "TYPE NAME missing". "#N" stands for the number N;
   anything else is a name. Exit status: the count of missing resources. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static const char* Key(const char* text) {
  return text[0] == '#' ? MAKEINTRESOURCEA(atoi(text + 1)) : text;
}

int main(int argc, char** argv) {
  int missing = 0;
  int i;
  for (i = 1; i + 1 < argc; i += 2) {
    HRSRC found = FindResourceA(NULL, Key(argv[i + 1]), Key(argv[i]));
    HGLOBAL loaded = found != NULL ? LoadResource(NULL, found) : NULL;
    const unsigned char* data = loaded != NULL ? (const unsigned char*)LockResource(loaded) : NULL;
    DWORD size = found != NULL ? SizeofResource(NULL, found) : 0;
    unsigned long hash = 2166136261UL;
    DWORD k;
    if (data == NULL) {
      printf("%s %s missing\n", argv[i], argv[i + 1]);
      ++missing;
      continue;
    }
    for (k = 0; k < size; ++k) {
      hash = ((hash ^ data[k]) * 16777619UL) & 0xFFFFFFFFUL;
    }
    printf("%s %s %lu %08lx\n", argv[i], argv[i + 1], (unsigned long)size, hash);
  }
  fflush(stdout);
  return missing;
}

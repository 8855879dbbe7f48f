// How the launcher's own arguments are taken from the command line.
#include "launcher/launcher.h"

const char* TakeArgumentTail(const char* commandLine, bool (*isLeadByte)(unsigned char)) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);

  if (*p == '"') {
    // A quoted program name runs to the next quote; a double-byte character's
    // second byte is never taken for that quote.
    ++p;
    while (*p != '\0' && *p != '"') {
      if (isLeadByte(*p) && p[1] != '\0') {
        ++p;
      }
      ++p;
    }
    if (*p == '"') {
      ++p;
    }
  } else {
    // Compared as unsigned so that bytes 0x80..0xFF belong to the name.
    while (*p > ' ') {
      ++p;
    }
  }

  while (*p != '\0' && *p <= ' ') {
    ++p;
  }
  return reinterpret_cast<const char*>(p);
}

bool IsTailEmpty(const ArgumentTail& tail) {
  if (tail.text != nullptr) {
    return tail.text[0] == '\0';
  }
  return tail.count == 0;
}

// How the launcher's own arguments are taken from the command line.
#include "launcher/launcher.h"

// On UTF-16 units: no unit of a character beyond the Basic Multilingual Plane
// (0xD800..0xDFFF) is a quote or a blank, so the tail is taken character-true.
const char16_t* TakeArgumentTail(const char16_t* commandLine) {
  const char16_t* p = commandLine;

  if (*p == u'"') {
    // A quoted program name runs to the next quote.
    ++p;
    while (*p != u'\0' && *p != u'"') {
      ++p;
    }
    if (*p == u'"') {
      ++p;
    }
  } else {
    // Everything above a blank belongs to the name, 0x80 and up included.
    while (*p > u' ') {
      ++p;
    }
  }

  while (*p != u'\0' && *p <= u' ') {
    ++p;
  }
  return p;
}

bool IsTailEmpty(const ArgumentTail& tail) {
  if (tail.text != nullptr) {
    return tail.text[0] == u'\0';
  }
  return tail.count == 0;
}

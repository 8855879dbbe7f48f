// Composing and cutting the paths the stages work with.
#include <cstring>

#include "launcher/launcher.h"

bool JoinPath(const char* directory, const char* name, char* out, std::size_t capacity) {
  const std::size_t directoryLength = std::strlen(directory);
  const std::size_t nameLength = std::strlen(name);
  const bool hasSeparator = directoryLength > 0 && directory[directoryLength - 1] == kPathSeparator;
  const std::size_t separatorLength = hasSeparator ? 0 : 1;
  if (directoryLength + separatorLength + nameLength >= capacity) {
    return false;
  }
  std::memset(out, 0, capacity);
  std::memcpy(out, directory, directoryLength);
  out[directoryLength] = kPathSeparator;
  std::memcpy(out + directoryLength + separatorLength, name, nameLength);
  return true;
}

void CutToParentDirectory(char path[kPathCapacity]) {
  for (std::size_t i = std::strlen(path); i >= 1; --i) {
    const char byte = path[i];
    path[i] = '\0';
    if (byte == kPathSeparator) {
      return;
    }
  }
}

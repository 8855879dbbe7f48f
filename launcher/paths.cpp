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

bool LiesInside(const char* path, const char* directory) {
  const std::size_t length = std::strlen(directory);
  if (length == 0 || std::strncmp(path, directory, length) != 0 || path[length] != kPathSeparator) {
    return false;
  }
  const char* component = path + length + 1;
  while (true) {
    const char* end = std::strchr(component, kPathSeparator);
    const std::size_t size =
        end != nullptr ? static_cast<std::size_t>(end - component) : std::strlen(component);
    if (size == 0 || (size == 1 && component[0] == '.') ||
        (size == 2 && component[0] == '.' && component[1] == '.')) {
      return false;
    }
    if (end == nullptr) {
      return true;
    }
    component = end + 1;
  }
}

// The tree bundle's folders on Windows. Each level is created, then opened
// without delete sharing and checked to be a plain directory before anything
// is made in it; the caller holds every level above it open too, so none can
// be renamed, moved or replaced by a junction while entries are written.
// Names arrive as UTF-8 and go to the wide calls, whatever the code page.
#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/plain_directory.h"

struct EntryDirectory {
  HANDLE handle;
  std::size_t length;  // of the path, in characters
  wchar_t path[1];     // zero-terminated, allocated to fit
};

namespace {

// The longest path the wide functions take, in characters, with its zero.
constexpr std::size_t kWidePathCapacity = 32768;

// `directory`'s path, "\" and `name` in a new buffer; null when the name is
// not valid UTF-8 or the path would be too long.
wchar_t* ChildPath(const EntryDirectory* directory, const char* name) {
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  const std::size_t length = directory->length + 1 + static_cast<std::size_t>(units);
  if (units <= 1 || length > kWidePathCapacity) {
    return nullptr;
  }
  wchar_t* path = static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t)));
  if (path == nullptr) {
    return nullptr;
  }
  std::memcpy(path, directory->path, directory->length * sizeof(wchar_t));
  path[directory->length] = L'\\';
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, path + directory->length + 1, units);
  return path;
}

// Holds the plain directory at `path` (`length` characters).
EntryDirectory* Hold(const wchar_t* path, std::size_t length) {
  EntryDirectory* directory =
      static_cast<EntryDirectory*>(std::malloc(sizeof(EntryDirectory) + length * sizeof(wchar_t)));
  if (directory == nullptr) {
    return nullptr;
  }
  directory->handle = OpenPlainDirectory(path);
  if (directory->handle == INVALID_HANDLE_VALUE) {
    std::free(directory);
    return nullptr;
  }
  directory->length = length;
  std::memcpy(directory->path, path, (length + 1) * sizeof(wchar_t));
  return directory;
}

EntryDirectory* Win32OpenEntryDirectory(const char* directory) {
  wchar_t* path = static_cast<wchar_t*>(std::malloc(kWidePathCapacity * sizeof(wchar_t)));
  const std::size_t length =
      path != nullptr ? WidenDirectory(directory, path, kWidePathCapacity) : 0;
  EntryDirectory* held = length > 0 ? Hold(path, length) : nullptr;
  std::free(path);
  return held;
}

EntryDirectory* Win32MakeEntryDirectory(EntryDirectory* parent, const char* name) {
  wchar_t* path = ChildPath(parent, name);
  if (path == nullptr) {
    return nullptr;
  }
  EntryDirectory* held = nullptr;
  if (CreateDirectoryW(path, nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS) {
    held = Hold(path, std::wcslen(path));
  }
  std::free(path);
  return held;
}

std::FILE* Win32CreateEntryFile(EntryDirectory* directory, const char* name, bool) {
  wchar_t* path = ChildPath(directory, name);
  if (path == nullptr) {
    return nullptr;
  }
  // CREATE_NEW fails where anything of the name is, a junction or link too.
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::free(path);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "w+b");
  if (stream == nullptr) {
    _close(fd);
  }
  return stream;
}

bool Win32DeleteEntryFile(EntryDirectory* directory, const char* name) {
  wchar_t* path = ChildPath(directory, name);
  const bool deleted = path != nullptr && DeleteFileW(path) != 0;
  std::free(path);
  return deleted;
}

void Win32CloseEntryDirectory(EntryDirectory* directory) {
  CloseHandle(directory->handle);
  std::free(directory);
}

}  // namespace

constinit const EntryDirectoryOps kSystemEntryDirectories = {
    Win32OpenEntryDirectory, Win32MakeEntryDirectory, Win32CreateEntryFile, Win32DeleteEntryFile,
    Win32CloseEntryDirectory};

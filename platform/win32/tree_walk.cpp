// Removal's walk through a tree on Windows. Every directory from the top of
// the tree down to the one the walk stands in is held open without delete
// sharing, so that none of them can be renamed, moved or replaced while the
// walk works below it, and each is checked through its handle to be a plain
// directory, not a junction, mount point or other reparse point. Paths are
// wide and begin with \\?\, so a tree as deep as the system allows (32,767
// characters) goes, whatever the installer left and whatever the code page;
// the directory and names pass through the seam as UTF-8.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/directory_listing.h"
#include "platform/win32/plain_directory.h"

namespace {

// The longest path the wide functions take, in characters, with its zero.
constexpr std::size_t kWidePathCapacity = 32768;

struct HeldDirectory {
  HANDLE handle;
  std::size_t pathLength;  // the walk's path while it stands there
};

}  // namespace

struct TreeWalk {
  wchar_t* path;  // where the walk stands
  std::size_t length;
  HeldDirectory* held;  // the top first
  std::size_t depth;
  std::size_t capacity;
};

namespace {

// Appends "\" and a UTF-8 name to the walk's path; false, with the path as it
// was, when it does not fit.
bool AppendName(TreeWalk* walk, const char* name) {
  const std::size_t at = walk->length + 1;
  const int written = at < kWidePathCapacity
                          ? MultiByteToWideChar(CP_UTF8, 0, name, -1, walk->path + at,
                                                static_cast<int>(kWidePathCapacity - at))
                          : 0;
  if (written <= 1) {
    walk->path[walk->length] = L'\0';
    return false;
  }
  walk->path[walk->length] = L'\\';
  walk->length = at + static_cast<std::size_t>(written) - 1;
  return true;
}

void CutTo(TreeWalk* walk, std::size_t length) {
  walk->length = length;
  walk->path[length] = L'\0';
}

// Opens the directory at the walk's path and holds it there. Without delete
// sharing, nobody can rename or remove it while it is held.
bool Hold(TreeWalk* walk) {
  void* held = walk->held;
  const bool reserved = ReserveRoom(&held, &walk->capacity, walk->depth + 1, sizeof(HeldDirectory));
  walk->held = static_cast<HeldDirectory*>(held);
  if (!reserved) {
    return false;
  }
  HANDLE handle = OpenPlainDirectory(walk->path);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  walk->held[walk->depth++] = HeldDirectory{handle, walk->length};
  return true;
}

// Runs `operation` on the entry `name` where the walk stands.
bool OnEntry(TreeWalk* walk, const char* name, BOOL(WINAPI* operation)(LPCWSTR)) {
  const std::size_t length = walk->length;
  const bool done = AppendName(walk, name) && operation(walk->path) != 0;
  CutTo(walk, length);
  return done;
}

}  // namespace

HANDLE OpenPlainDirectory(const wchar_t* path) {
  HANDLE handle =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return handle;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY) {
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

std::size_t WidenDirectory(const char* directory, wchar_t* out, std::size_t capacity) {
  // A drive path (C:\...) or a share (\\server\share\...) gets the prefix
  // that lifts the 260-character limit; any other stays as it is.
  const wchar_t* prefix = L"";
  if (directory[0] != '\0' && directory[1] == ':' && directory[2] == '\\') {
    prefix = L"\\\\?\\";
  } else if (directory[0] == '\\' && directory[1] == '\\' && directory[2] != '?') {
    prefix = L"\\\\?\\UNC";
    ++directory;
  }
  const std::size_t prefixLength = std::wcslen(prefix);
  const int written =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, directory, -1, out + prefixLength,
                          static_cast<int>(capacity - prefixLength));
  if (written <= 1) {
    return 0;
  }
  std::memcpy(out, prefix, prefixLength * sizeof(wchar_t));
  return prefixLength + static_cast<std::size_t>(written) - 1;
}

namespace {

void Win32EndTreeWalk(TreeWalk* walk) {
  while (walk->depth > 0) {
    CloseHandle(walk->held[--walk->depth].handle);
  }
  std::free(walk->held);
  std::free(walk->path);
  std::free(walk);
}

TreeWalk* Win32StartTreeWalk(const char* directory) {
  TreeWalk* walk = static_cast<TreeWalk*>(std::calloc(1, sizeof(TreeWalk)));
  if (walk == nullptr) {
    return nullptr;
  }
  walk->path = static_cast<wchar_t*>(std::malloc(kWidePathCapacity * sizeof(wchar_t)));
  walk->length =
      walk->path != nullptr ? WidenDirectory(directory, walk->path, kWidePathCapacity) : 0;
  if (walk->length == 0) {
    Win32EndTreeWalk(walk);
    return nullptr;
  }
  if (!Hold(walk)) {
    Win32EndTreeWalk(walk);
    return nullptr;
  }
  return walk;
}

void Win32ListWalkDirectory(TreeWalk* walk, DirectoryListing* out) {
  *out = DirectoryListing{};
  const std::size_t length = walk->length;
  if (length + 2 >= kWidePathCapacity) {
    return;
  }
  std::memcpy(walk->path + length, L"\\*", 3 * sizeof(wchar_t));
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(walk->path, &found);
  CutTo(walk, length);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    // UTF-8 takes at most three bytes for each UTF-16 unit.
    char name[3 * MAX_PATH + 1];
    if (WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr, nullptr) <=
        0) {
      continue;
    }
    const DWORD attributes = found.dwFileAttributes;
    EntryKind kind = kEntryFile;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      // A junction, mount point or directory link: removing it removes the
      // link alone, never what it leads to.
      kind =
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? kEntryDirectoryLink : kEntryDirectory;
    }
    if (!AppendListedEntry(out, name, kind, FileIdentity{})) {
      break;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// What is there now is checked through the handle, which then holds it.
bool Win32EnterWalkDirectory(TreeWalk* walk, const char* name, const FileIdentity*) {
  const std::size_t length = walk->length;
  if (AppendName(walk, name) && Hold(walk)) {
    return true;
  }
  CutTo(walk, length);
  return false;
}

// Every directory above is held, so the one above is still the one it was.
bool Win32LeaveWalkDirectory(TreeWalk* walk) {
  if (walk->depth < 2) {
    return false;
  }
  CloseHandle(walk->held[--walk->depth].handle);
  CutTo(walk, walk->held[walk->depth - 1].pathLength);
  return true;
}

bool Win32DeleteWalkEntry(TreeWalk* walk, const char* name) {
  return OnEntry(walk, name, DeleteFileW);
}

bool Win32RemoveWalkDirectory(TreeWalk* walk, const char* name) {
  return OnEntry(walk, name, RemoveDirectoryW);
}

}  // namespace

constinit const TreeWalkOps kSystemTreeWalk = {Win32StartTreeWalk,      Win32ListWalkDirectory,
                                               Win32EnterWalkDirectory, Win32LeaveWalkDirectory,
                                               Win32DeleteWalkEntry,    Win32RemoveWalkDirectory,
                                               Win32EndTreeWalk};

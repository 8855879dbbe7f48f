// Removal's walk through a tree on Windows. It starts from the extraction
// directory the workspace holds (platform/win32/workspace.cpp), and every
// directory from there down to the one the walk stands in is held open
// without delete sharing, so that no other Windows process can rename or
// replace any of them while the walk works below it. Entries are listed from
// the handle, and opened and deleted relative to it (handles.cpp), so that
// not even a Unix process moving a directory under Wine steers the walk out
// of the tree:
// - a directory is entered only when its listing, its attributes by name and
//   the handle opened on it all say it is a plain directory (no junction,
//   mount point or other reparse point) and the handle is named as that
//   entry;
// - a file or a link is deleted through a handle opened on it, only where
//   that handle is named as the entry, so that a link goes as a link and
//   never what it leads to. Where the system cannot open a link itself (Wine
//   and a Unix symbolic link), the link stays, and so does the tree above it.
// The walk's path serves the attributes by name alone: it is wide and begins
// with \\?\, so a tree as deep as the system allows (32,767 characters) goes;
// names pass through the seam as UTF-8.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/directory_listing.h"
#include "platform/platform.h"
#include "platform/win32/handles.h"
#include "platform/win32/workspace.h"

namespace {

struct WalkLevel {
  HANDLE handle;
  std::size_t pathUnits;  // the walk's path while it stands there
  std::size_t nameUnits;  // and its name
};

// How much of a directory's listing is asked for at once.
constexpr ULONG kListingBytes = 64 * 1024;

}  // namespace

struct TreeWalk {
  wchar_t* path;  // where the walk stands, for the attributes by name
  std::size_t pathUnits;
  wchar_t* name;  // the same place as the file system names it
  std::size_t nameUnits;
  WalkLevel* levels;  // the top first, which is the workspace's own handle
  std::size_t depth;
  std::size_t capacity;
};

namespace {

// Appends "\" and `name` to `text` (`*units` long, kWidePathCapacity room);
// false, with the text as it was, when it does not fit.
bool Append(wchar_t* text, std::size_t* units, const wchar_t* name) {
  const std::size_t length = std::wcslen(name);
  if (*units + 1 + length >= kWidePathCapacity) {
    return false;
  }
  text[*units] = L'\\';
  std::memcpy(text + *units + 1, name, (length + 1) * sizeof(wchar_t));
  *units += 1 + length;
  return true;
}

void CutTo(TreeWalk* walk, std::size_t pathUnits, std::size_t nameUnits) {
  walk->pathUnits = pathUnits;
  walk->path[pathUnits] = L'\0';
  walk->nameUnits = nameUnits;
  walk->name[nameUnits] = L'\0';
}

const WalkLevel& Here(const TreeWalk* walk) {
  return walk->levels[walk->depth - 1];
}

void Win32EndTreeWalk(TreeWalk* walk) {
  // The top is the workspace's, and stays open.
  while (walk->depth > 1) {
    CloseHandle(walk->levels[--walk->depth].handle);
  }
  std::free(walk->levels);
  std::free(walk->name);
  std::free(walk->path);
  std::free(walk);
}

TreeWalk* Win32StartTreeWalk(const char* directory) {
  HANDLE top = INVALID_HANDLE_VALUE;
  const wchar_t* name = nullptr;
  std::size_t nameUnits = 0;
  TreeWalk* walk = static_cast<TreeWalk*>(std::calloc(1, sizeof(TreeWalk)));
  if (walk == nullptr) {
    return nullptr;
  }
  void* levels = nullptr;
  walk->path = static_cast<wchar_t*>(std::malloc(kWidePathCapacity * sizeof(wchar_t)));
  walk->name = static_cast<wchar_t*>(std::malloc(kWidePathCapacity * sizeof(wchar_t)));
  if (walk->path == nullptr || walk->name == nullptr ||
      (walk->pathUnits = WidenDirectory(directory, walk->path, kWidePathCapacity)) == 0 ||
      !HeldDirectory(directory, &top, &name, &nameUnits) ||
      !ReserveRoom(&levels, &walk->capacity, 1, sizeof(WalkLevel))) {
    std::free(levels);
    Win32EndTreeWalk(walk);
    return nullptr;
  }
  std::memcpy(walk->name, name, (nameUnits + 1) * sizeof(wchar_t));
  walk->nameUnits = nameUnits;
  walk->levels = static_cast<WalkLevel*>(levels);
  walk->levels[0] = WalkLevel{top, walk->pathUnits, nameUnits};
  walk->depth = 1;
  return walk;
}

void Win32ListWalkDirectory(TreeWalk* walk, DirectoryListing* out) {
  *out = DirectoryListing{};
  std::uint8_t* buffer = static_cast<std::uint8_t*>(std::malloc(kListingBytes));
  IO_STATUS_BLOCK status;
  for (BOOLEAN restart = TRUE;
       buffer != nullptr && NT_SUCCESS(NtQueryDirectoryFile(
                                Here(walk).handle, nullptr, nullptr, nullptr, &status, buffer,
                                kListingBytes, FileDirectoryInformation, FALSE, nullptr, restart));
       restart = FALSE) {
    for (const std::uint8_t* at = buffer;;) {
      const FILE_DIRECTORY_INFORMATION* found =
          reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(at);
      // UTF-8 takes at most three bytes for each UTF-16 unit.
      char name[3 * MAX_PATH + 1];
      const int length = WideCharToMultiByte(
          CP_UTF8, 0, found->FileName, static_cast<int>(found->FileNameLength / sizeof(wchar_t)),
          name, sizeof name - 1, nullptr, nullptr);
      const ULONG attributes = found->FileAttributes;
      EntryKind kind = kEntryFile;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // A junction, mount point or directory link: removing it removes the
        // link alone, never what it leads to.
        kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? kEntryDirectoryLink
                                                                : kEntryDirectory;
      }
      if (length > 0) {
        name[length] = '\0';
        if (!AppendListedEntry(out, name, kind, FileIdentity{})) {
          std::free(buffer);
          return;
        }
      }
      if (found->NextEntryOffset == 0) {
        break;
      }
      at += found->NextEntryOffset;
    }
  }
  std::free(buffer);
}

bool Win32EnterWalkDirectory(TreeWalk* walk, const char* name, const FileIdentity*) {
  wchar_t wide[kWideComponentCapacity];
  void* levels = walk->levels;
  const bool room = ReserveRoom(&levels, &walk->capacity, walk->depth + 1, sizeof(WalkLevel));
  walk->levels = static_cast<WalkLevel*>(levels);
  const WalkLevel here = Here(walk);
  HANDLE handle = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION information;
  DWORD byName = INVALID_FILE_ATTRIBUTES;
  // The listing said a plain directory; so must the attributes by name, the
  // handle and the handle's name.
  const bool entered =
      room && WidenName(name, wide) && Append(walk->path, &walk->pathUnits, wide) &&
      (byName = GetFileAttributesW(walk->path)) != INVALID_FILE_ATTRIBUTES &&
      (byName & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
          FILE_ATTRIBUTE_DIRECTORY &&
      NT_SUCCESS(OpenBelow(
          here.handle, wide, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, &handle)) &&
      IsPlain(handle, true, &information) && LiesBelow(handle, walk->name, walk->nameUnits, wide) &&
      Append(walk->name, &walk->nameUnits, wide);
  if (!entered) {
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
    CutTo(walk, here.pathUnits, here.nameUnits);
    return false;
  }
  walk->levels[walk->depth++] = WalkLevel{handle, walk->pathUnits, walk->nameUnits};
  return true;
}

// Every directory above is held, so the one above is still the one it was.
bool Win32LeaveWalkDirectory(TreeWalk* walk) {
  if (walk->depth < 2) {
    return false;
  }
  CloseHandle(walk->levels[--walk->depth].handle);
  CutTo(walk, Here(walk).pathUnits, Here(walk).nameUnits);
  return true;
}

bool Win32DeleteWalkEntry(TreeWalk* walk, const char* name) {
  wchar_t wide[kWideComponentCapacity];
  return WidenName(name, wide) && DeleteBelow(Here(walk).handle, walk->name, walk->nameUnits, wide);
}

// An empty directory and a link are deleted alike, through a handle on them.
bool Win32RemoveWalkDirectory(TreeWalk* walk, const char* name) {
  return Win32DeleteWalkEntry(walk, name);
}

}  // namespace

constinit const TreeWalkOps kSystemTreeWalk = {Win32StartTreeWalk,      Win32ListWalkDirectory,
                                               Win32EnterWalkDirectory, Win32LeaveWalkDirectory,
                                               Win32DeleteWalkEntry,    Win32RemoveWalkDirectory,
                                               Win32EndTreeWalk};

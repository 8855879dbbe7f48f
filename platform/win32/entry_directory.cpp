// The extraction directory and the tree bundle's folders on Windows. The
// extraction directory is the workspace's, held open since it was made
// (platform/win32/workspace.cpp); every folder and file is made relative to
// the handle of the directory it goes in (handles.cpp), and the caller holds
// every level above open too, without delete sharing, so that none can be
// renamed, moved or replaced by a link while entries are written. A folder
// or file is taken only when its handle shows a plain one (no reparse point;
// a file with a single name) named as that entry of its directory: under
// Wine, where a Unix process can still move a directory and a link is
// followed whatever the flags, that name tells what the handle reached.
// Names arrive as UTF-8 and go to the wide calls, whatever the code page.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/handles.h"
#include "platform/win32/workspace.h"

struct EntryDirectory {
  HANDLE handle;
  std::size_t nameUnits;
  wchar_t name[1];  // as the file system names it, zero-terminated, allocated to fit
};

namespace {

// Holds `handle`, named `parentName`, then "\" and `name` when there is one;
// null (and the handle closed) when memory runs out.
EntryDirectory* Hold(HANDLE handle, const wchar_t* parentName, std::size_t parentUnits,
                     const wchar_t* name) {
  const std::size_t nameUnits = name != nullptr ? 1 + std::wcslen(name) : 0;
  EntryDirectory* directory = static_cast<EntryDirectory*>(
      std::malloc(sizeof(EntryDirectory) + (parentUnits + nameUnits) * sizeof(wchar_t)));
  if (directory == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  directory->handle = handle;
  directory->nameUnits = parentUnits + nameUnits;
  std::memcpy(directory->name, parentName, parentUnits * sizeof(wchar_t));
  if (name != nullptr) {
    directory->name[parentUnits] = L'\\';
    std::memcpy(directory->name + parentUnits + 1, name, (nameUnits - 1) * sizeof(wchar_t));
  }
  directory->name[directory->nameUnits] = L'\0';
  return directory;
}

// The file `name` in `directory`, created new; or, with `replace`, the plain
// file already there, emptied.
std::FILE* OpenEntryFile(EntryDirectory* directory, const char* name, bool replace) {
  wchar_t wide[kWideComponentCapacity];
  if (!WidenName(name, wide)) {
    return nullptr;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  NTSTATUS status =
      OpenBelow(directory->handle, wide, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE,
                FILE_NON_DIRECTORY_FILE, nullptr, &file);
  const bool existed = replace && status == kNameCollision;
  if (existed) {
    status = OpenBelow(directory->handle, wide, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                       FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, &file);
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!NT_SUCCESS(status)) {
    return nullptr;
  }
  // Emptied only once it is known to be the plain file of that name.
  if (!IsPlain(file, false, &information) ||
      !LiesBelow(file, directory->name, directory->nameUnits, wide) ||
      (existed && !SetEndOfFile(file))) {
    CloseHandle(file);
    return nullptr;
  }
  return StreamOf(file, "w+b");
}

EntryDirectory* Win32OpenEntryDirectory(const char* directory) {
  HANDLE held = INVALID_HANDLE_VALUE;
  const wchar_t* name = nullptr;
  std::size_t nameUnits = 0;
  HANDLE own = INVALID_HANDLE_VALUE;
  if (!HeldDirectory(directory, &held, &name, &nameUnits) ||
      !DuplicateHandle(GetCurrentProcess(), held, GetCurrentProcess(), &own, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return Hold(own, name, nameUnits, nullptr);
}

EntryDirectory* Win32MakeEntryDirectory(EntryDirectory* parent, const char* name) {
  wchar_t wide[kWideComponentCapacity];
  HANDLE handle = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION information;
  // Made, or taken where it is; what is there must be a plain directory.
  if (!WidenName(name, wide) ||
      !NT_SUCCESS(OpenBelow(parent->handle, wide,
                            FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE |
                                FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_DIRECTORY_FILE,
                            nullptr, &handle))) {
    return nullptr;
  }
  if (!IsPlain(handle, true, &information) ||
      !LiesBelow(handle, parent->name, parent->nameUnits, wide)) {
    CloseHandle(handle);
    return nullptr;
  }
  return Hold(handle, parent->name, parent->nameUnits, wide);
}

std::FILE* Win32CreateEntryFile(EntryDirectory* directory, const char* name, bool) {
  return OpenEntryFile(directory, name, false);
}

std::FILE* Win32ReplaceEntryFile(EntryDirectory* directory, const char* name) {
  return OpenEntryFile(directory, name, true);
}

bool Win32DeleteEntryFile(EntryDirectory* directory, const char* name) {
  wchar_t wide[kWideComponentCapacity];
  return WidenName(name, wide) &&
         DeleteBelow(directory->handle, directory->name, directory->nameUnits, wide);
}

void Win32CloseEntryDirectory(EntryDirectory* directory) {
  CloseHandle(directory->handle);
  std::free(directory);
}

}  // namespace

constinit const EntryDirectoryOps kSystemEntryDirectories = {
    Win32OpenEntryDirectory, Win32MakeEntryDirectory, Win32CreateEntryFile,
    Win32ReplaceEntryFile,   Win32DeleteEntryFile,    Win32CloseEntryDirectory};

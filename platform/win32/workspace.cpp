// The workspace on Windows: the temporary directory, and in it the package
// copy, the bundle and the extraction directory. Each is made new by CreateUniqueName, relative to
// the temporary directory and in one call with its opening (NtCreateFile, FILE_CREATE: never over
// anything already there, a link included), checked through its handle, and held open from then
// until it is deleted, without delete sharing: no other Windows process can rename it or put
// anything in its place. Every later operation on the path works on the handle held; each first
// opens the path afresh and checks that it still leads to the very file held, because under Wine a
// Unix process can move it all the same, and the stage that finds it moved fails. The extraction
// directory gets a protected DACL granting only the launcher's user, SYSTEM and Administrators,
// which everything made in it inherits.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/handles.h"
#include "platform/win32/workspace.h"

namespace {

// A name CreateUniqueName made and the workspace still holds.
struct HeldName {
  char path[kPathCapacity];  // as the launcher names it; empty when the slot is free
  HANDLE handle;
  BY_HANDLE_FILE_INFORMATION made;  // its volume and file index among it
  wchar_t* name;                    // as the file system named it when it was made
  std::size_t nameUnits;
};

// The package copy, the bundle and the extraction directory.
HeldName gHeld[3];

// The workspace prefix, as the wide calls take it.
static_assert(sizeof kWorkspacePrefix == 4, "a prefix of three characters");

using WidePath = wchar_t[kPathCapacity];

// A path from the system as UTF-8 in a zero-filled buffer; false when it does
// not fit (or is not UTF-16, which a path from the system always is).
bool Narrow(const wchar_t* path, char out[kPathCapacity]) {
  std::memset(out, 0, kPathCapacity);
  const int written = WideCharToMultiByte(CP_UTF8, 0, path, -1, out,
                                          static_cast<int>(kPathCapacity) - 1, nullptr, nullptr);
  return written > 0;
}

using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);

bool Win32GetTempDirectory(char out[kPathCapacity]) {
  // GetTempPath2W (Windows 10 and 11 with their 2022 updates) gives a process
  // running as SYSTEM the system's own protected directory rather than a
  // world-writable one; looked up at run time so that older systems start.
  const auto getTempPath2 = reinterpret_cast<GetTempPath2Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTempPath2W")));
  // The result is at most MAX_PATH + 1 units; a longer one is not placed in
  // the buffer, and the result then tells its size.
  wchar_t wide[MAX_PATH + 2];
  const DWORD length =
      getTempPath2 != nullptr ? getTempPath2(MAX_PATH + 2, wide) : GetTempPathW(MAX_PATH + 2, wide);
  return length != 0 && length < MAX_PATH + 2 && Narrow(wide, out);
}

HeldName* FreeSlot() {
  for (HeldName& held : gHeld) {
    if (held.path[0] == '\0') {
      return &held;
    }
  }
  return nullptr;
}

HeldName* Find(const char* path) {
  for (HeldName& held : gHeld) {
    if (held.path[0] != '\0' && std::strcmp(held.path, path) == 0) {
      return &held;
    }
  }
  return nullptr;
}

// Opens the path afresh, as the system takes it now; INVALID_HANDLE_VALUE
// unless it leads to the very file or directory held.
HANDLE OpenAgain(const HeldName* held, ACCESS_MASK access, DWORD share) {
  WidePath wide;
  HANDLE now =
      WidenDirectory(held->path, wide, kPathCapacity) == 0
          ? INVALID_HANDLE_VALUE
          : CreateFileW(wide, access, share, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION information;
  if (now != INVALID_HANDLE_VALUE &&
      !(GetFileInformationByHandle(now, &information) &&
        information.dwVolumeSerialNumber == held->made.dwVolumeSerialNumber &&
        information.nFileIndexHigh == held->made.nFileIndexHigh &&
        information.nFileIndexLow == held->made.nFileIndexLow)) {
    CloseHandle(now);
    now = INVALID_HANDLE_VALUE;
  }
  return now;
}

bool IsStillThere(const HeldName* held) {
  HANDLE now =
      OpenAgain(held, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (now == INVALID_HANDLE_VALUE) {
    return false;
  }
  CloseHandle(now);
  return true;
}

// The name held at `path` where the path still leads to it; null otherwise.
HeldName* Take(const char* path) {
  HeldName* held = Find(path);
  return held != nullptr && IsStillThere(held) ? held : nullptr;
}

void Release(HeldName* held) {
  if (held->handle != INVALID_HANDLE_VALUE) {
    CloseHandle(held->handle);
  }
  std::free(held->name);
  *held = HeldName{};
}

// The extraction directory's security: a protected DACL (nothing inherited
// from the temporary directory) granting the launcher's user, SYSTEM and
// Administrators everything, inherited by all made in it.
struct PrivateSecurity {
  SECURITY_DESCRIPTOR descriptor;
  DWORD acl[64];
};

BYTE gSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
BYTE gAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

// False when the user cannot be had; the directory then gets what the
// temporary directory passes on.
bool MakePrivateSecurity(PrivateSecurity* security) {
  union {
    TOKEN_USER user;
    DWORD room[64];
  } owner;
  HANDLE token = nullptr;
  ULONG returned = 0;
  if (!NT_SUCCESS(NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))) {
    return false;
  }
  const bool known =
      NT_SUCCESS(NtQueryInformationToken(token, TokenUser, &owner, sizeof owner, &returned));
  CloseHandle(token);
  ACL* acl = reinterpret_cast<ACL*>(security->acl);
  if (!known || !NT_SUCCESS(RtlCreateAcl(acl, sizeof security->acl, ACL_REVISION))) {
    return false;
  }
  const PSID sids[] = {owner.user.User.Sid, gSystem, gAdministrators};
  for (PSID sid : sids) {
    if (!NT_SUCCESS(RtlAddAccessAllowedAceEx(
            acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, sid))) {
      return false;
    }
  }
  security->descriptor = SECURITY_DESCRIPTOR{SECURITY_DESCRIPTOR_REVISION,
                                             0,
                                             SE_DACL_PRESENT | SE_DACL_PROTECTED,
                                             nullptr,
                                             nullptr,
                                             nullptr,
                                             acl};
  return true;
}

// Makes a new name of `kind` in `temporary` (named `temporaryName`) into
// `held`, with the name's 11 characters in `name`: "mrl", four hexadecimal
// digits and ".tmp", the form GetTempFileName gives.
bool MakeIn(HANDLE temporary, const wchar_t* temporaryName, std::size_t temporaryUnits,
            UniqueKind kind, HeldName* held, wchar_t name[12]) {
  const bool directory = kind == kUniqueDirectory;
  PrivateSecurity security;
  void* descriptor = directory && MakePrivateSecurity(&security) ? &security.descriptor : nullptr;
  const DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 4);
  HANDLE handle = INVALID_HANDLE_VALUE;
  NTSTATUS status = kNameCollision;
  for (DWORD attempt = 0; attempt < 0x10000 && status == kNameCollision; ++attempt) {
    const DWORD unique = (seed + attempt) & 0xFFFF;
    for (int i = 0; i < 3; ++i) {
      name[i] = static_cast<wchar_t>(kWorkspacePrefix[i]);
    }
    for (int i = 0; i < 4; ++i) {
      name[3 + i] = L"0123456789abcdef"[(unique >> (12 - 4 * i)) & 0xF];
    }
    std::memcpy(name + 7, L".tmp", 5 * sizeof(wchar_t));
    // The directory is held without the right to delete it: a process that
    // lists it without delete sharing (as Wine's FindFirstFile does) would
    // be refused. The files are the launcher's alone.
    status = directory ? OpenBelow(temporary, name,
                                   FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE |
                                       FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                                   FILE_DIRECTORY_FILE, descriptor, &handle)
                       : OpenBelow(temporary, name, GENERIC_READ | GENERIC_WRITE | DELETE,
                                   FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE, nullptr,
                                   &handle);
  }
  if (!NT_SUCCESS(status)) {
    return false;
  }
  // Windows makes and opens in one step; Wine makes a directory, then opens
  // the name, which a link put there in between would lead elsewhere. What
  // made it stays where it is: deleting it through this handle could delete
  // what such a link leads to.
  if (!IsPlain(handle, directory, &held->made) ||
      !LiesBelow(handle, temporaryName, temporaryUnits, name) ||
      (held->name = NameOf(handle, &held->nameUnits)) == nullptr) {
    CloseHandle(handle);
    return false;
  }
  held->handle = handle;
  return true;
}

bool Win32CreateUniqueName(const char* directory, UniqueKind kind, char out[kPathCapacity]) {
  HeldName* held = FreeSlot();
  WidePath wide;
  const std::size_t length = std::strlen(directory);
  if (held == nullptr || length + 12 > kPathCapacity ||
      WidenDirectory(directory, wide, kPathCapacity) == 0) {
    return false;
  }
  HANDLE temporary =
      CreateFileW(wide, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (temporary == INVALID_HANDLE_VALUE) {
    return false;
  }
  std::size_t temporaryUnits = 0;
  wchar_t* temporaryName = NameOf(temporary, &temporaryUnits);
  wchar_t name[12];
  const bool made = temporaryName != nullptr &&
                    MakeIn(temporary, temporaryName, temporaryUnits, kind, held, name);
  std::free(temporaryName);
  CloseHandle(temporary);
  if (!made) {
    return false;
  }
  std::memset(out, 0, kPathCapacity);
  std::memcpy(out, directory, length);
  for (std::size_t i = 0; i < 11; ++i) {
    out[length + i] = static_cast<char>(name[i]);
  }
  std::memcpy(held->path, out, kPathCapacity);
  return true;
}

// Deleted once every stream over it is closed. Let go of either way.
bool Win32DeleteFile(const char* path) {
  HeldName* held = Find(path);
  if (held == nullptr) {
    return false;
  }
  const bool deleted = IsStillThere(held) && MarkForDeletion(held->handle);
  Release(held);
  return deleted;
}

// Held without the right to delete it, the directory is opened again with
// it: the one held, or nothing. While it is not empty that handle is held,
// so that a second try can still remove it.
bool Win32RemoveEmptyDirectory(const char* path) {
  HeldName* held = Find(path);
  if (held == nullptr) {
    return false;
  }
  CloseHandle(held->handle);
  held->handle =
      OpenAgain(held, DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (held->handle != INVALID_HANDLE_VALUE && !MarkForDeletion(held->handle)) {
    return false;
  }
  const bool removed = held->handle != INVALID_HANDLE_VALUE;
  Release(held);
  return removed;
}

}  // namespace

HANDLE HeldFile(const char* path) {
  const HeldName* held = Take(path);
  return held != nullptr && (held->made.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0
             ? held->handle
             : INVALID_HANDLE_VALUE;
}

bool HeldDirectory(const char* path, HANDLE* handle, const wchar_t** name, std::size_t* nameUnits) {
  const HeldName* held = Take(path);
  if (held == nullptr || (held->made.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  *handle = held->handle;
  *name = held->name;
  *nameUnits = held->nameUnits;
  return true;
}

bool LeadsIntoHeldDirectory(const char* path) {
  for (const HeldName& held : gHeld) {
    const std::size_t length = std::strlen(held.path);
    if ((held.made.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        std::strncmp(path, held.path, length) == 0 && path[length] == kPathSeparator) {
      return IsStillThere(&held);
    }
  }
  return false;
}

constinit const WorkspaceOps kSystemWorkspace = {Win32GetTempDirectory, Win32CreateUniqueName,
                                                 Win32DeleteFile, Win32RemoveEmptyDirectory};

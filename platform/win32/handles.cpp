// Files and directories reached through handles: opened by a bare name
// relative to a directory held open (NtCreateFile with a root directory), so
// that a directory moved, or replaced by a link, never steers where a name
// is made or found; checked through the handle; deleted through it.
//
// No single report is trusted to tell a link. Windows opens a link itself
// with FILE_OPEN_REPARSE_POINT and reports the reparse point. Wine (8) opens
// what a Unix symbolic link leads to whatever the flags, reports that
// target's attributes through the handle, and its listings and attributes by
// name show a link to a file as a plain file; but the handle's name, as the
// file system gives it, is then the target's. So whatever is acted on
// through a handle must first be named, through that handle, exactly as the
// entry of the directory it was opened in: where it is not, the handle
// followed a link (or a directory above was moved), and nothing is done.
#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/win32/handles.h"

namespace {

// FileNameInformation: the length in bytes, then the name (not terminated).
struct NameInformation {
  ULONG length;
  wchar_t name[kWidePathCapacity];
};

struct DispositionInformation {
  BOOLEAN deleteFile;
};

}  // namespace

NTSTATUS OpenBelow(HANDLE directory, const wchar_t* name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, void* security, HANDLE* out) {
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name);
  text.Length = text.MaximumLength = static_cast<USHORT>(std::wcslen(name) * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, directory, security);
  IO_STATUS_BLOCK status;
  const NTSTATUS result =
      NtCreateFile(out, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                   share, disposition,
                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                       FILE_OPEN_FOR_BACKUP_INTENT,
                   nullptr, 0);
  if (!NT_SUCCESS(result)) {
    *out = INVALID_HANDLE_VALUE;
  }
  return result;
}

wchar_t* NameOf(HANDLE handle, std::size_t* units) {
  NameInformation* information =
      static_cast<NameInformation*>(std::malloc(sizeof(NameInformation)));
  IO_STATUS_BLOCK status;
  if (information == nullptr ||
      !NT_SUCCESS(NtQueryInformationFile(handle, &status, information, sizeof *information,
                                         FileNameInformation)) ||
      information->length / sizeof(wchar_t) >= kWidePathCapacity) {
    std::free(information);
    return nullptr;
  }
  *units = information->length / sizeof(wchar_t);
  wchar_t* name = reinterpret_cast<wchar_t*>(information);
  std::memmove(name, information->name, *units * sizeof(wchar_t));
  name[*units] = L'\0';
  return name;
}

bool LiesBelow(HANDLE handle, const wchar_t* directoryName, std::size_t directoryUnits,
               const wchar_t* name) {
  std::size_t units = 0;
  wchar_t* actual = NameOf(handle, &units);
  // The root's name ends in its separator; any other directory's does not.
  const std::size_t at =
      directoryUnits + (directoryUnits > 0 && directoryName[directoryUnits - 1] == L'\\' ? 0 : 1);
  const std::size_t nameUnits = std::wcslen(name);
  bool same = actual != nullptr && units == at + nameUnits && actual[at - 1] == L'\\';
  if (same) {
    // Case aside, as the file system compares names.
    UNICODE_STRING parts[4] = {};
    const wchar_t* texts[4] = {actual, directoryName, actual + at, name};
    const std::size_t lengths[4] = {directoryUnits, directoryUnits, nameUnits, nameUnits};
    for (int i = 0; i < 4; ++i) {
      parts[i].Buffer = const_cast<wchar_t*>(texts[i]);
      parts[i].Length = parts[i].MaximumLength = static_cast<USHORT>(lengths[i] * sizeof(wchar_t));
    }
    same = RtlEqualUnicodeString(&parts[0], &parts[1], TRUE) &&
           RtlEqualUnicodeString(&parts[2], &parts[3], TRUE);
  }
  std::free(actual);
  return same;
}

bool IsPlain(HANDLE handle, bool directory, BY_HANDLE_FILE_INFORMATION* information) {
  return GetFileInformationByHandle(handle, information) &&
         (information->dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
             (directory ? FILE_ATTRIBUTE_DIRECTORY : 0u) &&
         (directory || information->nNumberOfLinks == 1);
}

bool MarkForDeletion(HANDLE handle) {
  DispositionInformation disposition = {TRUE};
  IO_STATUS_BLOCK status;
  return NT_SUCCESS(NtSetInformationFile(handle, &status, &disposition, sizeof disposition,
                                         FileDispositionInformation));
}

bool DeleteBelow(HANDLE directory, const wchar_t* directoryName, std::size_t directoryUnits,
                 const wchar_t* name) {
  HANDLE entry = INVALID_HANDLE_VALUE;
  if (!NT_SUCCESS(OpenBelow(directory, name, DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0,
                            nullptr, &entry))) {
    return false;
  }
  // A link goes as the link: the handle is the link itself, or names it.
  const bool deleted =
      LiesBelow(entry, directoryName, directoryUnits, name) && MarkForDeletion(entry);
  CloseHandle(entry);
  return deleted;
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

bool WidenName(const char* name, wchar_t out[kWideComponentCapacity]) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out,
                             static_cast<int>(kWideComponentCapacity)) > 1;
}

std::FILE* StreamOf(HANDLE handle, const char* mode) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr) {
    _close(fd);
  }
  return stream;
}

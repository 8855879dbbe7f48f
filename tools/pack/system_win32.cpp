// mirelk-pack's system calls on Windows: wide-character paths throughout, so
// that any file name works; UTF-8 inside the tool.
#include <windows.h>
#include <shellapi.h>

#include <cerrno>

#include "tools/pack/system_calls.h"

namespace pack::sys {

namespace {

// What to do when interrupted, for the console control handler; null before
// it is set.
void (*volatile gCleanup)() = nullptr;

std::string Utf8(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  }
  return out;
}

// Ctrl-C, Ctrl-Break or the console closing: the cleanup runs (a pending
// file is open with delete sharing, so it disappears as the process ends),
// then the default handler ends the process.
BOOL WINAPI CleanUp(DWORD) {
  void (*cleanup)() = gCleanup;
  if (cleanup != nullptr) {
    cleanup();
  }
  return FALSE;
}

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// A handle on an existing file or directory that asks for no access, for its
// identity.
HANDLE OpenForIdentity(const std::filesystem::path& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool SameIdentity(HANDLE first, HANDLE second) {
  BY_HANDLE_FILE_INFORMATION one = {};
  BY_HANDLE_FILE_INFORMATION other = {};
  return GetFileInformationByHandle(first, &one) && GetFileInformationByHandle(second, &other) &&
         one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

}  // namespace

std::vector<std::string> Arguments(int, char**) {
  // The narrow arguments are in the system code page and lose what it lacks.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int k = 1; wide != nullptr && k < count; ++k) {
    arguments.push_back(Utf8(wide[k], -1).c_str());
  }
  LocalFree(wide);
  return arguments;
}

std::filesystem::path PathOf(const std::string& argument) {
  return std::filesystem::path(std::u8string(argument.begin(), argument.end()));
}

std::string TextOf(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

bool EntryNameOf(const std::filesystem::path& file, std::string* name) {
  const std::wstring wide = file.filename().wstring();
  if (wide.empty()) {
    name->clear();
    return true;
  }
  const int length = static_cast<int>(wide.size());
  BOOL lost = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                       0, nullptr, &lost);
  if (size <= 0 || lost) {
    return false;
  }
  name->assign(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, name->data(), size,
                      nullptr, &lost);
  return !lost;
}

std::filesystem::path ExecutablePath() {
  // Long paths need more than MAX_PATH: grow until the name fits.
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (got == 0) {
      return {};
    }
    if (got < name.size()) {
      name.resize(got);
      return std::filesystem::path(name);
    }
    if (name.size() >= 32768) {
      return {};
    }
    name.resize(name.size() * 2);
  }
}

bool IsExecutableFile(const std::filesystem::path&) {
  return false;
}

std::string LastError() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message =
      length > 0 ? Utf8(text, static_cast<int>(length)) : "error " + std::to_string(code);
  LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  HANDLE first = OpenForIdentity(a);
  if (first == INVALID_HANDLE_VALUE) {
    return false;
  }
  HANDLE second = OpenForIdentity(b);
  const bool same = second != INVALID_HANDLE_VALUE && SameIdentity(first, second);
  CloseHandle(first);
  if (second != INVALID_HANDLE_VALUE) {
    CloseHandle(second);
  }
  return same;
}

bool StandardErrorIsTerminal() {
  return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

namespace calls {

void CallOnInterruption(void (*cleanup)()) {
  if (gCleanup != nullptr) {
    return;
  }
  gCleanup = cleanup;
  SetConsoleCtrlHandler(CleanUp, TRUE);
}

void HoldInterruptions() {}

void ReleaseInterruptions() {}

bool CreateNewFile(const std::filesystem::path& path, Handle* handle) {
  // Delete sharing lets the control handler remove it while it is open.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EIO;
    *handle = kNoHandle;
    return false;
  }
  *handle = reinterpret_cast<Handle>(file);
  return true;
}

bool WriteWhole(Handle handle, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size < (1u << 30) ? static_cast<DWORD>(size) : (1u << 30);
    DWORD put = 0;
    if (!WriteFile(AsHandle(handle), bytes, chunk, &put, nullptr) || put == 0) {
      return false;
    }
    bytes += put;
    size -= put;
  }
  return true;
}

bool MakeExecutable(Handle) {
  return true;  // whether a file runs is its name's matter here
}

bool CloseFile(Handle handle) {
  return CloseHandle(AsHandle(handle)) != 0;
}

bool RenameOver(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void RemoveFile(const PathChar* path) {
  DeleteFileW(path);
}

OpenedFacts OpenForReading(const std::filesystem::path& path, bool followLinks, Handle* handle) {
  // Backup semantics open a directory too, so that it can be named as one;
  // a named pipe or a device opens without waiting and is told by its type.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *handle = kNoHandle;
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return {missing ? InputKind::kMissing : InputKind::kError, 0, false};
  }
  *handle = reinterpret_cast<Handle>(file);
  const DWORD type = GetFileType(file);
  if (type == FILE_TYPE_PIPE) {
    return {InputKind::kFifo, 0, false};
  }
  if (type != FILE_TYPE_DISK) {
    return {InputKind::kDevice, 0, false};
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(file, &information)) {
    return {InputKind::kError, 0, false};
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !followLinks) {
    return {InputKind::kLink, 0, false};
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {InputKind::kDirectory, 0, false};
  }
  const std::uint64_t size =
      (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  return {InputKind::kRegular, size, false};
}

bool ReadSome(Handle handle, std::uint64_t offset, void* data, std::size_t size, std::size_t* got) {
  // A positioned read: the handle keeps no position of its own for it.
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD chunk = size < (1u << 30) ? static_cast<DWORD>(size) : (1u << 30);
  DWORD read = 0;
  if (!ReadFile(AsHandle(handle), data, chunk, &read, &at)) {
    *got = 0;
    return GetLastError() == ERROR_HANDLE_EOF;
  }
  *got = read;
  return true;
}

bool IsFileAt(Handle handle, const std::filesystem::path& path) {
  HANDLE named = OpenForIdentity(path);
  if (named == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool same = SameIdentity(AsHandle(handle), named);
  CloseHandle(named);
  return same;
}

}  // namespace calls

}  // namespace pack::sys

// mirelk-pack's system calls on Windows: wide-character paths throughout, so
// that any file name works; UTF-8 inside the tool.
#include <windows.h>
#include <shellapi.h>

#include <cerrno>

#include "tools/pack/system.h"

namespace pack::sys {

namespace {

// The pending file's path, for the console control handler; null when there
// is none.
const wchar_t* volatile gPending = nullptr;

std::string Utf8(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  }
  return out;
}

// Ctrl-C, Ctrl-Break or the console closing: the pending file goes (it is
// open with delete sharing, so it disappears as the process ends), then the
// default handler ends the process.
BOOL WINAPI RemovePending(DWORD) {
  const wchar_t* pending = gPending;
  if (pending != nullptr) {
    DeleteFileW(pending);
  }
  return FALSE;
}

HANDLE Handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// A handle on an existing file or directory that asks for no access, for its
// identity.
HANDLE OpenForIdentity(const std::filesystem::path& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
  BY_HANDLE_FILE_INFORMATION one = {};
  BY_HANDLE_FILE_INFORMATION other = {};
  const bool same = second != INVALID_HANDLE_VALUE && GetFileInformationByHandle(first, &one) &&
                    GetFileInformationByHandle(second, &other) &&
                    one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
                    one.nFileIndexHigh == other.nFileIndexHigh &&
                    one.nFileIndexLow == other.nFileIndexLow;
  CloseHandle(first);
  if (second != INVALID_HANDLE_VALUE) {
    CloseHandle(second);
  }
  return same;
}

bool StandardErrorIsTerminal() {
  return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

bool PendingFile::Create(const std::filesystem::path& path) {
  if (gPending != nullptr) {
    errno = EBUSY;  // one pending file at a time
    return false;
  }
  static const bool handled = SetConsoleCtrlHandler(RemovePending, TRUE) != 0;
  static_cast<void>(handled);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EIO;
    return false;
  }
  path_ = path;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  pending_ = true;
  gPending = path_.c_str();
  return true;
}

bool PendingFile::Write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size < (1u << 30) ? static_cast<DWORD>(size) : (1u << 30);
    DWORD put = 0;
    if (!WriteFile(Handle(handle_), bytes, chunk, &put, nullptr) || put == 0) {
      return false;
    }
    bytes += put;
    size -= put;
  }
  return true;
}

bool PendingFile::MakeExecutable() {
  return true;  // whether a file runs is its name's matter here
}

bool PendingFile::Commit(const std::filesystem::path& target) {
  HANDLE file = Handle(handle_);
  handle_ = -1;
  if (!CloseHandle(file) ||
      !MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return false;
  }
  pending_ = false;
  gPending = nullptr;
  return true;
}

PendingFile::~PendingFile() {
  if (handle_ != -1) {
    CloseHandle(Handle(handle_));
  }
  if (pending_) {
    gPending = nullptr;
    DeleteFileW(path_.c_str());
  }
}

}  // namespace pack::sys

// The Windows side of the seam: the wide system calls the launcher is built
// on. Paths cross the seam as UTF-8 and are converted to UTF-16 at each call,
// so that any name the system takes works, whatever the code page. The
// workspace's names are made and held by workspace.cpp; the files here are
// written and read through what it holds.
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>
#include <io.h>

#include <cstring>

#include "platform/stdio_streams.h"
#include "platform/win32/handles.h"
#include "platform/win32/system_library.h"
#include "platform/win32/workspace.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units");

// UTF-8 takes at least one byte for each UTF-16 unit, so a path fits the same
// number of units.
using WidePath = wchar_t[kPathCapacity];

// The path as UTF-16; false when it is not UTF-8.
bool Widen(const char* path, WidePath out) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out,
                             static_cast<int>(kPathCapacity)) > 0;
}

// An empty name does not convert either; it is refused all the same.
bool Win32EntryNameToPathText(const char* name, std::size_t length, char out[kPathCapacity],
                              std::size_t* outLength) {
  // At most one UTF-16 unit for each byte of the code page.
  wchar_t wide[kPathCapacity];
  const int units =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, static_cast<int>(length), wide,
                          static_cast<int>(kPathCapacity));
  std::memset(out, 0, kPathCapacity);
  const int written =
      units > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, units, out,
                                      static_cast<int>(kPathCapacity) - 1, nullptr, nullptr)
                : 0;
  *outLength = static_cast<std::size_t>(written);
  return written > 0;
}

bool Win32LookUpResource(const char* type, int id, PlatformResource* out) {
  // The executable's own resources, whatever instance the caller holds.
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
  if (found == nullptr) {
    return false;
  }
  const DWORD size = SizeofResource(nullptr, found);
  HGLOBAL loaded = LoadResource(nullptr, found);
  out->data = LockResource(loaded);
  out->offset = 0;
  out->size = size;
  return out->data != nullptr || size == 0;
}

// Through the package copy the workspace holds.
bool Win32WriteResourceToFile(const PlatformResource* resource, const char* path) {
  HANDLE file = HeldFile(path);
  if (file == INVALID_HANDLE_VALUE || SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 ||
      !SetEndOfFile(file)) {
    return false;
  }
  // As on POSIX, the write's outcome is not reported: a short copy fails
  // its decoding (9), as it always has.
  DWORD written = 0;
  WriteFile(file, resource->data, static_cast<DWORD>(resource->size), &written, nullptr);
  return true;
}

bool Win32ReadResource(const PlatformResource* resource, void* out) {
  std::memcpy(out, resource->data, static_cast<std::size_t>(resource->size));
  return true;
}

// A stream of its own over a file the workspace holds: a second handle to
// the same open file, from its start.
std::FILE* Win32OpenStream(const char* path, StreamMode mode) {
  HANDLE held = HeldFile(path);
  HANDLE own = INVALID_HANDLE_VALUE;
  if (held == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), held, GetCurrentProcess(), &own, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  if (SetFilePointer(own, 0, nullptr, FILE_BEGIN) != 0 ||
      (mode == kStreamCreate && !SetEndOfFile(own))) {
    CloseHandle(own);
    return nullptr;
  }
  return StreamOf(own, mode == kStreamRead ? "rb" : mode == kStreamUpdate ? "r+b" : "w+b");
}

bool Win32SeekStream(std::FILE* stream, std::int64_t offset, StreamOrigin origin) {
  return _fseeki64(stream, offset, origin == kSeekEnd ? SEEK_END : SEEK_SET) == 0;
}

std::int64_t Win32TellStream(std::FILE* stream) {
  return _ftelli64(stream);
}

// NTFS gives back the clusters of a zeroed range of a sparse file. Marking
// the file sparse again on every call costs nothing once it is.
bool Win32ReleaseStreamRange(std::FILE* stream, std::int64_t offset, std::int64_t length) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD returned = 0;
  if (file == INVALID_HANDLE_VALUE ||
      !DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    return false;
  }
  FILE_ZERO_DATA_INFORMATION range;
  range.FileOffset.QuadPart = offset;
  range.BeyondFinalZero.QuadPart = offset + length;
  return DeviceIoControl(file, FSCTL_SET_ZERO_DATA, &range, sizeof range, nullptr, 0, &returned,
                         nullptr) != 0;
}

using ShellExecuteFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);

PlatformProcess Win32StartProcess(const char* path, const ArgumentTail* tail) {
  WidePath wide;
  // Only an installer in a directory the workspace holds, still where it was
  // made (under Wine a Unix process can move it).
  if (!LeadsIntoHeldDirectory(path)) {
    return 0;
  }
  // Loaded here rather than imported (see start.cpp).
  HMODULE shell = LoadSystemLibrary("shell32.dll");
  const auto shellExecute =
      shell != nullptr ? reinterpret_cast<ShellExecuteFunction>(
                             reinterpret_cast<void*>(GetProcAddress(shell, "ShellExecuteExW")))
                       : nullptr;
  if (shellExecute == nullptr || !Widen(path, wide)) {
    return 0;
  }
  SHELLEXECUTEINFOW request;
  std::memset(&request, 0, sizeof request);
  request.cbSize = sizeof request;
  request.fMask = SEE_MASK_NOCLOSEPROCESS;
  request.lpFile = wide;
  // The tail as the system gave it, unit for unit.
  request.lpParameters = reinterpret_cast<const wchar_t*>(tail->text);
  request.nShow = SW_SHOW;
  shellExecute(&request);
  return reinterpret_cast<PlatformProcess>(request.hProcess);
}

bool Win32WaitForProcess(PlatformProcess process, std::uint32_t* exitCode) {
  WaitForSingleObject(reinterpret_cast<HANDLE>(process), INFINITE);
  DWORD code = 0;
  const bool known = GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code) != 0;
  *exitCode = code;
  return known;
}

void Win32SleepMilliseconds(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}

// The processors in the process's affinity mask; 1 should the system not say.
std::uint32_t Win32CountProcessors() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  std::uint32_t count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    for (; process != 0; process &= process - 1) {
      ++count;
    }
  }
  return count > 0 ? count : 1;
}

}  // namespace

constinit const TextOps kSystemText = {Win32EntryNameToPathText};

constinit const ResourceOps kSystemResources = {Win32LookUpResource, Win32WriteResourceToFile,
                                                Win32ReadResource};

constinit const StreamOps kSystemStreams = {
    Win32OpenStream, StdioReadStream,  StdioWriteStream,       Win32SeekStream,
    Win32TellStream, StdioCloseStream, Win32ReleaseStreamRange};

constinit const ProcessOps kSystemProcesses = {Win32StartProcess, Win32WaitForProcess};

constinit const ClockOps kSystemClock = {Win32SleepMilliseconds, Win32CountProcessors};

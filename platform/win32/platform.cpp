// The Windows side of the seam: the wide system calls the launcher is built
// on. Paths cross the seam as UTF-8 and are converted to UTF-16 at each call,
// so that any name the system takes works, whatever the code page. The
// workspace's own names live in workspace.cpp.
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>
#include <io.h>

#include <cstring>

#include "platform/stdio_streams.h"
#include "platform/win32/win32.h"

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

// A path from the system as UTF-8 in a zero-filled buffer; false when it does
// not fit (or is not UTF-16, which a path from the system always is).
bool Narrow(const wchar_t* path, char out[kPathCapacity]) {
  std::memset(out, 0, kPathCapacity);
  const int written = WideCharToMultiByte(CP_UTF8, 0, path, -1, out,
                                          static_cast<int>(kPathCapacity) - 1, nullptr, nullptr);
  return written > 0;
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

bool Win32ReadResource(const PlatformResource* resource, void* out) {
  std::memcpy(out, resource->data, static_cast<std::size_t>(resource->size));
  return true;
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
  // Loaded here rather than imported (see start.cpp).
  // Only an installer in a directory the workspace holds, still where it was
  // made (under Wine a Unix process can move it).
  if (!LeadsIntoHeldDirectory(path)) {
    return 0;
  }
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

const PlatformOps kSystemPlatform = {
    .EntryNameToPathText = Win32EntryNameToPathText,
    .GetTempDirectory = Win32GetTempDirectory,
    .CreateUniqueName = Win32CreateUniqueName,
    .LookUpResource = Win32LookUpResource,
    .WriteResourceToFile = Win32WriteResourceToFile,
    .ReadResource = Win32ReadResource,
    .OpenStream = Win32OpenStream,
    .ReadStream = StdioReadStream,
    .WriteStream = StdioWriteStream,
    .SeekStream = Win32SeekStream,
    .TellStream = Win32TellStream,
    .CloseStream = StdioCloseStream,
    .ReleaseStreamRange = Win32ReleaseStreamRange,
    .DeleteFileAt = Win32DeleteFile,
    .RemoveEmptyDirectory = Win32RemoveEmptyDirectory,
    .StartTreeWalk = Win32StartTreeWalk,
    .ListWalkDirectory = Win32ListWalkDirectory,
    .EnterWalkDirectory = Win32EnterWalkDirectory,
    .LeaveWalkDirectory = Win32LeaveWalkDirectory,
    .DeleteWalkEntry = Win32DeleteWalkEntry,
    .RemoveWalkDirectory = Win32RemoveWalkDirectory,
    .EndTreeWalk = Win32EndTreeWalk,
    .OpenEntryDirectory = Win32OpenEntryDirectory,
    .MakeEntryDirectory = Win32MakeEntryDirectory,
    .CreateEntryFile = Win32CreateEntryFile,
    .ReplaceEntryFile = Win32ReplaceEntryFile,
    .DeleteEntryFile = Win32DeleteEntryFile,
    .CloseEntryDirectory = Win32CloseEntryDirectory,
    .StartProcess = Win32StartProcess,
    .WaitForProcess = Win32WaitForProcess,
    .AdoptDescendants = Win32AdoptDescendants,
    .WaitForDescendants = Win32WaitForDescendants,
    .OpenSplashSurface = Win32OpenSplashSurface,
    .GetScreenSize = Win32GetScreenSize,
    .GetSurfaceRect = Win32GetSurfaceRect,
    .ShowSplashSurface = Win32ShowSplashSurface,
    .LoadSplashPicture = Win32LoadSplashPicture,
    .BlendSplashPicture = Win32BlendSplashPicture,
    .ReleaseSplashPicture = Win32ReleaseSplashPicture,
    .CloseSplashSurface = Win32CloseSplashSurface,
    .SleepMilliseconds = Win32SleepMilliseconds,
    .CountProcessors = Win32CountProcessors,
};

const PlatformOps* gPlatform = &kSystemPlatform;

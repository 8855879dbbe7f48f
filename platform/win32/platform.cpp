// The Windows side of the seam: the ANSI system calls the launcher is built on.
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "platform/stdio_streams.h"
#include "platform/win32/win32.h"

namespace {

bool Win32IsLeadByte(unsigned char byte) {
  return IsDBCSLeadByte(byte) != 0;
}

char32_t Win32CharacterOfByte(unsigned char byte) {
  const char text = static_cast<char>(byte);
  wchar_t character = 0;
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &text, 1, &character, 1) == 1
             ? static_cast<char32_t>(character)
             : 0;
}

bool Win32GetTempDirectory(char out[kPathCapacity]) {
  // A longer path is not placed in the buffer; the result then tells its size.
  const DWORD length = GetTempPathA(kPathCapacity, out);
  return length != 0 && length < kPathCapacity;
}

bool Win32CreateUniqueName(const char* directory, UniqueKind kind, char out[kPathCapacity]) {
  if (GetTempFileNameA(directory, kWorkspacePrefix, 0, out) == 0) {
    return false;
  }
  if (kind == kUniqueFile) {
    return true;
  }
  DeleteFileA(out);
  // Checked: a directory or junction planted under the name in the meantime
  // must never receive the installer's files.
  return CreateDirectoryA(out, nullptr) != 0;
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

bool Win32WriteResourceToFile(const PlatformResource* resource, const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  WriteFile(file, resource->data, static_cast<DWORD>(resource->size), &written, nullptr);
  CloseHandle(file);
  return true;
}

bool Win32ReadResource(const PlatformResource* resource, void* out) {
  std::memcpy(out, resource->data, static_cast<std::size_t>(resource->size));
  return true;
}

std::FILE* Win32OpenStream(const char* path, StreamMode mode) {
  const char* streamMode = mode == kStreamRead ? "rb" : mode == kStreamUpdate ? "r+b" : "w+b";
  return std::fopen(path, streamMode);
}

bool Win32SeekStream(std::FILE* stream, std::int64_t offset, StreamOrigin origin) {
  return _fseeki64(stream, offset, origin == kSeekEnd ? SEEK_END : SEEK_SET) == 0;
}

std::int64_t Win32TellStream(std::FILE* stream) {
  return _ftelli64(stream);
}

bool Win32DeleteFile(const char* path) {
  return DeleteFileA(path) != 0;
}

bool Win32RemoveEmptyDirectory(const char* path) {
  return RemoveDirectoryA(path) != 0;
}

PlatformProcess Win32StartProcess(const char* path, const ArgumentTail* tail) {
  SHELLEXECUTEINFOA request;
  std::memset(&request, 0, sizeof request);
  request.cbSize = sizeof request;
  request.fMask = SEE_MASK_NOCLOSEPROCESS;
  request.lpFile = path;
  request.lpParameters = tail->text;
  request.nShow = SW_SHOW;
  ShellExecuteExA(&request);
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
    .IsLeadByte = Win32IsLeadByte,
    .CharacterOfByte = Win32CharacterOfByte,
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
    .DeleteFileAt = Win32DeleteFile,
    .RemoveEmptyDirectory = Win32RemoveEmptyDirectory,
    .StartTreeWalk = Win32StartTreeWalk,
    .ListWalkDirectory = Win32ListWalkDirectory,
    .EnterWalkDirectory = Win32EnterWalkDirectory,
    .LeaveWalkDirectory = Win32LeaveWalkDirectory,
    .DeleteWalkEntry = Win32DeleteWalkEntry,
    .RemoveWalkDirectory = Win32RemoveWalkDirectory,
    .EndTreeWalk = Win32EndTreeWalk,
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

// The system calls behind PendingFile and InputFile, one implementation per
// system (system_posix.cpp, system_win32.cpp). Each does one call's worth of
// work; the bookkeeping around them (which file is pending, what an open
// input is) is files.cpp's, written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "tools/pack/system.h"

namespace pack::sys::calls {

using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;
using PathChar = std::filesystem::path::value_type;

// Has `cleanup` called when the process is interrupted (SIGINT, SIGTERM or
// SIGHUP; Ctrl-C, Ctrl-Break or the console closing), after which the process
// ends as the interruption would have ended it. Set up on the first call;
// `cleanup` must do only what a signal handler may.
void CallOnInterruption(void (*cleanup)());

// Holds interruptions back, then lets them through again (and any that came
// meanwhile), so that a pending file and its registration change together.
// Not nested. Windows, where interruptions come on their own thread, holds
// nothing.
void HoldInterruptions();
void ReleaseInterruptions();

// A new file for writing, never one that exists (errno EEXIST then).
bool CreateNewFile(const std::filesystem::path& path, Handle* handle);
bool WriteWhole(Handle handle, const void* data, std::size_t size);
bool MakeExecutable(Handle handle);
bool CloseFile(Handle handle);
// Renames `from` to `to`, replacing any file there.
bool RenameOver(const std::filesystem::path& from, const std::filesystem::path& to);
// Removes a file by name; safe in a signal handler.
void RemoveFile(const PathChar* path);

// What an open input is, taken from the handle itself.
struct OpenedFacts {
  InputKind kind;
  std::uint64_t size;
  bool executable;
};

// Opens `path` for reading without blocking and tells what the handle is; the
// handle is open whenever the kind is not kMissing or kError, and the caller
// closes it.
OpenedFacts OpenForReading(const std::filesystem::path& path, bool followLinks, Handle* handle);
// At most `size` bytes at `offset`; false on an error, `*got` 0 at the end.
bool ReadSome(Handle handle, std::uint64_t offset, void* data, std::size_t size, std::size_t* got);
// Whether `path` names the file open as `handle`.
bool IsFileAt(Handle handle, const std::filesystem::path& path);

}  // namespace pack::sys::calls

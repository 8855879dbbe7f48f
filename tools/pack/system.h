// mirelk-pack's few calls into the operating system. What is the same on
// every system (the bookkeeping of pending outputs and open inputs) is
// files.cpp's; the calls themselves are in system_posix.cpp and
// system_win32.cpp (system_calls.h); everything else in the tool is the
// standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pack::sys {

// The command line's arguments after the program's name, as UTF-8 on Windows
// and as the bytes given on POSIX.
std::vector<std::string> Arguments(int argc, char** argv);

// A path from an argument, and a path as text for messages, each in the
// encoding Arguments gives.
std::filesystem::path PathOf(const std::string& argument);
std::string TextOf(const std::filesystem::path& path);

// The name a file takes in a bundle: its file name as the launcher on this
// system will write it, the bytes on POSIX, the system code page's on
// Windows (the launcher's file names are in the system code page). False
// when the name has no such form.
bool EntryNameOf(const std::filesystem::path& file, std::string* name);

// The running program's own file, links resolved on POSIX; empty when the
// system cannot say. Installed stubs are found relative to it.
std::filesystem::path ExecutablePath();

// Whether a file is marked executable for its owner, which a tree bundle
// carries as its executable flag. POSIX: the owner's execute bit. Windows
// keeps no such bit: never (the Windows launcher ignores the flag, and a flat
// payload packed there stays readable by every launcher).
bool IsExecutableFile(const std::filesystem::path& file);

// The system's description of its last error.
std::string LastError();

// Whether two paths name the same file (same device and inode, or same
// volume and file index): links and other spellings included. False when
// either does not exist.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

bool StandardErrorIsTerminal();

// A new file, created only where no file of that name exists, open for
// writing. Interrupted by SIGINT, SIGTERM or SIGHUP (Ctrl-C, Ctrl-Break or a
// closed console on Windows), the process removes the file while it is
// pending, then ends as the signal would have ended it.
class PendingFile {
 public:
  // False, with errno or the last error set, when it cannot be created; an
  // existing file of that name is left alone.
  bool Create(const std::filesystem::path& path);
  bool Write(const void* data, std::size_t size);
  // Readable and executable by everyone who may read it (POSIX).
  bool MakeExecutable();
  // Closes it and puts it in place of `target`, replacing any file there.
  bool Commit(const std::filesystem::path& target);
  // Closes and removes it unless committed.
  ~PendingFile();

  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

 private:
  std::filesystem::path path_;
  std::intptr_t handle_ = -1;
  bool pending_ = false;
};

// What an input turned out to be when it was opened.
enum class InputKind {
  kRegular,  // open, and read through that one handle
  kMissing,
  kDirectory,
  kLink,  // a symbolic link (or another reparse point) not to be followed
  kFifo,  // a FIFO or a pipe
  kSocket,
  kDevice,  // a character or block device, a console
  kError,   // the system refused to open it: LastError says why
};

// An input file, opened once and read only through that handle, so that what
// is measured is what is read. The open never blocks: a FIFO without a
// writer or a device is looked at, refused and closed, never read.
class InputFile {
 public:
  // Opens `path` and keeps it open only when it is a regular file. With
  // `followLinks` false a symbolic link is refused as a link.
  InputKind Open(const std::filesystem::path& path, bool followLinks = true);
  // Its size and owner's execute bit when it was opened.
  std::uint64_t Size() const { return size_; }
  bool Executable() const { return executable_; }
  // Reads up to `size` bytes at `offset` into `data`; `*got` is less than
  // `size` only at the end of the file. False on a read error.
  bool ReadAt(std::uint64_t offset, void* data, std::size_t size, std::size_t* got);
  // Whether `path` names this very file (links and other spellings too).
  bool Is(const std::filesystem::path& path) const;

  InputFile() = default;
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

 private:
  std::intptr_t handle_ = -1;
  std::uint64_t size_ = 0;
  bool executable_ = false;
};

}  // namespace pack::sys

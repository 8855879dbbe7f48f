// mirelk-pack's few calls into the operating system, one implementation per
// system (system_posix.cpp, system_win32.cpp); everything else in the tool is
// the standard library.
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

}  // namespace pack::sys

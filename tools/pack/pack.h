// mirelk-pack: makes packages and launchers. Shared pieces of its commands;
// the formats themselves are format/'s.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/system.h"

namespace pack {

// A failure the user can act on; its message names the file and the reason.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The most the tool reads of each input it takes whole, so that a hostile or
// mistaken file cannot make it read gigabytes into memory before refusing:
// a splash picture the launcher shows has at most 4096 x 4096 pixels (48 MiB
// of 24-bit rows), and 64 MiB leaves room for any header; a launcher stub is
// its code and its mark, well under 1 MiB even built with sanitizers. (The
// package and the icon have their bounds where their formats are:
// pe::kLargestResourceEnd, pe::kLargestIconFile.)
inline constexpr std::uint64_t kLargestSplashFile = 64u << 20;
inline constexpr std::uint64_t kLargestStubSize = 64u << 20;

// Wrong arguments; reported with the usage text and exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "'path': reason", with the system's last error when no reason is given.
std::string Describe(const std::filesystem::path& path, const std::string& reason = {});

// An output file that appears under its final name only when committed, so
// that a failed or interrupted command never leaves a half-written file
// behind: it is written as a hidden ".NAME.partNNN" beside its target.
class OutputFile {
 public:
  explicit OutputFile(std::filesystem::path target);

  void Write(const void* data, std::size_t size);
  // Makes the file executable by everyone who may read it.
  void MakeExecutable();
  void Commit();

 private:
  std::filesystem::path target_;
  sys::PendingFile file_;
};

// Refuses an output that is the same file as one of the inputs (by device
// and inode, so links and other spellings count), before anything is read or
// written: replacing it would destroy the input.
void CheckNotAnInput(const std::filesystem::path& output,
                     const std::vector<std::filesystem::path>& inputs);
// The refusal of an output that is the input `input`.
Failure OutputIsInput(const std::filesystem::path& output, const std::filesystem::path& input);

// An input, opened once (sys::InputFile) without waiting on it: what the
// tool measures of it and what it reads come from that one open file. A file
// that is missing, unreadable or not a regular file fails with one line:
// "'PATH': a FIFO, not NOT_WHAT".
sys::InputFile OpenInput(const std::filesystem::path& path, const char* notWhat = "a regular file",
                         bool followLinks = true);

// What an input that did not open as a regular file is, for messages: "no
// such file", "a directory", "a FIFO", ...
std::string KindText(sys::InputKind kind);

// The whole of an open input, in one read through its handle. A file larger
// than `largest` bytes is refused as `what` ("a splash picture is at most
// ...") before anything is read; one that changed size since it was opened
// fails.
std::vector<std::uint8_t> ReadWhole(sys::InputFile& file, const std::filesystem::path& path,
                                    std::uint64_t largest, const std::string& tooLarge);

// Copies an open input to `out` in bounded chunks; returns the count copied,
// which is the size it was opened with.
std::uint64_t CopyInto(sys::InputFile& file, const std::filesystem::path& path, OutputFile& out);

// An open input read in order from a position.
class InputCursor {
 public:
  InputCursor(sys::InputFile& file, const std::filesystem::path& path) : file_(file), path_(path) {}
  // Up to `size` bytes, fewer only at the end; Failure on a read error.
  std::size_t Read(void* data, std::size_t size);
  void Seek(std::uint64_t offset) { at_ = offset; }
  std::uint64_t Size() const { return file_.Size(); }

 private:
  sys::InputFile& file_;
  const std::filesystem::path& path_;
  std::uint64_t at_ = 0;
};

// A name or path someone else chose, as messages show it: bytes that are not
// UTF-8 as \xHH, control characters as \xHH, C1 controls and invisible or
// reordering characters as \u{HHHH}, a backslash as \\ and the quote the
// messages use as \x27. Nothing of it reaches the terminal raw, and a message
// stays one line.
std::string Shown(std::string_view text);

// A name as `list` shows it in its rows: escaped as Shown does (but the
// quote), and a blank shown as \x20 at either end and next to another blank,
// so that two blanks always separate fields.
std::string ListedName(std::string_view name);

// What a file is when it is not what a command takes ("an empty file", "a
// Mirelk launcher stub (POSIX)", ...); empty when it may be a package.
std::string KindOfFile(sys::InputFile& file, const std::filesystem::path& path);

// What KindOfFile calls a setup of each system.
inline constexpr char kPosixSetupKind[] = "a Mirelk launcher (POSIX) with its resources attached";
inline constexpr char kWindowsSetupKind[] = "a Mirelk launcher (Windows) with its package";

// What a setup carries: its package and, when attach was given settings, the
// launcher settings record (format/launcher_settings.h).
struct Setup {
  std::vector<std::uint8_t> package;
  std::optional<std::vector<std::uint8_t>> settings;
};

// The setup `file` is; nothing when it is no setup.
std::optional<Setup> ReadSetup(sys::InputFile& file, const std::filesystem::path& path);

// The settings line `list` shows for a setup.
std::string DescribeSettings(const Setup& setup);

enum class PackageKind { kLzmaAlone, kXz, kBundle };

// What a file given as a package is: a package the launcher would start to
// unpack (authoring/package_check.h), LZMA-Alone or .xz, or a bare bundle. Anything else fails with
// a message naming what the file is or what is wrong with it.
PackageKind CheckPackageFile(sys::InputFile& file, const std::filesystem::path& path);

// What the .xz decoder's `result` means for the package, after `decoded`
// bytes out: damage, a cut, or what the launcher refuses.
std::string XzDamage(int result, std::uint64_t decoded);

// Command-line options: `--name VALUE` for the value options, `--name` for the
// flags, everything else positional. A value option is given at most once
// unless it is one of the repeatable ones.
struct Options {
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> flags;
  std::vector<std::string> positional;

  // The value of an option given once; empty when absent.
  std::string Value(const std::string& name) const;
  // Every value of a repeatable option, in order.
  std::vector<std::string> Values(const std::string& name) const;
  bool Flag(const std::string& name) const;
};

Options ParseOptions(const std::vector<std::string>& args,
                     const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions,
                     const std::vector<std::string>& repeatable = {});

int Attach(const std::vector<std::string>& args);
int Create(const std::vector<std::string>& args);
int List(const std::vector<std::string>& args);

}  // namespace pack

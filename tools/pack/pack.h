// mirelk-pack: makes packages and launchers. Shared pieces of its commands;
// the formats themselves are format/'s.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/pack/system.h"

namespace pack {

// A failure the user can act on; its message names the file and the reason.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

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

// Reads a whole file, failing with a clear message.
std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& path);

// Copies a file's contents to `out` in bounded chunks; returns the count copied.
std::uint64_t CopyFileInto(const std::filesystem::path& path, OutputFile& out);

// What a file is when it is not what a command takes ("a directory", "a
// Mirelk launcher stub (POSIX)", ...); empty when it may be a package.
std::string KindOfFile(const std::filesystem::path& path);

// What KindOfFile calls a setup of each system.
inline constexpr char kPosixSetupKind[] = "a Mirelk launcher (POSIX) with its resources attached";
inline constexpr char kWindowsSetupKind[] = "a Mirelk launcher (Windows) with its package";

// What a setup carries: its package and, when attach was given settings, the
// launcher settings record (format/launcher_settings.h).
struct Setup {
  std::vector<std::uint8_t> package;
  std::optional<std::vector<std::uint8_t>> settings;
};

// The setup `path` is; nothing when it is no setup.
std::optional<Setup> ReadSetup(const std::filesystem::path& path);

// The settings line `list` shows for a setup.
std::string DescribeSettings(const Setup& setup);

enum class PackageKind { kLzmaAlone, kXz, kBundle };

// What a file given as a package is: a package the launcher would start to
// unpack (authoring/package_check.h), LZMA-Alone or .xz, or a bare bundle. Anything else fails with
// a message naming what the file is or what is wrong with it.
PackageKind CheckPackageFile(const std::filesystem::path& path);

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

// mirelk-pack: makes packages and launchers. Shared pieces of its commands;
// the formats themselves are format/'s.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace pack {

// A failure the user can act on; its message names the file and the reason.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Wrong arguments; reported with the usage text and exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "'path': reason", with the reason taken from errno when none is given.
std::string Describe(const std::filesystem::path& path, const std::string& reason = {});

// An output file that appears under its final name only when committed, so
// that a failed command never leaves a half-written file behind.
class OutputFile {
 public:
  explicit OutputFile(std::filesystem::path target);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const void* data, std::size_t size);
  // Makes the file executable by everyone who may read it.
  void MakeExecutable();
  void Commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

// Reads a whole file, failing with a clear message.
std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& path);

// Copies a file's contents to `out` in bounded chunks; returns the count copied.
std::uint64_t CopyFileInto(const std::filesystem::path& path, OutputFile& out);

// Command-line options: `--name VALUE` for the value options, `--name` for the
// flags, everything else positional.
struct Options {
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> flags;
  std::vector<std::string> positional;

  // The value of an option given once; empty when absent.
  std::string Value(const std::string& name) const;
  bool Flag(const std::string& name) const;
};

Options ParseOptions(const std::vector<std::string>& args,
                     const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions);

int Attach(const std::vector<std::string>& args);
int Create(const std::vector<std::string>& args);
int List(const std::vector<std::string>& args);

}  // namespace pack

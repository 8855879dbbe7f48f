// Helpers for the in-process tests: scratch directories, files, bundles and
// packages made with an independent encoder, and a platform table to break.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/package.h"
#include "platform/platform.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
// Sorted names in a directory (no dots).
std::vector<std::string> ListDirectory(const std::string& path);

struct Entry {
  std::string name;
  Bytes data;
};

// A bundle as the launcher reads it: header, then one record per entry.
Bytes MakeBundle(const std::vector<Entry>& entries, std::uint32_t launchFlag = 0,
                 std::int32_t launchIndex = 0);

struct PackageOptions {
  std::uint8_t properties = kPackageProperties;
  std::uint32_t dictionarySize = kPackageDictionarySize;
  // Defaults to the data's size; the unknown-size form is 0xFFFFFFFF.
  std::int64_t declaredSize = -1;
  std::uint32_t declaredHigh = 0;
  bool endMarker = false;
  // Window the encoder may reach back over (defaults to dictionarySize).
  std::uint32_t encoderDictionary = 0;
};

// Compresses `data` with liblzma's raw LZMA1 encoder behind the package header.
Bytes MakePackage(const Bytes& data, const PackageOptions& options = {});

// Deterministic bytes that compress somewhat; the second half repeats the first.
Bytes SampleData(std::size_t size, std::uint32_t seed);

// The system's table with the temporary directory pointed at `directory` and
// the package resource served from `package`; tests then break one operation.
PlatformOps TestPlatform(const std::string& directory, const Bytes* package);

// A stream write that takes only what is left of `gWriteBudget` bytes, as a
// full disk would; tests set the budget and put it in a platform table.
extern std::size_t gWriteBudget;
std::size_t WriteWithinBudget(std::FILE* stream, const void* buffer, std::size_t size);

// Points gPlatform at a table for the life of the object.
class PlatformOverride {
 public:
  explicit PlatformOverride(const PlatformOps& ops);
  ~PlatformOverride();

 private:
  PlatformOps ops_;
  const PlatformOps* previous_;
};

}  // namespace testing_support

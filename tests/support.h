// Helpers for every in-process test (GoogleTest, the splash tests, the fuzz
// targets): scratch directories and files, bundles, packages made with an
// independent encoder, BMP pictures, and platform tables to break or record.
#pragma once

#include <lzma.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format/package.h"
#include "platform/platform.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text);

// ---- Files

// A fresh directory under the system's temporary directory ($TMPDIR), removed
// with everything in it when the object goes. Its name never starts with the
// launcher's prefix, so that what a run leaves in it can be told apart.
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
// Throws when the file cannot be read.
Bytes ReadFile(const std::string& path);
// Removes a file or a whole tree, if there is one.
void RemoveAll(const std::string& path);

// What a path names, without following a link.
enum class Kind { kMissing, kFile, kDirectory, kLink, kOther };
Kind KindOf(const std::string& path);
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
// Sorted names in a directory (no dots); none when it cannot be read.
std::vector<std::string> ListDirectory(const std::string& path);

// ---- Formats, written with format/ and an independent LZMA encoder

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

struct XzOptions {
  lzma_check check = LZMA_CHECK_CRC64;
  // 0: one block, its sizes not in its header (as xz writes on one thread);
  // otherwise blocks of this size with their sizes (as xz -T0 writes).
  std::uint64_t blockSize = 0;
  std::uint32_t dictionarySize = 1u << 20;
};

// Compresses `data` into an .xz stream with liblzma's encoders.
Bytes MakeXzPackage(const Bytes& data, const XzOptions& options = {});

// The same stream with the first block's header claiming another LZMA2
// dictionary (its property byte: 28 is 64 MiB, 29 96 MiB, 40 4 GiB - 1), and
// its CRC32 made right again, so that only the claim is out of the ordinary.
Bytes ClaimingDictionary(Bytes xz, std::uint8_t property);

// Deterministic bytes that compress somewhat; the second half repeats the first.
Bytes SampleData(std::size_t size, std::uint32_t seed);

struct BmpShape {
  int width;
  int height;  // negative: stored top row first
  std::uint32_t infoSize = 40;
  std::uint32_t gap = 0;  // bytes between the headers and the pixels
};

// A 24-bit BMP file, written here independently of the reader. Every place
// has its own colour (PictureChannel), so that a swapped channel, a flipped
// row or a misplaced column shows; row padding is 0xEE, so that it shows if
// it is ever read as a pixel.
Bytes MakeBmp(const BmpShape& shape);
unsigned char PictureChannel(int x, int y, int channel);  // 0 red, 1 green, 2 blue

// ---- Platform tables

// A copy of every part of a platform table, each free to change: a test
// replaces single operations (`ops.streams.WriteStream = ...`) and points
// gPlatform at them with PlatformOverride.
struct PlatformParts {
  TextOps text;
  WorkspaceOps workspace;
  ResourceOps resources;
  StreamOps streams;
  TreeWalkOps treeWalk;
  EntryDirectoryOps entryDirectories;
  ProcessOps processes;
  DescendantOps descendants;
  SplashOps splash;
  ClockOps clock;
};

// The parts of the system's table, and of the table gPlatform points at now.
PlatformParts SystemParts();
PlatformParts CurrentParts();

// The system's parts with the temporary directory pointed at `directory` and
// the package resource served from `package`; tests then break one operation.
PlatformParts TestPlatform(const std::string& directory, const Bytes* package);

// A stream write that takes only what is left of `gWriteBudget` bytes, as a
// full disk would, and notes in `gWriteBudgetExceeded` that it cut one short.
extern std::size_t gWriteBudget;
extern bool gWriteBudgetExceeded;
std::size_t WriteWithinBudget(std::FILE* stream, const void* buffer, std::size_t size);

// Points gPlatform at a copy of the parts for the life of the object.
class PlatformOverride {
 public:
  explicit PlatformOverride(const PlatformParts& parts);
  ~PlatformOverride();
  PlatformOverride(const PlatformOverride&) = delete;
  PlatformOverride& operator=(const PlatformOverride&) = delete;

 private:
  PlatformParts parts_;
  PlatformOps ops_;
  const PlatformOps* previous_;
};

}  // namespace testing_support

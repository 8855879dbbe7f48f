// What decoding and extraction give back of the package copy and the bundle,
// and when: the release operation is recorded, and the range it is given is
// overwritten with zeros, as a file system with holes would read it back, so
// that anything released before it was used shows as damage.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "launcher/consumed_range.h"
#include "launcher/launcher.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

struct Released {
  std::int64_t offset;
  std::int64_t length;
  std::int64_t fileSize;
};
std::vector<Released> gReleased;
int gRefusals = 0;

bool ZeroAndRecord(std::FILE* stream, std::int64_t offset, std::int64_t length) {
  const int fd = fileno(stream);
  struct stat status;
  if (fstat(fd, &status) != 0) {
    return false;
  }
  const Bytes zeros(static_cast<std::size_t>(length), 0);
  if (pwrite(fd, zeros.data(), zeros.size(), offset) != static_cast<ssize_t>(zeros.size())) {
    return false;
  }
  gReleased.push_back({offset, length, status.st_size});
  return true;
}

bool Refuse(std::FILE*, std::int64_t, std::int64_t) {
  ++gRefusals;
  return false;
}

// Incompressible bytes, so that the package is as large as the data.
Bytes Noise(std::size_t size, std::uint32_t seed) {
  Bytes data(size);
  for (std::uint8_t& byte : data) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(seed >> 23);
  }
  return data;
}

Bytes Twice(const Bytes& half) {
  Bytes data(2 * half.size());
  std::copy(half.begin(), half.end(), data.begin());
  std::copy(half.begin(), half.end(), data.begin() + static_cast<long>(half.size()));
  return data;
}

// Every release continues where the last ended, in whole pieces, and stays
// within what the file held.
void ExpectWholePiecesFromTheStart(std::int64_t fileSize) {
  std::int64_t end = 0;
  for (const Released& r : gReleased) {
    EXPECT_EQ(r.offset, end);
    EXPECT_EQ(r.length % kReleasePiece, 0);
    EXPECT_EQ(r.fileSize, fileSize) << "the file keeps its size";
    end = r.offset + r.length;
  }
  EXPECT_LE(end, fileSize);
}

class Release : public ::testing::Test {
 protected:
  void SetUp() override {
    gReleased.clear();
    gRefusals = 0;
  }

  // Decodes `package` with the resource serving it; the bundle's bytes.
  Bytes Decode(const Bytes& package, bool (*release)(std::FILE*, std::int64_t, std::int64_t)) {
    PlatformParts ops = TestPlatform(dir_.path(), &package);
    ops.streams.ReleaseStreamRange = release;
    PlatformOverride use(ops);
    WriteFile(copy_, package);
    WriteFile(bundle_, {});
    DecodePackage(copy_.c_str(), bundle_.c_str());
    return ReadFile(bundle_);
  }

  ScratchDirectory dir_;
  std::string copy_ = dir_.Join("mrlcopy");
  std::string bundle_ = dir_.Join("mrlbundle");
  Bytes data_ = Noise(5 << 20, 3);
};

TEST_F(Release, DecodingGivesBackThePackageCopyBehindTheDecoder) {
  struct {
    const char* label;
    Bytes package;
  } const cases[] = {
      {"LZMA-Alone", MakePackage(data_, {.dictionarySize = 1 << 20})},
      {".xz", MakeXzPackage(data_, {.blockSize = 1 << 20})},
  };
  for (const auto& c : cases) {
    SetUp();
    EXPECT_EQ(Decode(c.package, ZeroAndRecord), data_) << c.label;
    ExpectWholePiecesFromTheStart(static_cast<std::int64_t>(c.package.size()));
    // All but the last, partial piece and what the last read holds.
    ASSERT_FALSE(gReleased.empty()) << c.label;
    EXPECT_GE(gReleased.back().offset + gReleased.back().length,
              static_cast<std::int64_t>(c.package.size()) - kReleasePiece - (256 << 10))
        << c.label;
  }
}

TEST_F(Release, SecondPassAfterAReleaseDecodesTheCopyWrittenAgain) {
  // The repeat reaches 3 MiB back while the header announces 1 MiB: the first
  // pass fails beyond its window after releasing the copy's first pieces.
  const Bytes data = Twice(Noise(3 << 20, 9));
  const Bytes package =
      MakePackage(data, {.dictionarySize = 1 << 20, .encoderDictionary = 4 << 20});
  EXPECT_EQ(Decode(package, ZeroAndRecord), data);
  EXPECT_EQ(std::count_if(gReleased.begin(), gReleased.end(),
                          [](const Released& r) { return r.offset == 0; }),
            2)
      << "each pass releases from the start";
  // Each pass on its own releases whole pieces from the start on.
  const auto second = std::find_if(gReleased.begin() + 1, gReleased.end(),
                                   [](const Released& r) { return r.offset == 0; });
  std::vector<Released> passes[] = {{gReleased.begin(), second}, {second, gReleased.end()}};
  for (const std::vector<Released>& pass : passes) {
    gReleased = pass;
    ExpectWholePiecesFromTheStart(static_cast<std::int64_t>(package.size()));
  }
  EXPECT_FALSE(Exists(copy_));

  // Where the file system refuses, it is asked once, and nothing changes.
  SetUp();
  EXPECT_EQ(Decode(package, Refuse), data);
  EXPECT_EQ(gRefusals, 1);
}

TEST_F(Release, ExtractionGivesBackTheBundleBehindTheEntriesWritten) {
  const std::string target = dir_.Join("mrltarget");
  ASSERT_TRUE(std::filesystem::create_directory(target));
  const Bytes small = SampleData(5000, 1);
  const Bytes bundle =
      MakeBundle({{"a", small}, {"big", data_}, {"b", small}, {"escape/c", small}});
  WriteFile(bundle_, bundle);
  PlatformParts ops = SystemParts();
  ops.streams.ReleaseStreamRange = ZeroAndRecord;
  PlatformOverride use(ops);
  char launch[kPathCapacity] = {};
  EXPECT_EQ(ExtractBundle(bundle_.c_str(), target.c_str(), launch), kEntryNotWritten);
  EXPECT_EQ(ReadFile(target + "/big"), data_);
  EXPECT_EQ(ReadFile(target + "/b"), small);
  ExpectWholePiecesFromTheStart(static_cast<std::int64_t>(bundle.size()));
  // Everything up to the end of the large entry, but for the partial piece.
  ASSERT_FALSE(gReleased.empty());
  const std::int64_t bigEnd =
      15 + 4 + 1 + 4 + 5000 + 4 + 3 + 4 + static_cast<std::int64_t>(data_.size());
  EXPECT_EQ(gReleased.back().offset + gReleased.back().length, bigEnd - bigEnd % kReleasePiece);
  // The run that failed keeps its bundle, as large as it was.
  EXPECT_EQ(ReadFile(bundle_).size(), bundle.size());
}

}  // namespace

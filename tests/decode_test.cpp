// The package decoding stage on real files: what reaches the bundle file for
// each kind of header and stream.
#include <gtest/gtest.h>

#include <algorithm>

#include "launcher/launcher.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

class Decode : public ::testing::Test {
 protected:
  // Runs the stage over `package`; the bundle's bytes, or "absent".
  Bytes DecodeToBundle(const Bytes& package) {
    WriteFile(copy_, package);
    WriteFile(bundle_, {});
    DecodePackage(copy_.c_str(), bundle_.c_str());
    EXPECT_FALSE(Exists(copy_)) << "the package copy is deleted whatever the outcome";
    return ReadFile(bundle_);
  }

  ScratchDirectory dir_;
  std::string copy_ = dir_.Join("mrlcopy");
  std::string bundle_ = dir_.Join("mrlbundle");
  Bytes data_ = SampleData(300000, 7);
};

TEST_F(Decode, StreamsDecodeExactlyWhateverTheHeaderSays) {
  struct {
    const char* label;
    PackageOptions options;
  } const cases[] = {
      {"carried form", {}},
      {"lc 0 lp 0 pb 0", {.properties = 0}},
      {"lc 0 lp 4 pb 0", {.properties = 36}},
      {"lc 4 lp 0 pb 4", {.properties = 184}},
      {"high half of the size ignored", {.declaredHigh = 0x12345678}},
      {"dictionary field of zero", {.dictionarySize = 0}},
      // A window of the field's size could not even be allocated everywhere.
      {"dictionary field of 4 GiB, unknown size",
       {.dictionarySize = 0xFFFFFFFF, .declaredSize = 0xFFFFFFFF, .endMarker = true,
        .encoderDictionary = 1 << 20}},
      // The encoder reaches 256 KiB back while the header claims 4 KiB.
      {"dictionary field smaller than the distances used",
       {.dictionarySize = 4096, .encoderDictionary = 1 << 20}},
      {"end marker right at the declared size", {.endMarker = true}},
      {"unknown size with an end marker", {.declaredSize = 0xFFFFFFFF, .endMarker = true}},
      {"unknown size, dictionary field smaller than the distances used",
       {.dictionarySize = 4096, .declaredSize = 0xFFFFFFFF, .endMarker = true,
        .encoderDictionary = 1 << 20}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeToBundle(MakePackage(data_, c.options)), data_) << c.label;
  }
}

TEST_F(Decode, LargeStreamsCrossEveryBufferBoundary) {
  // Incompressible first half, repeated: the compressed data spans several
  // reads and the output many writes, and the repeat reaches further back
  // than the 1 MiB the header announces.
  Bytes data(5 * 512 * 1024);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < data.size() / 2; ++i) {
    state = state * 1103515245u + 12345u;
    data[i] = static_cast<std::uint8_t>(state >> 23);
  }
  std::copy(data.begin(), data.begin() + static_cast<long>(data.size() / 2), data.begin() + static_cast<long>(data.size() / 2));
  for (std::uint32_t header : {1u << 20, 8u << 20}) {
    EXPECT_EQ(DecodeToBundle(MakePackage(data, {.dictionarySize = header, .encoderDictionary = 4u << 20})), data)
        << header;
  }
}

TEST_F(Decode, BundleThatCannotBeWrittenWholeIsLeftEmpty) {
  PlatformOps ops = kSystemPlatform;
  ops.WriteStream = WriteWithinBudget;
  PlatformOverride use(ops);
  gWriteBudget = 1000;
  EXPECT_TRUE(DecodeToBundle(MakePackage(data_)).empty());
}

TEST_F(Decode, EndMarkerBeforeTheDeclaredSizeGivesTheShorterBundle) {
  PackageOptions options;
  options.endMarker = true;
  options.declaredSize = static_cast<std::int64_t>(data_.size()) + 1000;
  EXPECT_EQ(DecodeToBundle(MakePackage(data_, options)), data_);
}

TEST_F(Decode, DeclaredSizeSmallerThanTheDataGivesItsFirstBytes) {
  PackageOptions options;
  options.declaredSize = 1234;
  EXPECT_EQ(DecodeToBundle(MakePackage(data_, options)), Bytes(data_.begin(), data_.begin() + 1234));
}

TEST_F(Decode, RejectedStreamsLeaveAnEmptyBundle) {
  const Bytes good = MakePackage(data_);
  Bytes cut = good;
  cut.resize(good.size() / 2);
  Bytes noMarker = MakePackage(data_);
  for (std::size_t k = 0; k < 4; ++k) {
    noMarker[5 + k] = 0xFF;  // unknown size, but the stream has no marker
  }
  Bytes badFirstByte = good;
  badFirstByte[13] = 1;
  Bytes corrupt = good;
  for (std::size_t i = 40; i < corrupt.size(); i += 97) {
    corrupt[i] ^= 0x5A;
  }
  Bytes tooLarge = MakePackage(data_, {.declaredSize = static_cast<std::int64_t>(data_.size()) + 1});
  Bytes outsideRange = good;
  outsideRange[0] = 225;  // pb 5

  struct {
    const char* label;
    Bytes package;
  } const cases[] = {
      {"cut in half", cut},
      {"unknown size without an end marker", noMarker},
      {"first range-coder byte not zero", badFirstByte},
      {"corrupt data", corrupt},
      {"declared size one byte beyond the stream", tooLarge},
      {"properties outside the decoder's range", outsideRange},
      {"header only", Bytes(good.begin(), good.begin() + 13)},
      {"shorter than the header", Bytes(good.begin(), good.begin() + 12)},
      {"empty", {}},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(DecodeToBundle(c.package).empty()) << c.label;
  }
}

TEST_F(Decode, MissingPackageCopyLeavesTheBundleEmpty) {
  WriteFile(bundle_, ToBytes("stale"));
  DecodePackage(copy_.c_str(), bundle_.c_str());
  EXPECT_TRUE(ReadFile(bundle_).empty());
}

}  // namespace

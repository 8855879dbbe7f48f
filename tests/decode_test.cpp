// The package decoding stage on real files: what reaches the bundle file for
// each kind of header and stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

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
       {.dictionarySize = 0xFFFFFFFF,
        .declaredSize = 0xFFFFFFFF,
        .endMarker = true,
        .encoderDictionary = 1 << 20}},
      // The encoder reaches 256 KiB back while the header claims 4 KiB.
      {"dictionary field smaller than the distances used",
       {.dictionarySize = 4096, .encoderDictionary = 1 << 20}},
      {"end marker right at the declared size", {.endMarker = true}},
      {"unknown size with an end marker", {.declaredSize = 0xFFFFFFFF, .endMarker = true}},
      {"unknown size, dictionary field smaller than the distances used",
       {.dictionarySize = 4096,
        .declaredSize = 0xFFFFFFFF,
        .endMarker = true,
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
  std::copy(data.begin(), data.begin() + static_cast<long>(data.size() / 2),
            data.begin() + static_cast<long>(data.size() / 2));
  for (std::uint32_t header : {1u << 20, 8u << 20}) {
    EXPECT_EQ(DecodeToBundle(
                  MakePackage(data, {.dictionarySize = header, .encoderDictionary = 4u << 20})),
              data)
        << header;
  }
}

TEST_F(Decode, BundleThatCannotBeWrittenWholeIsLeftEmpty) {
  PlatformParts ops = SystemParts();
  ops.streams.WriteStream = WriteWithinBudget;
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
  EXPECT_EQ(DecodeToBundle(MakePackage(data_, options)),
            Bytes(data_.begin(), data_.begin() + 1234));
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
  Bytes tooLarge =
      MakePackage(data_, {.declaredSize = static_cast<std::int64_t>(data_.size()) + 1});
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

// ---- .xz packages

std::uint32_t gProcessors = 1;
std::uint32_t CountedProcessors() {
  return gProcessors;
}

// The stage on every kind of machine the decoder tells apart: one processor
// (decoded directly), a few, and more than it takes threads for.
class DecodeXz : public Decode {
 protected:
  // The bundle on each processor count; a failure names the count.
  template <typename Check>
  void OnEveryMachine(const Bytes& package, Check check,
                      std::initializer_list<std::uint32_t> machines = {1, 3, 64}) {
    for (const std::uint32_t processors : machines) {
      PlatformParts ops = CurrentParts();
      ops.clock.CountProcessors = CountedProcessors;
      PlatformOverride use(ops);
      gProcessors = processors;
      check(DecodeToBundle(package), processors);
    }
  }

  Bytes large_ = SampleData(600000, 11);
};

TEST_F(DecodeXz, PackagesDecodeExactlyOnAnyNumberOfThreads) {
  Bytes twoStreams = MakeXzPackage(data_, {.blockSize = 100000});
  const Bytes second = MakeXzPackage(large_, {.check = LZMA_CHECK_SHA256});
  twoStreams.insert(twoStreams.end(), 8, 0);  // stream padding between them
  twoStreams.insert(twoStreams.end(), second.begin(), second.end());
  Bytes both = data_;
  both.insert(both.end(), large_.begin(), large_.end());

  struct {
    const char* label;
    Bytes package;
    Bytes bundle;
  } const cases[] = {
      {"one block, sizes not in its header", MakeXzPackage(data_), data_},
      {"blocks with their sizes, CRC64", MakeXzPackage(large_, {.blockSize = 65536}), large_},
      {"CRC32", MakeXzPackage(large_, {.check = LZMA_CHECK_CRC32, .blockSize = 200000}), large_},
      {"SHA-256", MakeXzPackage(large_, {.check = LZMA_CHECK_SHA256, .blockSize = 70000}), large_},
      {"two streams with padding between", twoStreams, both},
      {"empty bundle", MakeXzPackage({}, {.blockSize = 65536}), {}},
  };
  for (const auto& c : cases) {
    OnEveryMachine(c.package, [&](const Bytes& bundle, std::uint32_t processors) {
      EXPECT_EQ(bundle, c.bundle) << c.label << ", " << processors << " processors";
    });
  }
}

TEST_F(DecodeXz, DictionariesUpTo64MiBDecodeAndLargerOnesAreRefused) {
  // The data needs 1 MiB; the header may claim any dictionary, and the
  // decoder would allocate what it claims.
  const Bytes package = MakeXzPackage(large_, {.blockSize = 300000});
  OnEveryMachine(ClaimingDictionary(package, 28), [&](const Bytes& bundle, std::uint32_t n) {
    EXPECT_EQ(bundle, large_) << "64 MiB, " << n << " processors";
  });
  for (const int property : {29, 35, 40}) {  // 96 MiB, 768 MiB, 4 GiB - 1
    const Bytes claim = ClaimingDictionary(package, static_cast<std::uint8_t>(property));
    OnEveryMachine(claim, [&](const Bytes& bundle, std::uint32_t n) {
      EXPECT_TRUE(bundle.empty()) << "property " << property << ", " << n << " processors";
    });
  }
}

TEST_F(DecodeXz, RejectedPackagesLeaveAnEmptyBundle) {
  const Bytes good = MakeXzPackage(large_, {.blockSize = 100000});
  Bytes trailing = good;
  trailing.push_back('x');
  Bytes wrongCheck = good;
  // The last block's CRC64 sits just before the index, which starts with a
  // zero byte and ends 12 bytes before the end with its CRC32.
  const std::size_t backwardSize = (LoadLittle32(good.data() + good.size() - 8) + 1u) * 4u;
  wrongCheck.at(good.size() - 12 - backwardSize - 1) ^= 0x01;
  Bytes damaged = good;
  damaged[good.size() / 2] ^= 0x40;

  struct {
    const char* label;
    Bytes package;
  } const cases[] = {
      {"no integrity check", MakeXzPackage(data_, {.check = LZMA_CHECK_NONE})},
      {"a wrong check", wrongCheck},
      {"damaged in the middle", damaged},
      {"cut by one byte", Bytes(good.begin(), good.end() - 1)},
      {"cut inside the index", Bytes(good.begin(), good.end() - 14)},
      {"cut in half", Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2))},
      {"the stream header alone", Bytes(good.begin(), good.begin() + 12)},
      {"the magic alone, padded",
       [] {
         Bytes magic(kXzMagic, kXzMagic + sizeof kXzMagic);
         magic.resize(kPackageHeaderSize);
         return magic;
       }()},
      {"a byte after the stream", trailing},
  };
  for (const auto& c : cases) {
    OnEveryMachine(c.package, [&](const Bytes& bundle, std::uint32_t processors) {
      EXPECT_TRUE(bundle.empty()) << c.label << ", " << processors << " processors";
    });
  }
}

TEST_F(DecodeXz, EveryFlippedByteIsCaught) {
  // Small, so that every byte can be tried: two blocks with their sizes and
  // a third, incompressible, stored as it is.
  Bytes data = SampleData(6000, 5);
  for (std::uint32_t i = 0, state = 99; i < 1500; ++i) {
    state = state * 1103515245u + 12345u;
    data.push_back(static_cast<std::uint8_t>(state >> 23));
  }
  const Bytes good = MakeXzPackage(data, {.blockSize = 3000});
  ASSERT_EQ(DecodeToBundle(good), data);
  // One bit flipped, decoded directly; the whole byte flipped, on threads.
  const struct {
    int mask;
    std::uint32_t processors;
  } flips[] = {{0x01, 1}, {0xFF, 3}};
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (const auto& flip : flips) {
      Bytes flipped = good;
      flipped[at] = static_cast<std::uint8_t>(flipped[at] ^ flip.mask);
      OnEveryMachine(flipped,
                     [&](const Bytes& bundle, std::uint32_t processors) {
                       EXPECT_TRUE(bundle.empty())
                           << "byte " << at << " ^ " << flip.mask << " of " << good.size() << ", "
                           << processors << " processors";
                     },
                     {flip.processors});
    }
  }
}

TEST_F(DecodeXz, BundleThatCannotBeWrittenWholeIsLeftEmpty) {
  PlatformParts ops = SystemParts();
  ops.streams.WriteStream = WriteWithinBudget;
  ops.clock.CountProcessors = CountedProcessors;
  PlatformOverride use(ops);
  for (const std::uint32_t processors : {1u, 3u}) {
    gProcessors = processors;
    gWriteBudget = 1000;
    EXPECT_TRUE(DecodeToBundle(MakeXzPackage(large_, {.blockSize = 100000})).empty())
        << processors << " processors";
  }
}

TEST_F(Decode, MissingPackageCopyLeavesTheBundleEmpty) {
  WriteFile(bundle_, ToBytes("stale"));
  DecodePackage(copy_.c_str(), bundle_.c_str());
  EXPECT_TRUE(ReadFile(bundle_).empty());
}

}  // namespace

// The bundle extraction stage on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "launcher/launcher.h"
#include "tests/extraction_test.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

using Extract = ExtractionTest;

TEST_F(Extract, EveryEntryBecomesAFileAndTheBundleGoes) {
  const Bytes big = SampleData(70000, 3);
  ASSERT_EQ(Run(MakeBundle({{"setup.sh", ToBytes("#!/bin/sh\n")},
                            {"empty.dat", {}},
                            {"big.bin", big},
                            {"with blank \xE9.txt", ToBytes("x")}},
                           1, 0)),
            kExtracted);
  EXPECT_EQ(ListDirectory(target_),
            (std::vector<std::string>{"big.bin", "empty.dat", "setup.sh", "with blank \xE9.txt"}));
  EXPECT_EQ(ReadFile(target_ + "/big.bin"), big);
  EXPECT_TRUE(ReadFile(target_ + "/empty.dat").empty());
  EXPECT_EQ(std::string(launchPath_), target_ + "/setup.sh");
  EXPECT_FALSE(Exists(bundle_));
}

TEST_F(Extract, LaunchEntryIsWhatFlagAndIndexDesignate) {
  const std::vector<Entry> entries = {{"a", {}}, {"b", {}}, {"c", {}}};
  struct {
    std::uint32_t flag;
    std::int32_t index;
    const char* launch;
  } const cases[] = {
      {1, 2, "c"}, {1, 0, "a"}, {7, 1, "b"},  // any non-zero flag designates
      {0, 0, ""},  {0, 2, ""},                // flag 0 designates nothing
      {1, 3, ""},  {1, -1, ""},               // index outside the entries
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Run(MakeBundle(entries, c.flag, c.index)), kExtracted);
    const std::string expected = c.launch[0] != '\0' ? target_ + "/" + c.launch : "";
    EXPECT_EQ(std::string(launchPath_), expected) << c.flag << " " << c.index;
  }
}

TEST_F(Extract, HeaderEdgeCases) {
  const Bytes oneEntry = MakeBundle({{"a", ToBytes("1")}}, 1, 0);
  Bytes negative = oneEntry;
  negative[3] = negative[4] = negative[5] = negative[6] = 0xFF;  // count -1
  Bytes zero = oneEntry;
  zero[3] = 0;
  Bytes trailing = oneEntry;
  trailing.push_back('!');
  const auto cut = [&oneEntry](std::size_t size) {
    return Bytes(oneEntry.begin(), oneEntry.begin() + static_cast<long>(size));
  };
  Bytes lastMagicByte = cut(7);
  lastMagicByte[2] = 'M';
  struct {
    const char* label;
    Bytes bundle;
    ExtractOutcome exit;
    bool fileA;
  } const cases[] = {
      {"empty bundle file", {}, kBundleWithoutMagic, false},
      {"HEM instead of HEN", lastMagicByte, kBundleWithoutMagic, false},
      {"magic alone", cut(3), kExtracted, false},
      {"header cut inside the count", cut(5), kExtracted, false},
      {"header cut inside the index", cut(12), kEntryNotWritten, false},
      {"count zero", zero, kExtracted, false},
      {"count negative", negative, kExtracted, false},
      {"bytes after the last entry", trailing, kExtracted, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.bundle), c.exit) << c.label;
    EXPECT_EQ(Exists(target_ + "/a"), c.fileA) << c.label;
    EXPECT_EQ(launchPath_[0] != '\0', c.fileA) << c.label << ": a cut header designates nothing";
    EXPECT_EQ(Exists(bundle_), c.exit != kExtracted) << c.label;
    std::remove((target_ + "/a").c_str());
  }
}

TEST_F(Extract, DirectoryEndingInASeparatorGetsNoSecondOne) {
  ASSERT_EQ(Run(MakeBundle({{"x", ToBytes("1")}}, 1, 0), target_ + "/"), kExtracted);
  EXPECT_EQ(std::string(launchPath_), target_ + "/x");
}

TEST_F(Extract, LaterEntryOfTheSameNameReplacesTheEarlier) {
  ASSERT_EQ(Run(MakeBundle({{"x", ToBytes("first, longer")}, {"x", ToBytes("second")}})),
            kExtracted);
  EXPECT_EQ(ReadFile(target_ + "/x"), ToBytes("second"));
}

TEST_F(Extract, NamesOutsideTheFormatAreRefusedBeforeAnythingIsWritten) {
  const std::string outside = dir_.Join("outside");
  const std::string names[] = {
      "../outside",
      "..",
      ".",
      "",
      "sub/file",
      "..\\outside",
      "c:outside",
      std::string("out\0side", 8),
      std::string(260, 'n'),
      // Fits a name but not the joined path.
      std::string(kPathCapacity - target_.size() - 1, 'n'),
  };
  for (const std::string& name : names) {
    EXPECT_EQ(Run(MakeBundle({{"before", ToBytes("b")}, {name, ToBytes("evil")}, {"after", {}}})),
              kEntryNotWritten)
        << name;
    EXPECT_EQ(ListDirectory(target_), std::vector<std::string>{"before"}) << name;
    EXPECT_EQ(ListDirectory(dir_.path()), (std::vector<std::string>{"mrlbundle", "mrltarget"}))
        << name;
    EXPECT_FALSE(Exists(outside));
  }
}

TEST_F(Extract, LongestNameThatFitsIsWritten) {
  const std::string name(kPathCapacity - target_.size() - 2, 'n');
  ASSERT_EQ(Run(MakeBundle({{name, ToBytes("ok")}})), kExtracted);
  EXPECT_EQ(ReadFile(target_ + "/" + name), ToBytes("ok"));
}

TEST_F(Extract, BundleShorterThanItAnnouncesIsRefused) {
  const Bytes whole = MakeBundle({{"before", ToBytes("b")}, {"second", ToBytes("0123456789")}});
  const std::size_t secondRecord = 15 + 4 + 6 + 4 + 1;
  Bytes hugeSize = whole;
  hugeSize[secondRecord + 4 + 6 + 3] = 0xFF;  // S becomes about 4 GiB
  Bytes hugeName = whole;
  hugeName[secondRecord] = 200;  // N runs past the end
  struct {
    const char* label;
    Bytes bundle;
  } const cases[] = {
      {"data cut short", Bytes(whole.begin(), whole.end() - 1)},
      {"size field cut short",
       Bytes(whole.begin(), whole.begin() + static_cast<long>(secondRecord) + 12)},
      {"name cut short", Bytes(whole.begin(), whole.begin() + static_cast<long>(secondRecord) + 7)},
      {"name length cut short",
       Bytes(whole.begin(), whole.begin() + static_cast<long>(secondRecord) + 2)},
      {"announced size of about 4 GiB", hugeSize},
      {"name length past the end", hugeName},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.bundle), kEntryNotWritten) << c.label;
    // Nothing at all is made for the entry that runs short.
    EXPECT_EQ(ListDirectory(target_), std::vector<std::string>{"before"}) << c.label;
    EXPECT_TRUE(Exists(bundle_)) << c.label;
  }
}

TEST_F(Extract, EntryThatCannotBeCreatedIsNotWritten) {
  mkdir((target_ + "/taken").c_str(), 0700);
  EXPECT_EQ(Run(MakeBundle({{"first", ToBytes("1")}, {"taken", ToBytes("2")}})), kEntryNotWritten);
  EXPECT_EQ(ReadFile(target_ + "/first"), ToBytes("1"));
  EXPECT_TRUE(IsDirectory(target_ + "/taken"));
  EXPECT_TRUE(Exists(bundle_));
}

TEST_F(Extract, MissingBundleIsNotOpened) {
  char launch[kPathCapacity] = {};
  EXPECT_EQ(ExtractBundle(bundle_.c_str(), target_.c_str(), launch), kBundleNotOpened);
  EXPECT_TRUE(ListDirectory(target_).empty());
}

}  // namespace

namespace {

TEST_F(Extract, EntryThatCannotBeWrittenWholeIsNotWritten) {
  PlatformParts ops = SystemParts();
  ops.streams.WriteStream = WriteWithinBudget;
  PlatformOverride use(ops);
  gWriteBudget = 100000;
  EXPECT_EQ(
      Run(MakeBundle({{"fits", SampleData(90000, 1)}, {"does-not", SampleData(90000, 2)}}, 1, 1)),
      kEntryNotWritten);
  EXPECT_EQ(ListDirectory(target_), std::vector<std::string>{"fits"});
  EXPECT_EQ(ReadFile(target_ + "/fits"), SampleData(90000, 1));
  EXPECT_TRUE(Exists(bundle_));
}

}  // namespace

namespace {

TEST_F(Extract, PlantedLinksAreNeverFollowed) {
  const std::string victim = dir_.Join("victim");
  WriteFile(victim, ToBytes("untouched"));
  // A link where an entry is to be written: the entry is refused.
  ASSERT_EQ(symlink(victim.c_str(), (target_ + "/setup.sh").c_str()), 0);
  EXPECT_EQ(Run(MakeBundle({{"setup.sh", ToBytes("evil")}})), kEntryNotWritten);
  EXPECT_EQ(ReadFile(victim), ToBytes("untouched"));

  // A link in place of the bundle file: it is not opened at all.
  std::remove((target_ + "/setup.sh").c_str());
  WriteFile(dir_.Join("elsewhere"), MakeBundle({{"x", ToBytes("1")}}));
  std::remove(bundle_.c_str());
  ASSERT_EQ(symlink(dir_.Join("elsewhere").c_str(), bundle_.c_str()), 0);
  char launch[kPathCapacity] = {};
  EXPECT_EQ(ExtractBundle(bundle_.c_str(), target_.c_str(), launch), kBundleNotOpened);
  EXPECT_TRUE(ListDirectory(target_).empty());
}

}  // namespace

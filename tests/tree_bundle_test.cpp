// The tree bundle: its path rules, its magic, and extraction of it on real
// files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "format/tree_bundle.h"
#include "launcher/launcher.h"
#include "tests/extraction_test.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

TEST(TreeBundlePaths, AcceptedAndRefused) {
  const std::string longest(kLongestPathComponent, 'n');
  std::string deepest;
  while (deepest.size() + 2 <= kLongestEntryPath) {
    deepest += deepest.empty() ? "d" : "/d";
  }
  struct {
    std::string path;
    bool accepted;
  } const cases[] = {
      {"setup.sh", true},
      {"app/data/setup.exe", true},
      {"\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB/\xE8\xAF\xB4\xE6\x98\x8E.txt", true},  // Cyrillic, CJK
      {"emoji \xF0\x9F\x98\x80", true},
      {longest, true},
      {longest + "n", false},
      {deepest, true},
      {deepest + std::string(kLongestEntryPath - deepest.size() + 1, 'x'), false},
      {"", false},
      {"/abs", false},
      {"a/", false},
      {"a//b", false},
      {".", false},
      {"a/./b", false},
      {"..", false},
      {"a/../../b", false},
      {"c:x", false},
      {"a\\b", false},
      {"a/nul.txt", false},
      {"COM1/x", false},
      {"com\xC2\xB9.txt", false},  // superscript one: a device to Windows
      {"a./b", false},
      {"a /b", false},
      {std::string("a\0b", 3), false},
      {"a\x01", false},
      {"a?b", false},
      {"a*b", false},
      {"a<b", false},
      {"a|b", false},
      {"a\"b", false},
      {"caf\xE9", false},           // Latin-1, not UTF-8
      {"\xC0\xAF", false},          // overlong '/'
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xF4\x90\x80\x80", false},  // past U+10FFFF
      {"\xE8\xAF", false},          // cut short
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAcceptableEntryPath(c.path.data(), c.path.size()), c.accepted) << c.path;
  }
}

TEST(TreeBundlePaths, RevisionsAreToldApartByTheirMagic) {
  const std::uint8_t tree[] = {'M', 'R', 'B', '2', 0, 0, 0, 0};
  const std::uint8_t flat[] = {'H', 'E', 'N', 0};
  EXPECT_EQ(BundleRevisionOf(tree, sizeof tree), kTreeBundle);
  EXPECT_EQ(BundleRevisionOf(tree, 3), kNotABundle);
  EXPECT_EQ(BundleRevisionOf(flat, sizeof flat), kFlatBundle);
  // A launcher that knows only the flat bundle compares its three bytes:
  // the tree magic never passes, so such a launcher stops with 9.
  EXPECT_NE(std::memcmp(kTreeBundleMagic, kBundleMagic, sizeof kBundleMagic), 0);
}

TEST(TreeBundlePaths, LaunchPathsLieInsideTheExtractionDirectory) {
  struct {
    const char* path;
    bool inside;
  } const cases[] = {
      {"/t/mrlX/setup", true},  {"/t/mrlX/app/sub/setup", true}, {"/t/mrlX", false},
      {"/t/mrlX/", false},      {"/t/mrlXY/setup", false},       {"/t/mrlX/../setup", false},
      {"/t/mrlX/a/./b", false}, {"/t/mrlX/a//b", false},         {"/t/other/setup", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LiesInside(c.path, "/t/mrlX"), c.inside) << c.path;
  }
}

struct TreeEntry {
  std::uint32_t kind;
  std::string path;
  Bytes data;
};

Bytes MakeTreeBundle(const std::vector<TreeEntry>& entries, std::uint32_t launch = kNoLaunchEntry) {
  Bytes bundle(kTreeBundleHeaderSize);
  WriteTreeBundleHeader(static_cast<std::uint32_t>(entries.size()), launch, bundle.data());
  for (const TreeEntry& entry : entries) {
    AppendLittleEndian(bundle, entry.kind, 4);
    AppendLittleEndian(bundle, entry.path.size(), 4);
    bundle.insert(bundle.end(), entry.path.begin(), entry.path.end());
    AppendLittleEndian(bundle, entry.data.size(), 4);
    bundle.insert(bundle.end(), entry.data.begin(), entry.data.end());
  }
  return bundle;
}

class ExtractTree : public ExtractionTest {
 protected:
  mode_t ModeOf(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }
};

TEST_F(ExtractTree, FoldersFilesAndFlagsAreWrittenAndTheLaunchEntryMayBeDeep) {
  const Bytes big = SampleData(70000, 5);
  ASSERT_EQ(Run(MakeTreeBundle({{kTreeDirectory, "app", {}},
                                {kTreeDirectory, "app/empty", {}},
                                {kTreeExecutableFile, "app/bin/setup", ToBytes("#!/bin/sh\n")},
                                {kTreeFile, "app/bin/\xE8\xAF\xB4\xE6\x98\x8E.txt", big},
                                {kTreeDirectory, "app", {}},  // again: taken as it is
                                {kTreeFile, "top.txt", {}}},
                               2)),
            kExtracted);
  EXPECT_EQ(ListDirectory(target_), (std::vector<std::string>{"app", "top.txt"}));
  EXPECT_EQ(ListDirectory(target_ + "/app"), (std::vector<std::string>{"bin", "empty"}));
  EXPECT_TRUE(ListDirectory(target_ + "/app/empty").empty());
  EXPECT_EQ(ReadFile(target_ + "/app/bin/\xE8\xAF\xB4\xE6\x98\x8E.txt"), big);
  EXPECT_EQ(ModeOf(target_ + "/app/bin/setup"), 0700u);
  EXPECT_EQ(ModeOf(target_ + "/top.txt"), 0600u);
  EXPECT_EQ(ModeOf(target_ + "/app/empty"), 0700u);
  EXPECT_EQ(std::string(launchPath_), target_ + "/app/bin/setup");
  EXPECT_FALSE(Exists(bundle_));
}

TEST_F(ExtractTree, RefusedBundlesEndAtTheEntryAndKeepTheBundle) {
  const Bytes whole = MakeTreeBundle({{kTreeFile, "a", ToBytes("1")}});
  struct {
    const char* label;
    Bytes bundle;
  } const cases[] = {
      {"file where a folder is", MakeTreeBundle({{kTreeDirectory, "a", {}}, {kTreeFile, "a", {}}})},
      {"folder where a file is",
       MakeTreeBundle({{kTreeFile, "a", {}}, {kTreeDirectory, "a/b", {}}})},
      {"same file twice", MakeTreeBundle({{kTreeFile, "a", {}}, {kTreeFile, "a", {}}})},
      {"launch entry a folder", MakeTreeBundle({{kTreeDirectory, "a", {}}}, 0)},
      {"folder with data", MakeTreeBundle({{kTreeDirectory, "a", ToBytes("x")}})},
      {"unknown kind", MakeTreeBundle({{3, "a", {}}})},
      {"traversal", MakeTreeBundle({{kTreeFile, "a/../../b", {}}})},
      {"header cut short", Bytes(whole.begin(), whole.begin() + 9)},
      {"data cut short", Bytes(whole.begin(), whole.end() - 1)},
  };
  for (const auto& c : cases) {
    RemoveAll(target_);
    mkdir(target_.c_str(), 0700);
    EXPECT_EQ(Run(c.bundle), kEntryNotWritten) << c.label;
    EXPECT_TRUE(Exists(bundle_)) << c.label;
    EXPECT_EQ(launchPath_[0], '\0') << c.label;
  }
}

TEST_F(ExtractTree, APlantedLinkIsNeverFollowed) {
  const std::string outside = dir_.Join("outside");
  mkdir(outside.c_str(), 0700);
  ASSERT_EQ(symlink(outside.c_str(), (target_ + "/app").c_str()), 0);
  EXPECT_EQ(Run(MakeTreeBundle({{kTreeFile, "app/x", ToBytes("x")}})), kEntryNotWritten);
  ASSERT_EQ(symlink((outside + "/f").c_str(), (target_ + "/f").c_str()), 0);
  EXPECT_EQ(Run(MakeTreeBundle({{kTreeFile, "f", ToBytes("x")}})), kEntryNotWritten);
  EXPECT_TRUE(ListDirectory(outside).empty());
}

}  // namespace

// Removing the extraction directory: depth first, links never followed,
// nothing outside the given directory touched.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "launcher/launcher.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

// Files with this name cannot be deleted, as a read-only file on Windows.
bool RefuseKeepers(const char* path) {
  const char* name = std::strrchr(path, '/');
  if (name != nullptr && std::strcmp(name + 1, "keeper") == 0) {
    return false;
  }
  return kSystemPlatform.DeleteFileAt(path);
}

class Remove : public ::testing::Test {
 protected:
  void SetUp() override { mkdir(tree_.c_str(), 0700); }

  ScratchDirectory dir_;
  std::string tree_ = dir_.Join("mrltree");
};

TEST_F(Remove, EmptyDirectoryIsRemoved) {
  EXPECT_TRUE(RemoveTree(tree_.c_str()));
  EXPECT_FALSE(Exists(tree_));
}

TEST_F(Remove, NestedTreeIsRemovedInOneCall) {
  mkdir((tree_ + "/a").c_str(), 0700);
  mkdir((tree_ + "/a/b").c_str(), 0700);
  mkdir((tree_ + "/a/b/c").c_str(), 0700);
  mkdir((tree_ + "/empty").c_str(), 0700);
  WriteFile(tree_ + "/top.txt", ToBytes("1"));
  WriteFile(tree_ + "/a/b/c/deep.txt", ToBytes("2"));
  WriteFile(tree_ + "/.hidden", ToBytes("3"));
  WriteFile(tree_ + "/a/..x", ToBytes("4"));
  EXPECT_TRUE(RemoveTree(tree_.c_str()));
  EXPECT_FALSE(Exists(tree_));
}

TEST_F(Remove, LinksAreRemovedAndNeverFollowed) {
  const std::string outside = dir_.Join("outside");
  mkdir(outside.c_str(), 0700);
  WriteFile(outside + "/precious.txt", ToBytes("keep me"));
  ASSERT_EQ(symlink(outside.c_str(), (tree_ + "/to-directory").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/precious.txt").c_str(), (tree_ + "/to-file").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", (tree_ + "/dangling").c_str()), 0);
  EXPECT_TRUE(RemoveTree(tree_.c_str()));
  EXPECT_FALSE(Exists(tree_));
  EXPECT_EQ(ReadFile(outside + "/precious.txt"), ToBytes("keep me"));
}

TEST_F(Remove, GivenPathThatIsALinkIsNotSearched) {
  const std::string outside = dir_.Join("outside");
  mkdir(outside.c_str(), 0700);
  WriteFile(outside + "/precious.txt", ToBytes("keep me"));
  const std::string link = dir_.Join("mrllink");
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  EXPECT_FALSE(RemoveTree(link.c_str()));
  EXPECT_EQ(ReadFile(outside + "/precious.txt"), ToBytes("keep me"));
}

TEST_F(Remove, UndeletableFileKeepsItsDirectoriesAndTheSecondCallChangesNothingElse) {
  mkdir((tree_ + "/sub").c_str(), 0700);
  mkdir((tree_ + "/other").c_str(), 0700);
  WriteFile(tree_ + "/sub/keeper", ToBytes("k"));
  WriteFile(tree_ + "/sub/gone", ToBytes("g"));
  WriteFile(tree_ + "/other/gone", ToBytes("g"));
  PlatformOps ops = kSystemPlatform;
  ops.DeleteFileAt = RefuseKeepers;
  PlatformOverride use(ops);
  EXPECT_FALSE(RemoveTree(tree_.c_str()));
  EXPECT_EQ(ListDirectory(tree_), std::vector<std::string>{"sub"});
  EXPECT_EQ(ListDirectory(tree_ + "/sub"), std::vector<std::string>{"keeper"});
  EXPECT_FALSE(RemoveTree(tree_.c_str()));
  EXPECT_TRUE(Exists(tree_ + "/sub/keeper"));
}

TEST_F(Remove, MissingOrEmptyPathChangesNothing) {
  EXPECT_FALSE(RemoveTree(dir_.Join("missing").c_str()));
  EXPECT_FALSE(RemoveTree(""));
  EXPECT_TRUE(IsDirectory(tree_));
}

TEST_F(Remove, PathsThatDoNotFitTheBuffersAreLeftInPlace) {
  // A name that makes the joined path 200 bytes or more is not deleted, so
  // its directory stays; everything else goes.
  const std::string longName(200 - tree_.size(), 'n');
  WriteFile(tree_ + "/" + longName, ToBytes("1"));
  WriteFile(tree_ + "/short", ToBytes("2"));
  EXPECT_FALSE(RemoveTree(tree_.c_str()));
  EXPECT_EQ(ListDirectory(tree_), std::vector<std::string>{longName});

  // A directory path that leaves no room for the search pattern is refused.
  const std::string deep = tree_ + "/" + std::string(196 - tree_.size() - 1, 'd');
  ASSERT_EQ(deep.size(), 196u);
  mkdir(deep.c_str(), 0700);
  EXPECT_FALSE(RemoveTree(deep.c_str()));
  EXPECT_TRUE(IsDirectory(deep));
}

}  // namespace

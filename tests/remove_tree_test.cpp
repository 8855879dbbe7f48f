// Removing the extraction directory: depth first, links never followed,
// nothing outside the given directory touched, also when the tree is moved
// while removal runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "platform/directory_listing.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

// Files with this name cannot be deleted, as a read-only file on Windows.
bool RefuseKeepers(TreeWalk* walk, const char* name) {
  return std::strcmp(name, "keeper") != 0 && kSystemTreeWalk.DeleteWalkEntry(walk, name);
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
  PlatformParts ops = SystemParts();
  ops.treeWalk.DeleteWalkEntry = RefuseKeepers;
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

TEST_F(Remove, NoPathIsTooLongAndNoTreeTooDeep) {
  // Forty levels of 250-byte names: paths of 10,000 bytes, made relative to
  // each level as an installer would.
  int fd = open(tree_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const std::string name(250, 'd');
  for (int level = 0; level < 40; ++level) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0);
    const int file = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(file, 0);
    close(openat(file, "f", O_WRONLY | O_CREAT, 0600));
    close(fd);
    fd = file;
  }
  close(fd);
  EXPECT_TRUE(RemoveTree(tree_.c_str()));
  EXPECT_FALSE(Exists(tree_));
}

// ---- A tree moved while removal runs

std::string gTree;
std::string gOutside;
std::string gVictim;
bool gSwapped;
void (*gSwap)();

// Once, when the walk is first inside d: d goes elsewhere and a link to the
// victim takes its name.
void MoveWithinTheTree() {
  std::rename((gTree + "/d").c_str(), (gTree + "/d-moved").c_str());
  symlink(gVictim.c_str(), (gTree + "/d").c_str());
}
void MoveOutOfTheTree() {
  std::rename((gTree + "/d").c_str(), (gOutside + "/d").c_str());
  symlink(gVictim.c_str(), (gTree + "/d").c_str());
}
// Just before the walk enters d: the victim itself takes d's place.
void PutTheVictimInPlace() {
  std::rename((gTree + "/d").c_str(), (gTree + "/d-moved").c_str());
  std::rename(gVictim.c_str(), (gTree + "/d").c_str());
  gVictim = gTree + "/d";
}

// Directories first, so that the walk comes back up to files still to delete.
void ListDirectoriesFirst(TreeWalk* walk, DirectoryListing* out) {
  kSystemTreeWalk.ListWalkDirectory(walk, out);
  std::stable_partition(out->entries, out->entries + out->count,
                        [](const ListedEntry& entry) { return entry.kind == kEntryDirectory; });
}

bool SwapOnFirstDeletion(TreeWalk* walk, const char* name) {
  if (!gSwapped && name[0] == 'f') {
    gSwapped = true;
    gSwap();
  }
  return kSystemTreeWalk.DeleteWalkEntry(walk, name);
}

bool SwapBeforeEntering(TreeWalk* walk, const char* name, const FileIdentity* listed) {
  if (!gSwapped && std::strcmp(name, "d") == 0) {
    gSwapped = true;
    gSwap();
  }
  return kSystemTreeWalk.EnterWalkDirectory(walk, name, listed);
}

TEST_F(Remove, TreeMovedWhileRemovalRunsIsNeverFollowedOut) {
  struct {
    const char* label;
    void (*swap)();
    bool beforeEntering;
  } const cases[] = {
      {"d renamed within the tree, a link in its place", MoveWithinTheTree, false},
      {"d moved out of the tree, a link in its place", MoveOutOfTheTree, false},
      {"another directory put in d's place", PutTheVictimInPlace, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDirectory scratch;
    gTree = scratch.Join("mrltree");
    gOutside = scratch.Join("outside");
    gVictim = scratch.Join("victim");
    for (const std::string& directory : {gTree, gTree + "/d", gOutside, gVictim}) {
      ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    }
    // The victim and the place d is moved to hold names the tree has too.
    std::vector<std::string> names;
    for (int i = 100; i < 120; ++i) {
      names.push_back(std::string("f") + std::to_string(i));
      WriteFile(gTree + "/d/" + names.back(), ToBytes("installer's"));
      WriteFile(gTree + "/" + names.back(), ToBytes("installer's"));
      WriteFile(gVictim + "/" + names.back(), ToBytes("keep me"));
      WriteFile(gOutside + "/" + names.back(), ToBytes("keep me"));
    }

    gSwapped = false;
    gSwap = c.swap;
    PlatformParts ops = SystemParts();
    ops.treeWalk.ListWalkDirectory = ListDirectoriesFirst;
    if (c.beforeEntering) {
      ops.treeWalk.EnterWalkDirectory = SwapBeforeEntering;
    } else {
      ops.treeWalk.DeleteWalkEntry = SwapOnFirstDeletion;
    }
    {
      PlatformOverride use(ops);
      EXPECT_FALSE(RemoveTree(gTree.c_str()));
    }
    EXPECT_TRUE(gSwapped);
    for (const std::string& name : names) {
      EXPECT_EQ(ReadFile(gVictim + "/" + name), ToBytes("keep me")) << name;
      EXPECT_EQ(ReadFile(gOutside + "/" + name), ToBytes("keep me")) << name;
    }
  }
}

// ---- "." and ".." are never worked on, whatever kind they are reported as

std::vector<std::string> gDotsTouched;

void ListWithOddDots(TreeWalk* walk, DirectoryListing* out) {
  kSystemTreeWalk.ListWalkDirectory(walk, out);
  for (EntryKind kind : {kEntryDirectoryLink, kEntryFile, kEntryDirectory, kEntryMountPoint}) {
    AppendListedEntry(out, ".", kind, FileIdentity{});
    AppendListedEntry(out, "..", kind, FileIdentity{});
  }
}

bool NoteDots(const char* name) {
  const bool dots = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
  if (dots) {
    gDotsTouched.push_back(name);
  }
  return dots;
}
bool DeleteNotingDots(TreeWalk* walk, const char* name) {
  return !NoteDots(name) && kSystemTreeWalk.DeleteWalkEntry(walk, name);
}
bool RemoveNotingDots(TreeWalk* walk, const char* name) {
  return !NoteDots(name) && kSystemTreeWalk.RemoveWalkDirectory(walk, name);
}
bool EnterNotingDots(TreeWalk* walk, const char* name, const FileIdentity* listed) {
  return !NoteDots(name) && kSystemTreeWalk.EnterWalkDirectory(walk, name, listed);
}

TEST_F(Remove, DotsAreComparedByNameWhateverTheirKind) {
  mkdir((tree_ + "/sub").c_str(), 0700);
  WriteFile(tree_ + "/sub/file", ToBytes("1"));
  gDotsTouched.clear();
  PlatformParts ops = SystemParts();
  ops.treeWalk.ListWalkDirectory = ListWithOddDots;
  ops.treeWalk.DeleteWalkEntry = DeleteNotingDots;
  ops.treeWalk.RemoveWalkDirectory = RemoveNotingDots;
  ops.treeWalk.EnterWalkDirectory = EnterNotingDots;
  PlatformOverride use(ops);
  EXPECT_TRUE(RemoveTree(tree_.c_str()));
  EXPECT_EQ(gDotsTouched, std::vector<std::string>{});
}

}  // namespace

// The whole sequence in-process, in a real temporary directory, with single
// platform operations broken: every exit code and what each one leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "launcher/launcher.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

int gCalls = 0;
int gFailAtCall = 0;

// The nth unique name fails (counting files and the directory together).
bool FailingUniqueName(const char* directory, UniqueKind kind, char out[kPathCapacity]) {
  return ++gCalls != gFailAtCall && kSystemWorkspace.CreateUniqueName(directory, kind, out);
}
bool NoTempDirectory(char*) {
  return false;
}
bool NoResource(const char*, int, PlatformResource*) {
  return false;
}
bool CannotCreateCopy(const PlatformResource*, const char*) {
  return false;
}
std::FILE* CannotOpenForUpdate(const char* path, StreamMode mode) {
  return mode == kStreamUpdate ? nullptr : kSystemStreams.OpenStream(path, mode);
}

struct What {
  int files = 0;                       // "mrl" files
  int directories = 0;                 // "mrl" directories
  std::vector<std::string> extracted;  // names inside the one directory
  bool nonEmptyFile = false;
};

What Remains(const std::string& root) {
  What what;
  for (const std::string& name : ListDirectory(root)) {
    EXPECT_EQ(name.rfind(kWorkspacePrefix, 0), 0u) << name;
    const std::string path = root + "/" + name;
    if (IsDirectory(path)) {
      ++what.directories;
      what.extracted = ListDirectory(path);
    } else {
      ++what.files;
      what.nonEmptyFile = what.nonEmptyFile || !ReadFile(path).empty();
    }
  }
  return what;
}

class Sequence : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls = 0;
    gFailAtCall = 0;
    ops_ = TestPlatform(root_.path(), &package_);
    ops_.workspace.CreateUniqueName = FailingUniqueName;
  }

  LauncherExit Run(const char* argument = "--no-splash") {
    PlatformOverride use(ops_);
    char* args[] = {const_cast<char*>(argument)};
    return RunLauncher(nullptr, ArgumentTail{nullptr, args, 1});
  }

  ScratchDirectory root_;
  Bytes package_ =
      MakePackage(MakeBundle({{"a.txt", ToBytes("alpha")}, {"b.txt", ToBytes("beta")}}));
  PlatformParts ops_;
};

TEST_F(Sequence, EarlyFailuresLeaveWhatTheyHadMade) {
  struct {
    const char* label;
    void (*breakIt)(PlatformParts&);
    int failAtCall;
    LauncherExit exit;
    int files, directories;
    bool nonEmptyFile;
  } const cases[] = {
      {"no temporary directory",
       [](PlatformParts& o) { o.workspace.GetTempDirectory = NoTempDirectory; }, 0, kExitNoTempPath,
       0, 0, false},
      {"first name", [](PlatformParts&) {}, 1, kExitNoTempName, 0, 0, false},
      {"package copy cannot be created",
       [](PlatformParts& o) { o.resources.WriteResourceToFile = CannotCreateCopy; }, 0,
       kExitPackageCopyFailed, 1, 0, false},
      {"no package resource", [](PlatformParts& o) { o.resources.LookUpResource = NoResource; }, 0,
       kExitPackageCopyFailed, 1, 0, false},
      {"second name", [](PlatformParts&) {}, 2, kExitNoTempName, 1, 0, true},
      {"third name", [](PlatformParts&) {}, 3, kExitNoTempName, 1, 0, true},
  };
  for (const auto& c : cases) {
    SetUp();
    c.breakIt(ops_);
    gFailAtCall = c.failAtCall;
    EXPECT_EQ(Run(), c.exit) << c.label;
    const What what = Remains(root_.path());
    EXPECT_EQ(what.files, c.files) << c.label;
    EXPECT_EQ(what.directories, c.directories) << c.label;
    EXPECT_EQ(what.nonEmptyFile, c.nonEmptyFile) << c.label;
    std::filesystem::remove_all(root_.path());
    std::filesystem::create_directory(root_.path());
  }
}

TEST_F(Sequence, ThirdNameFailureLeavesTheBundleNotThePackageCopy) {
  gFailAtCall = 3;
  ASSERT_EQ(Run(), kExitNoTempName);
  const std::vector<std::string> names = ListDirectory(root_.path());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(ReadFile(root_.Join(names[0]))[0], 'H');
}

TEST_F(Sequence, BundleThatCannotBeOpenedLeavesItAndAnEmptyDirectory) {
  ops_.streams.OpenStream = CannotOpenForUpdate;
  EXPECT_EQ(Run(), kExitBundleOpenFailed);
  const What what = Remains(root_.path());
  EXPECT_EQ(what.files, 1);
  EXPECT_EQ(what.directories, 1);
  EXPECT_TRUE(what.extracted.empty());
}

TEST_F(Sequence, RejectedPackageEndsWithBadMagic) {
  // Cut short: the decoder runs out of input, the bundle stays empty.
  package_.resize(package_.size() - 3);
  EXPECT_EQ(Run(), kExitBadBundleMagic);
  const What what = Remains(root_.path());
  EXPECT_EQ(what.files, 1);
  EXPECT_FALSE(what.nonEmptyFile);
  EXPECT_EQ(what.directories, 1);
  EXPECT_TRUE(what.extracted.empty());
}

TEST_F(Sequence, RefusedEntryKeepsTheEntriesBeforeIt) {
  package_ = MakePackage(MakeBundle(
      {{"first.txt", ToBytes("1")}, {"../escape.txt", ToBytes("2")}, {"third.txt", ToBytes("3")}}));
  EXPECT_EQ(Run(), kExitEntryCreateFailed);
  const What what = Remains(root_.path());
  EXPECT_EQ(what.files, 1);
  EXPECT_TRUE(what.nonEmptyFile);
  EXPECT_EQ(what.directories, 1);
  EXPECT_EQ(what.extracted, std::vector<std::string>{"first.txt"});
  EXPECT_FALSE(Exists(root_.path() + "/../escape.txt"));
}

TEST_F(Sequence, CompletedRunLeavesNothingAndEndsWithOne) {
  EXPECT_EQ(Run(), kExitDone);
  EXPECT_TRUE(ListDirectory(root_.path()).empty());
}

}  // namespace

// What a signal does to a run on POSIX before the installer starts and after
// it has ended, in-process: each run is forked off with the launcher's
// handlers in place, and the signal is raised at a known point. (While the
// installer runs: e2e test_environment.)
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "launcher/launcher.h"
#include "platform/posix/interruptions.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

int gSignal;
StreamMode gRaiseAtMode;
int gRaiseAtOpen;
int gRaiseAtEntry;

// Raises the signal when the stage opens a stream of that mode the nth time.
std::FILE* RaiseAtOpen(const char* path, StreamMode mode) {
  if (mode == gRaiseAtMode && --gRaiseAtOpen == 0) {
    raise(gSignal);
  }
  return kSystemStreams.OpenStream(path, mode);
}

// Raises the signal when the nth entry of a flat bundle is created.
std::FILE* RaiseAtEntry(EntryDirectory* directory, const char* name) {
  if (--gRaiseAtEntry == 0) {
    raise(gSignal);
  }
  return kSystemEntryDirectories.ReplaceEntryFile(directory, name);
}

// Raises the signal at removal's first deletion.
bool RaiseAtFirstDeletion(TreeWalk* walk, const char* name) {
  if (gSignal != 0) {
    raise(gSignal);
    gSignal = 0;
  }
  return kSystemTreeWalk.DeleteWalkEntry(walk, name);
}

// Runs the launcher in a child process as the start-up does; how it ended.
int RunForked(const PlatformParts& ops) {
  const pid_t child = fork();
  if (child == 0) {
    // SIGQUIT's default action would write a core file.
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    PlatformOverride use(ops);
    char argument[] = "x";
    char* args[] = {argument};
    WatchInterruptions();
    const LauncherExit code = RunLauncher(nullptr, ArgumentTail{nullptr, args, 1});
    EndByHeldInterruption();
    _exit(code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// Lists everything below `directory`, for a failure message.
std::string Contents(const std::string& directory) {
  std::string found;
  for (const std::string& name : ListDirectory(directory)) {
    found +=
        name + (IsDirectory(directory + "/" + name) ? "/{" + Contents(directory + "/" + name) + "} "
                                                    : " ");
  }
  return found;
}

TEST(Interruption, BeforeTheInstallerRemovesWhatTheRunMadeAndEndsTheLauncher) {
  // (where, at the nth open of a stream of that mode, or the nth entry)
  struct {
    const char* point;
    StreamMode mode;
    int open;
    int entry;
  } const points[] = {
      {"the package copy made, the bundle named", kStreamRead, 1, 0},
      {"the bundle decoded, the directory made", kStreamUpdate, 1, 0},
      {"one entry written, the second being created", kStreamRead, 0, 2},
  };
  const Bytes package = MakePackage(MakeBundle(
      {{"setup.sh", ToBytes("#!/bin/sh\n")}, {"a.txt", ToBytes("a")}, {"b.txt", ToBytes("b")}}, 1,
      0));
  for (const auto& point : points) {
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
      SCOPED_TRACE(std::string(point.point) + ", " + strsignal(signal));
      ScratchDirectory root;
      PlatformParts ops = TestPlatform(root.path(), &package);
      ops.streams.OpenStream = RaiseAtOpen;
      ops.entryDirectories.ReplaceEntryFile = RaiseAtEntry;
      gSignal = signal;
      gRaiseAtMode = point.mode;
      gRaiseAtOpen = point.open;
      gRaiseAtEntry = point.entry;
      const int status = RunForked(ops);
      ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
      EXPECT_EQ(WTERMSIG(status), signal);
      EXPECT_EQ(Contents(root.path()), "");
    }
  }
}

TEST(Interruption, AfterTheInstallerWaitsForRemovalAndThenEndsTheLauncher) {
  // The installer leaves a tree for removal to walk.
  const Bytes package = MakePackage(MakeBundle(
      {{"setup.sh",
        ToBytes("#!/bin/sh\ncd \"$(dirname \"$0\")\" && mkdir -p a/b && echo x > a/b/c\n")},
       {"data.txt", ToBytes("d")}},
      1, 0));
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    ScratchDirectory root;
    PlatformParts ops = TestPlatform(root.path(), &package);
    ops.treeWalk.DeleteWalkEntry = RaiseAtFirstDeletion;
    gSignal = signal;
    const int status = RunForked(ops);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_EQ(Contents(root.path()), "");
  }
}

}  // namespace

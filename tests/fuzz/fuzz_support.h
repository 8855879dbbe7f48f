// What both fuzz targets share beyond tests/support.h: a loud stop when an
// invariant breaks (libFuzzer then saves the input that did it), a scratch
// root kept after a finding, a record of the streams a stage left open, and a
// platform table that lets a stage do only its own work.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support.h"

namespace fuzz {

using testing_support::Bytes;

[[noreturn]] inline void Fail(const char* format, ...) {
  std::fprintf(stderr, "\n==== invariant broken: ");
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "\n");
  std::abort();
}

// One directory per process under $TMPDIR (else /tmp), removed when the
// process exits normally; a finding aborts, which keeps its files to look at.
inline const std::string& ScratchRoot() {
  // On the heap, so that it outlives the static destructors, which run
  // before the exit handler that removes it.
  static testing_support::ScratchDirectory* const root = [] {
    auto* directory = new testing_support::ScratchDirectory;
    std::atexit([] { delete root; });
    return directory;
  }();
  return root->path();
}

// Whether `name` is one name alone: neither empty, nor a dot or two, nor
// holding a separator.
inline bool IsBareName(const char* name) {
  return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

// Whether `path` names an entry directly inside `directory`: the directory, one
// separator, then a bare name. This is where an entry may be written, as a
// plain string test, so that it also holds for paths the stage never got as
// far as opening.
inline bool IsDirectChild(const std::string& directory, const char* path) {
  const std::size_t length = directory.size();
  return std::strncmp(path, directory.c_str(), length) == 0 && path[length] == '/' &&
         IsBareName(path + length + 1);
}

// The streams a stage opened and has not closed: a stage must close every
// stream it opened, on every path, or a run would hold descriptors (and, on
// Windows, files it can then not delete).
class StreamLedger {
 public:
  void Opened(std::FILE* stream) {
    if (stream != nullptr) {
      open_.push_back(stream);
    }
  }
  void Closing(std::FILE* stream) {
    for (std::size_t i = 0; i < open_.size(); ++i) {
      if (open_[i] == stream) {
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      }
    }
    Fail("a stream the stage never opened (or closed twice) is being closed");
  }
  // Closes what was left open; the count of them.
  std::size_t CloseLeftovers() {
    const std::size_t left = open_.size();
    for (std::FILE* stream : open_) {
      kSystemStreams.CloseStream(stream);
    }
    open_.clear();
    return left;
  }

 private:
  std::vector<std::FILE*> open_;
};

inline StreamLedger gLedger;
// The stage under test, as what it may not do reports it.
inline const char* gStage = "";

inline bool CloseThroughLedger(std::FILE* stream) {
  gLedger.Closing(stream);
  return kSystemStreams.CloseStream(stream);
}

inline bool NoUniqueName(const char* directory, UniqueKind, char*) {
  Fail("the %s stage asked for a new name in \"%s\"", gStage, directory);
}
inline bool NoDirectoryRemoval(const char* path) {
  Fail("the %s stage removed the directory \"%s\"", gStage, path);
}
inline TreeWalk* NoTreeWalk(const char* directory) {
  Fail("the %s stage started removing the tree \"%s\"", gStage, directory);
}
inline EntryDirectory* NoEntryDirectory(const char* directory) {
  Fail("the %s stage opened \"%s\" to write entries into", gStage, directory);
}
inline PlatformProcess NoProcess(const char* path, const ArgumentTail*) {
  Fail("the %s stage started \"%s\"", gStage, path);
}
inline bool NoResourceWrite(const PlatformResource*, const char* path) {
  Fail("the %s stage wrote a resource to \"%s\"", gStage, path);
}

// Deletes `path` when it is the one file the stage may delete, and fails the
// run when it is any other.
inline bool DeleteOnly(const std::string& allowed, const char* path) {
  if (allowed != path) {
    Fail("the %s stage deleted \"%s\"", gStage, path);
  }
  return kSystemWorkspace.DeleteFileAt(path);
}

// The system's table for one stage: `open` and `remove` judge every path the
// stage opens or deletes (and must record what they open in gLedger), streams
// close through the ledger, writes take from testing_support::gWriteBudget,
// and whatever else could reach outside the sandbox fails the run on the spot.
inline testing_support::PlatformParts StageOps(const char* stage,
                                               std::FILE* (*open)(const char*, StreamMode),
                                               bool (*remove)(const char*)) {
  gStage = stage;
  testing_support::PlatformParts ops = testing_support::SystemParts();
  ops.streams.OpenStream = open;
  ops.streams.CloseStream = CloseThroughLedger;
  ops.streams.WriteStream = testing_support::WriteWithinBudget;
  ops.workspace.DeleteFileAt = remove;
  ops.workspace.CreateUniqueName = NoUniqueName;
  ops.workspace.RemoveEmptyDirectory = NoDirectoryRemoval;
  ops.treeWalk.StartTreeWalk = NoTreeWalk;
  ops.entryDirectories.OpenEntryDirectory = NoEntryDirectory;
  ops.processes.StartProcess = NoProcess;
  ops.resources.WriteResourceToFile = NoResourceWrite;
  return ops;
}

}  // namespace fuzz

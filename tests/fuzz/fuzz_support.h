// Pieces both fuzz targets share: a private scratch root, plain file helpers,
// a record of the streams a stage left open, and a loud stop when an
// invariant breaks (libFuzzer then saves the input that did it).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] inline void Fail(const char* format, ...) {
  std::fprintf(stderr, "\n==== invariant broken: ");
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "\n");
  std::abort();
}

inline void RemoveAll(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
}

// One directory per process under $TMPDIR (else /tmp). Its name must not start
// with "mrl": that prefix is the launcher's, and leftovers are judged by it.
inline const std::string& ScratchRoot() {
  // Kept on the heap so that it outlives the static destructors, which run
  // before the exit handler that removes the directory.
  static const std::string* const root = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base != nullptr && base[0] != '\0' ? std::string(base) : "/tmp") +
                          "/mirelk-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "cannot make a scratch directory from %s: %s\n", pattern.c_str(),
                   std::strerror(errno));
      std::exit(2);
    }
    // A finding ends the process without this, which keeps its files to look at.
    std::atexit([] { RemoveAll(*root); });
    return new std::string(pattern);
  }();
  return *root;
}

inline void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    Fail("harness cannot create %s: %s", path.c_str(), std::strerror(errno));
  }
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put <= 0) {
      Fail("harness cannot write %s: %s", path.c_str(), std::strerror(errno));
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  close(fd);
}

// False when the file cannot be opened; a symbolic link is not followed.
inline bool ReadWholeFile(const std::string& path, Bytes* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  out->clear();
  std::uint8_t buffer[1 << 16];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      Fail("harness cannot read %s: %s", path.c_str(), std::strerror(errno));
    }
    if (got == 0) {
      break;
    }
    out->insert(out->end(), buffer, buffer + got);
  }
  close(fd);
  return true;
}

inline bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

struct Listed {
  std::string name;
  mode_t mode;  // from lstat: a link is a link
};

// Every entry of `directory` except the dots, unsorted.
inline std::vector<Listed> List(const std::string& directory) {
  std::vector<Listed> entries;
  DIR* handle = opendir(directory.c_str());
  if (handle == nullptr) {
    Fail("harness cannot list %s: %s", directory.c_str(), std::strerror(errno));
  }
  while (const dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    struct stat status;
    if (fstatat(dirfd(handle), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      Fail("harness cannot stat %s/%s", directory.c_str(), entry->d_name);
    }
    entries.push_back({name, status.st_mode});
  }
  closedir(handle);
  return entries;
}

// Whether `path` names an entry directly inside `directory`: the directory, one
// separator, then a name that is neither empty, nor a dot or two, nor holds a
// separator. This is where an entry may be written, as a plain string test, so
// that it also holds for paths the stage never got as far as opening.
inline bool IsDirectChild(const std::string& directory, const char* path) {
  const std::size_t length = directory.size();
  if (std::strncmp(path, directory.c_str(), length) != 0 || path[length] != '/') {
    return false;
  }
  const char* name = path + length + 1;
  return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
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
      kSystemPlatform.CloseStream(stream);
    }
    open_.clear();
    return left;
  }

 private:
  std::vector<std::FILE*> open_;
};

}  // namespace fuzz

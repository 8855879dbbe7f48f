// Whole reads and writes on a POSIX descriptor: retried where a signal or a
// short transfer cut them off, false on an error or an early end. Shared by
// the launcher's POSIX side and mirelk-pack; header-only.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Moves `size` bytes through `transfer(bytes, left, done)`, a read or write of
// at most `left` bytes after `done` already moved, asking `ready()` first
// each time (false gives up).
template <typename Transfer, typename Ready>
bool TransferFull(unsigned char* bytes, std::size_t size, Transfer transfer, Ready ready) {
  std::size_t done = 0;
  while (done < size) {
    if (!ready()) {
      return false;
    }
    const ssize_t moved = transfer(bytes + done, size - done, done);
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    if (moved <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(moved);
  }
  return true;
}

inline bool AlwaysReady() {
  return true;
}

// Reads `size` bytes, each read only once `ready()` says so: a deadline.
template <typename Ready>
bool ReadFullWhen(int fd, void* buffer, std::size_t size, Ready ready) {
  return TransferFull(
      static_cast<unsigned char*>(buffer), size,
      [fd](unsigned char* at, std::size_t left, std::size_t) { return read(fd, at, left); }, ready);
}

inline bool ReadFull(int fd, void* buffer, std::size_t size) {
  return ReadFullWhen(fd, buffer, size, AlwaysReady);
}

inline bool ReadFullAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  return TransferFull(
      static_cast<unsigned char*>(buffer), size,
      [fd, offset](unsigned char* at, std::size_t left, std::size_t done) {
        return pread(fd, at, left, static_cast<off_t>(offset + done));
      },
      AlwaysReady);
}

inline bool WriteFull(int fd, const void* buffer, std::size_t size) {
  // Only written from: the cast lets one loop serve both directions.
  return TransferFull(
      static_cast<unsigned char*>(const_cast<void*>(buffer)), size,
      [fd](unsigned char* at, std::size_t left, std::size_t) { return write(fd, at, left); },
      AlwaysReady);
}

// Resources on POSIX: a table appended to the launcher's own executable,
// read in place, so that the package is never held in memory as a whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "format/resource_table.h"
#include "platform/platform.h"
#include "platform/posix/full_io.h"
#include "platform/posix/private_file.h"

namespace {

// The executable, opened on the first lookup and kept until the process ends.
int gExecutable = -1;

int OpenExecutable() {
  if (gExecutable < 0) {
    gExecutable = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  }
  return gExecutable;
}

// Copies `size` bytes at `offset` of `from` to the end of `to`, in the kernel
// where it can, through a bounded buffer where it cannot.
bool CopyFileRange(int from, std::uint64_t offset, std::uint64_t size, int to) {
  off_t position = static_cast<off_t>(offset);
  while (size > 0) {
    const std::size_t chunk = size < (1u << 30) ? static_cast<std::size_t>(size) : (1u << 30);
    const ssize_t copied = copy_file_range(from, &position, to, nullptr, chunk, 0);
    if (copied < 0 && errno == EINTR) {
      continue;
    }
    if (copied <= 0) {
      break;
    }
    size -= static_cast<std::uint64_t>(copied);
  }
  if (size == 0) {
    return true;
  }
  constexpr std::size_t kBufferSize = 256 * 1024;
  void* buffer = std::malloc(kBufferSize);
  if (buffer == nullptr) {
    return false;
  }
  bool ok = true;
  while (ok && size > 0) {
    const std::size_t chunk = size < kBufferSize ? static_cast<std::size_t>(size) : kBufferSize;
    ok = ReadFullAt(from, buffer, chunk, static_cast<std::uint64_t>(position)) &&
         WriteFull(to, buffer, chunk);
    position += static_cast<off_t>(chunk);
    size -= chunk;
  }
  std::free(buffer);
  return ok;
}

bool PosixLookUpResource(const char* type, int id, PlatformResource* out) {
  const int fd = OpenExecutable();
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 ||
      static_cast<std::uint64_t>(status.st_size) < kResourceTrailerSize) {
    return false;
  }
  const std::uint64_t fileSize = static_cast<std::uint64_t>(status.st_size);

  std::uint8_t trailer[kResourceTrailerSize];
  ResourceTable table = {};
  if (!ReadFullAt(fd, trailer, sizeof trailer, fileSize - kResourceTrailerSize) ||
      !ReadResourceTrailer(trailer, fileSize, &table)) {
    return false;
  }
  for (std::uint32_t i = 0; i < table.count; ++i) {
    std::uint8_t bytes[kResourceEntrySize];
    if (!ReadFullAt(fd, bytes, sizeof bytes, table.offset + i * kResourceEntrySize)) {
      return false;
    }
    const ResourceEntry entry = ReadResourceEntry(bytes);
    if (!ResourceEntryIs(entry, type, id)) {
      continue;
    }
    if (entry.offset > table.offset || entry.size > table.offset - entry.offset) {
      return false;
    }
    out->data = nullptr;
    out->offset = entry.offset;
    out->size = entry.size;
    return true;
  }
  return false;
}

bool PosixWriteResourceToFile(const PlatformResource* resource, const char* path) {
  const int fd = OpenPrivateFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  // As with a single write of the whole resource, the outcome is not reported.
  if (resource->data != nullptr) {
    WriteFull(fd, resource->data, static_cast<std::size_t>(resource->size));
  } else {
    CopyFileRange(OpenExecutable(), resource->offset, resource->size, fd);
  }
  close(fd);
  return true;
}

bool PosixReadResource(const PlatformResource* resource, void* out) {
  if (resource->data != nullptr) {
    std::memcpy(out, resource->data, static_cast<std::size_t>(resource->size));
    return true;
  }
  const int fd = OpenExecutable();
  return fd >= 0 && ReadFullAt(fd, out, static_cast<std::size_t>(resource->size), resource->offset);
}

}  // namespace

constinit const ResourceOps kSystemResources = {PosixLookUpResource, PosixWriteResourceToFile,
                                                PosixReadResource};

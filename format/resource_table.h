// The resource table a POSIX launcher carries after its own executable image
// (docs/resource-table.md). The loader ignores bytes past the image, so
// mirelk-pack attach simply appends the resources, one entry per resource
// and a trailer; the launcher reads them in place. Integers little-endian.
// Header-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/byte_order.h"

constexpr char kResourceTableMagic[8] = {'M', 'R', 'L', 'R', 'S', 'R', 'C', '1'};

// An entry: type name (ASCII, zero-padded), id, reserved (0), offset of the
// data from the start of the file, data size.
constexpr std::size_t kResourceTypeSize = 16;
constexpr std::size_t kResourceEntrySize = kResourceTypeSize + 4 + 4 + 8 + 8;

// The trailer, the file's last bytes: table offset, entry count, reserved
// (0), magic.
constexpr std::size_t kResourceTrailerSize = 8 + 4 + 4 + sizeof kResourceTableMagic;

// More entries than a launcher ever needs means the table is damaged.
constexpr std::uint32_t kResourceTableMaxEntries = 64;

struct ResourceTable {
  std::uint64_t offset;  // of the first entry
  std::uint32_t count;
};

struct ResourceEntry {
  char type[kResourceTypeSize];
  std::uint32_t id;
  std::uint64_t offset;
  std::uint64_t size;
};

// Whether the last bytes of a file of `fileSize` bytes are a trailer whose
// table fills the rest of the file exactly.
inline bool ReadResourceTrailer(const std::uint8_t* trailer, std::uint64_t fileSize,
                                ResourceTable* out) {
  if (std::memcmp(trailer + 16, kResourceTableMagic, sizeof kResourceTableMagic) != 0) {
    return false;
  }
  const std::uint64_t offset = LoadLittle64(trailer);
  const std::uint32_t count = LoadLittle32(trailer + 8);
  if (count > kResourceTableMaxEntries || offset > fileSize ||
      fileSize - offset != count * kResourceEntrySize + kResourceTrailerSize) {
    return false;
  }
  out->offset = offset;
  out->count = count;
  return true;
}

inline ResourceEntry ReadResourceEntry(const std::uint8_t* bytes) {
  ResourceEntry entry = {};
  std::memcpy(entry.type, bytes, kResourceTypeSize);
  entry.id = LoadLittle32(bytes + kResourceTypeSize);
  entry.offset = LoadLittle64(bytes + kResourceTypeSize + 8);
  entry.size = LoadLittle64(bytes + kResourceTypeSize + 16);
  return entry;
}

// Whether the entry is of `type` and `id`; a type name too long for the
// table matches nothing.
inline bool ResourceEntryIs(const ResourceEntry& entry, const char* type, int id) {
  char wanted[kResourceTypeSize] = {};
  const std::size_t length = std::strlen(type);
  if (length >= sizeof wanted) {
    return false;
  }
  std::memcpy(wanted, type, length);
  return std::memcmp(entry.type, wanted, sizeof wanted) == 0 &&
         static_cast<std::uint64_t>(entry.id) == static_cast<std::uint64_t>(id);
}

// The entry's bytes, zero-padding and reserved field included.
inline void WriteResourceEntry(const char* type, std::uint32_t id, std::uint64_t offset,
                               std::uint64_t size, std::uint8_t* out) {
  std::memset(out, 0, kResourceEntrySize);
  const std::size_t length = std::strlen(type);
  std::memcpy(out, type, length < kResourceTypeSize ? length : kResourceTypeSize - 1);
  StoreLittleEndian(out + kResourceTypeSize, id, 4);
  StoreLittleEndian(out + kResourceTypeSize + 8, offset, 8);
  StoreLittleEndian(out + kResourceTypeSize + 16, size, 8);
}

inline void WriteResourceTrailer(const ResourceTable& table, std::uint8_t* out) {
  StoreLittleEndian(out, table.offset, 8);
  StoreLittleEndian(out + 8, table.count, 4);
  StoreLittleEndian(out + 12, 0, 4);
  std::memcpy(out + 16, kResourceTableMagic, sizeof kResourceTableMagic);
}

// Whether a file already ends in a table's magic: attaching twice would bury
// the first table.
inline bool EndsWithResourceMagic(const std::uint8_t* bytes, std::size_t size) {
  return size >= kResourceTrailerSize &&
         std::memcmp(bytes + size - sizeof kResourceTableMagic, kResourceTableMagic,
                     sizeof kResourceTableMagic) == 0;
}

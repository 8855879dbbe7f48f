// The resource table a POSIX launcher carries after its own executable image.
// The loader ignores bytes past the image, so the table can simply be appended;
// docs/resource-table.md describes the layout. Integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kResourceTableMagic[8] = {'M', 'R', 'L', 'R', 'S', 'R', 'C', '1'};

// One entry: type name (zero-padded), id, reserved (0), data offset from the
// start of the file, data size.
constexpr std::size_t kResourceTypeSize = 16;
constexpr std::size_t kResourceEntrySize = kResourceTypeSize + 4 + 4 + 8 + 8;

// The trailer, the file's last bytes: table offset, entry count, reserved (0), magic.
constexpr std::size_t kResourceTrailerSize = 8 + 4 + 4 + sizeof kResourceTableMagic;

// More entries than a launcher ever needs means the table is damaged.
constexpr std::uint32_t kResourceTableMaxEntries = 64;

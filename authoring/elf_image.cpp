// Reading the note segments of an ELF image.
#include "authoring/elf_image.h"

#include <cstring>
#include <string_view>

#include "format/byte_order.h"
#include "format/resource_ids.h"

namespace elf {

namespace {

constexpr std::uint8_t kClass32 = 1;
constexpr std::uint8_t kClass64 = 2;
constexpr std::uint8_t kLittleEndian = 1;
constexpr std::uint8_t kBigEndian = 2;
constexpr std::uint32_t kNoteSegment = 4;  // PT_NOTE

// Fields of either byte order, read only where they lie within the image.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes)
      : bytes_(bytes), big_(bytes[5] == kBigEndian) {}

  bool Fits(std::uint64_t at, std::uint64_t size) const {
    return at <= bytes_.size() && size <= bytes_.size() - at;
  }
  std::uint64_t Field(std::uint64_t at, int size) const {
    std::uint64_t value = 0;
    for (int k = 0; k < size; ++k) {
      const std::uint64_t byte = bytes_[static_cast<std::size_t>(at) + static_cast<std::size_t>(k)];
      value |= byte << (8 * (big_ ? size - 1 - k : k));
    }
    return value;
  }
  std::span<const std::uint8_t> Bytes(std::uint64_t at, std::uint64_t size) const {
    return bytes_.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(size));
  }

 private:
  std::span<const std::uint8_t> bytes_;
  bool big_;
};

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Whether the notes of one segment hold the mark. Notes are padded to the
// segment's alignment, 4 or 8 bytes.
bool SegmentHoldsMark(const Reader& image, std::uint64_t offset, std::uint64_t size,
                      std::uint64_t alignment) {
  const std::string_view owner = LAUNCHER_MARK_TYPE;
  const std::string_view text = LAUNCHER_MARK_TEXT;
  const std::uint64_t padding = alignment == 8 ? 8 : 4;
  std::uint64_t at = offset;
  const std::uint64_t end = offset + size;
  while (at + 12 <= end) {
    const std::uint64_t nameSize = image.Field(at, 4);
    const std::uint64_t descriptionSize = image.Field(at + 4, 4);
    const std::uint64_t type = image.Field(at + 8, 4);
    const std::uint64_t name = at + 12;
    const std::uint64_t description = name + AlignUp(nameSize, padding);
    const std::uint64_t next = description + AlignUp(descriptionSize, padding);
    if (next > end) {
      return false;
    }
    const std::span<const std::uint8_t> nameBytes = image.Bytes(name, nameSize);
    const std::span<const std::uint8_t> descriptionBytes =
        image.Bytes(description, descriptionSize);
    if (type == LAUNCHER_MARK_ID && nameSize == owner.size() + 1 &&
        std::memcmp(nameBytes.data(), owner.data(), owner.size()) == 0 &&
        nameBytes[owner.size()] == 0 && descriptionSize == text.size() &&
        std::memcmp(descriptionBytes.data(), text.data(), text.size()) == 0) {
      return true;
    }
    at = next;
  }
  return false;
}

}  // namespace

bool IsElfImage(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 16 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' &&
         bytes[3] == 'F' && (bytes[4] == kClass32 || bytes[4] == kClass64) &&
         (bytes[5] == kLittleEndian || bytes[5] == kBigEndian);
}

bool CarriesLauncherMark(std::span<const std::uint8_t> image) {
  if (!IsElfImage(image)) {
    return false;
  }
  const Reader reader(image);
  const bool wide = image[4] == kClass64;
  const int word = wide ? 8 : 4;
  // e_phoff, e_phentsize and e_phnum.
  const std::uint64_t tableField = wide ? 32 : 28;
  const std::uint64_t entrySizeField = wide ? 54 : 42;
  if (!reader.Fits(0, entrySizeField + 4)) {
    return false;
  }
  const std::uint64_t table = reader.Field(tableField, word);
  const std::uint64_t entrySize = reader.Field(entrySizeField, 2);
  const std::uint64_t count = reader.Field(entrySizeField + 2, 2);
  // p_offset, p_filesz and p_align within a program header.
  const std::uint64_t offsetField = wide ? 8 : 4;
  const std::uint64_t sizeField = wide ? 32 : 16;
  const std::uint64_t alignField = wide ? 48 : 28;
  if (entrySize < alignField + static_cast<std::uint64_t>(word)) {
    return false;
  }
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t entry = table + k * entrySize;
    if (!reader.Fits(entry, entrySize)) {
      return false;
    }
    if (reader.Field(entry, 4) != kNoteSegment) {
      continue;
    }
    const std::uint64_t offset = reader.Field(entry + offsetField, word);
    const std::uint64_t size = reader.Field(entry + sizeField, word);
    if (reader.Fits(offset, size) &&
        SegmentHoldsMark(reader, offset, size, reader.Field(entry + alignField, word))) {
      return true;
    }
  }
  return false;
}

}  // namespace elf

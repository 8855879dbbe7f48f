// Windows executables: reading the resource tree, writing a new one.
#include "authoring/pe_image.h"

#include <algorithm>

#include "format/byte_order.h"

namespace pe {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint32_t kDirectoryResource = 2;
constexpr std::uint32_t kDirectorySecurity = 4;
constexpr std::uint32_t kDirectoryBaseRelocation = 5;
constexpr std::uint32_t kInitializedData = 0x40;
constexpr std::uint32_t kHighBit = 0x80000000u;
// More resources or directory entries than a stub could sensibly carry mean a
// damaged tree whose entries point at the same tables over and over.
constexpr std::size_t kMaxResources = 65535;
constexpr std::size_t kMaxEntries = 1 << 20;

[[noreturn]] void Fail(const std::string& why) {
  throw FormatError(why);
}

std::uint16_t Read16(Bytes bytes, std::uint64_t at) {
  if (at + 2 > bytes.size()) {
    Fail("the image is cut short");
  }
  return LoadLittle16(bytes.data() + at);
}

std::uint32_t Read32(Bytes bytes, std::uint64_t at) {
  if (at + 4 > bytes.size()) {
    Fail("the image is cut short");
  }
  return LoadLittle32(bytes.data() + at);
}

std::uint64_t AlignUp(std::uint64_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool IsPowerOfTwo(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

struct Section {
  std::size_t header;  // file offset of its header
  std::uint32_t virtualSize;
  std::uint32_t virtualAddress;
  std::uint32_t rawSize;
  std::uint32_t rawPointer;
  std::uint32_t characteristics;
};

struct Directory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

// Where the fields this code reads and changes are, and the sections.
struct Layout {
  ImageKind kind = ImageKind::kPe32;
  std::size_t coffHeader = 0;
  std::size_t optionalHeader = 0;
  std::size_t directories = 0;
  std::uint32_t directoryCount = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t fileAlignment = 0;
  std::vector<Section> sections;

  std::size_t TimeStampField() const { return coffHeader + 4; }
  std::size_t SymbolTableField() const { return coffHeader + 8; }
  std::size_t InitializedDataField() const { return optionalHeader + 8; }
  std::size_t SizeOfImageField() const { return optionalHeader + 56; }
  std::size_t ChecksumField() const { return optionalHeader + 64; }
  std::size_t DirectoryField(std::uint32_t index) const {
    return directories + 8 * std::size_t{index};
  }
};

Layout ReadLayout(Bytes image) {
  if (!IsPeImage(image)) {
    Fail("not a Windows executable (no PE header)");
  }
  Layout layout;
  layout.coffHeader = std::size_t{Read32(image, 0x3C)} + 4;
  const std::uint16_t sectionCount = Read16(image, layout.coffHeader + 2);
  const std::uint16_t optionalSize = Read16(image, layout.coffHeader + 16);
  layout.optionalHeader = layout.coffHeader + 20;
  const std::uint16_t magic = Read16(image, layout.optionalHeader);
  std::size_t directoriesAt = 0;
  if (magic == 0x10B) {
    layout.kind = ImageKind::kPe32;
    directoriesAt = 96;
  } else if (magic == 0x20B) {
    layout.kind = ImageKind::kPe32Plus;
    directoriesAt = 112;
  } else {
    Fail("not a PE32 or PE32+ image (optional header magic " + std::to_string(magic) + ")");
  }
  if (optionalSize < directoriesAt) {
    Fail("the optional header is cut short");
  }
  layout.directoryCount = Read32(image, layout.optionalHeader + directoriesAt - 4);
  if (layout.directoryCount > (optionalSize - directoriesAt) / 8) {
    Fail("the optional header holds fewer data directories than it counts");
  }
  layout.directories = layout.optionalHeader + directoriesAt;
  layout.sectionAlignment = Read32(image, layout.optionalHeader + 32);
  layout.fileAlignment = Read32(image, layout.optionalHeader + 36);
  const std::uint32_t sizeOfHeaders = Read32(image, layout.optionalHeader + 60);
  if (!IsPowerOfTwo(layout.sectionAlignment) || !IsPowerOfTwo(layout.fileAlignment) ||
      layout.fileAlignment > layout.sectionAlignment) {
    Fail("the image's alignments are not powers of two, or the file's exceeds the sections'");
  }
  const std::size_t table = layout.optionalHeader + optionalSize;
  if (table + sectionCount * kSectionHeaderSize >
      std::min<std::size_t>(sizeOfHeaders, image.size())) {
    Fail("the section table does not fit in the headers");
  }
  for (std::size_t k = 0; k < sectionCount; ++k) {
    const std::size_t at = table + k * kSectionHeaderSize;
    const Section section{at,
                          Read32(image, at + 8),
                          Read32(image, at + 12),
                          Read32(image, at + 16),
                          Read32(image, at + 20),
                          Read32(image, at + 36)};
    if (section.rawSize != 0 &&
        std::uint64_t{section.rawPointer} + section.rawSize > image.size()) {
      Fail("a section's data lies beyond the end of the file");
    }
    if (!layout.sections.empty()) {
      const Section& before = layout.sections.back();
      if (section.virtualAddress < std::uint64_t{before.virtualAddress} + before.virtualSize) {
        Fail("the sections are not in address order");
      }
    }
    layout.sections.push_back(section);
  }
  return layout;
}

Directory ReadDirectory(Bytes image, const Layout& layout, std::uint32_t index) {
  if (index >= layout.directoryCount) {
    return {};
  }
  return {Read32(image, layout.DirectoryField(index)),
          Read32(image, layout.DirectoryField(index) + 4)};
}

bool IsSigned(Bytes image, const Layout& layout) {
  const Directory security = ReadDirectory(image, layout, kDirectorySecurity);
  return security.rva != 0 || security.size != 0;
}

// The file bytes of `size` bytes at `rva`, which must lie in one section's data.
Bytes BytesAt(Bytes image, const Layout& layout, std::uint32_t rva, std::uint32_t size) {
  if (size == 0) {
    return {};
  }
  for (const Section& section : layout.sections) {
    if (rva >= section.virtualAddress &&
        std::uint64_t{rva} + size <= std::uint64_t{section.virtualAddress} + section.rawSize) {
      return image.subspan(section.rawPointer + (rva - section.virtualAddress), size);
    }
  }
  Fail("resource data lies outside the image's sections");
}

// Reads the three levels of the resource tree: type, name, language.
class TreeReader {
 public:
  TreeReader(Bytes image, const Layout& layout, Bytes tree)
      : image_(image), layout_(layout), tree_(tree) {}

  std::vector<Resource> ReadAll() {
    Resource resource;
    Walk(0, 0, resource);
    return std::move(found_);
  }

 private:
  ResourceKey Key(std::uint32_t field) {
    if ((field & kHighBit) == 0) {
      return ResourceKey::Number(field);
    }
    const std::uint32_t at = field & ~kHighBit;
    const std::uint16_t length = Read16(tree_, at);
    if (length == 0) {
      Fail("the resource tree holds an empty name");
    }
    ResourceKey key;
    for (std::uint32_t k = 0; k < length; ++k) {
      key.text.push_back(static_cast<char16_t>(Read16(tree_, at + 2 + 2 * std::uint64_t{k})));
    }
    return key;
  }

  void Walk(std::uint32_t table, int level, Resource& path) {
    const std::uint32_t count =
        std::uint32_t{Read16(tree_, table + 12)} + Read16(tree_, table + 14);
    for (std::uint32_t k = 0; k < count; ++k) {
      if (++entries_ > kMaxEntries) {
        Fail("the resource tree holds more than " + std::to_string(kMaxEntries) + " entries");
      }
      const std::uint64_t entry = table + 16 + 8 * std::uint64_t{k};
      const ResourceKey key = Key(Read32(tree_, entry));
      const std::uint32_t target = Read32(tree_, entry + 4);
      const bool isTable = (target & kHighBit) != 0;
      if (isTable != (level < 2)) {
        Fail("the resource tree is not three levels deep (type, name, language)");
      }
      if (level == 0) {
        path.type = key;
      } else if (level == 1) {
        path.name = key;
      } else if (key.IsText()) {
        Fail("the resource tree names a language with a string");
      } else {
        path.language = key.id;
      }
      if (isTable) {
        Walk(target & ~kHighBit, level + 1, path);
        continue;
      }
      if (found_.size() == kMaxResources) {
        Fail("the resource tree holds more than " + std::to_string(kMaxResources) + " resources");
      }
      const std::uint32_t rva = Read32(tree_, target);
      const std::uint32_t size = Read32(tree_, std::uint64_t{target} + 4);
      copied_ += size;
      if (copied_ > image_.size()) {
        Fail("the resource tree's data is larger than the image");
      }
      const Bytes data = BytesAt(image_, layout_, rva, size);
      path.codePage = Read32(tree_, std::uint64_t{target} + 8);
      path.data.assign(data.begin(), data.end());
      found_.push_back(path);
    }
  }

  Bytes image_;
  const Layout& layout_;
  Bytes tree_;
  std::vector<Resource> found_;
  std::uint64_t copied_ = 0;
  std::size_t entries_ = 0;
};

// Resources grouped as the directory tables hold them.
struct NameGroup {
  const ResourceKey* key;
  std::vector<const Resource*> languages;
  std::uint32_t table = 0;
};

struct TypeGroup {
  const ResourceKey* key;
  std::vector<NameGroup> names;
  std::uint32_t table = 0;
};

bool InTreeOrder(const Resource* a, const Resource* b) {
  if (a->type != b->type) {
    return ComesBefore(a->type, b->type);
  }
  if (a->name != b->name) {
    return ComesBefore(a->name, b->name);
  }
  return a->language < b->language;
}

// Stores into `out`, which the caller has made large enough for `at`.
void Put16(std::vector<std::uint8_t>& out, std::uint64_t at, std::uint32_t value) {
  StoreLittleEndian(out.data() + static_cast<std::size_t>(at), static_cast<std::uint16_t>(value),
                    2);
}

void Put32(std::vector<std::uint8_t>& out, std::uint64_t at, std::uint64_t value) {
  StoreLittleEndian(out.data() + static_cast<std::size_t>(at), static_cast<std::uint32_t>(value),
                    4);
}

// The resource section's bytes for a section at `baseRva`: every directory
// table (root, types, names), then the data entries, the name strings, and
// the data, each piece of data aligned to 8 bytes.
std::vector<std::uint8_t> BuildTree(const std::vector<Resource>& resources, std::uint32_t baseRva) {
  std::vector<const Resource*> sorted;
  for (const Resource& resource : resources) {
    sorted.push_back(&resource);
  }
  std::sort(sorted.begin(), sorted.end(), InTreeOrder);
  std::vector<TypeGroup> types;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    const Resource* resource = sorted[k];
    if (k > 0 && !InTreeOrder(sorted[k - 1], resource)) {
      Fail("two resources share a type, name and language");
    }
    if (types.empty() || *types.back().key != resource->type) {
      types.push_back({&resource->type, {}});
    }
    std::vector<NameGroup>& names = types.back().names;
    if (names.empty() || *names.back().key != resource->name) {
      names.push_back({&resource->name, {}});
    }
    names.back().languages.push_back(resource);
  }

  const auto tableSize = [](std::size_t entries) { return 16 + 8 * std::uint64_t{entries}; };
  std::uint64_t size = tableSize(types.size());
  for (TypeGroup& type : types) {
    type.table = static_cast<std::uint32_t>(size);
    size += tableSize(type.names.size());
  }
  for (TypeGroup& type : types) {
    for (NameGroup& name : type.names) {
      name.table = static_cast<std::uint32_t>(size);
      size += tableSize(name.languages.size());
    }
  }
  const std::uint64_t dataEntries = size;
  size += 16 * std::uint64_t{sorted.size()};
  const std::uint64_t strings = size;
  for (const TypeGroup& type : types) {
    size += type.key->IsText() ? 2 + 2 * std::uint64_t{type.key->text.size()} : 0;
    for (const NameGroup& name : type.names) {
      size += name.key->IsText() ? 2 + 2 * std::uint64_t{name.key->text.size()} : 0;
    }
  }
  const std::uint64_t data = AlignUp(size, 8);
  size = data;
  for (const Resource* resource : sorted) {
    size = AlignUp(size, 8) + resource->data.size();
  }
  if (std::uint64_t{baseRva} + size > kLargestResourceEnd) {
    Fail("the resources are too large for an image");
  }

  std::vector<std::uint8_t> out(static_cast<std::size_t>(size), 0);
  std::uint64_t nextString = strings;
  const auto keyField = [&](const ResourceKey& key) -> std::uint64_t {
    if (!key.IsText()) {
      return key.id;
    }
    const std::uint64_t at = nextString;
    Put16(out, at, static_cast<std::uint32_t>(key.text.size()));
    for (std::size_t k = 0; k < key.text.size(); ++k) {
      Put16(out, at + 2 + 2 * k, key.text[k]);
    }
    nextString += 2 + 2 * key.text.size();
    return kHighBit | at;
  };
  const auto tableHeader = [&](std::uint64_t at, std::size_t named, std::size_t numbered) {
    Put16(out, at + 12, static_cast<std::uint32_t>(named));
    Put16(out, at + 14, static_cast<std::uint32_t>(numbered));
  };
  const auto countNamed = [](const auto& groups) {
    return static_cast<std::size_t>(std::count_if(
        groups.begin(), groups.end(), [](const auto& group) { return group.key->IsText(); }));
  };

  tableHeader(0, countNamed(types), types.size() - countNamed(types));
  std::uint64_t nextEntry = dataEntries;
  std::uint64_t nextData = data;
  for (std::size_t t = 0; t < types.size(); ++t) {
    const TypeGroup& type = types[t];
    Put32(out, 16 + 8 * t, keyField(*type.key));
    Put32(out, 16 + 8 * t + 4, kHighBit | type.table);
    tableHeader(type.table, countNamed(type.names), type.names.size() - countNamed(type.names));
    for (std::size_t n = 0; n < type.names.size(); ++n) {
      const NameGroup& name = type.names[n];
      Put32(out, type.table + 16 + 8 * n, keyField(*name.key));
      Put32(out, type.table + 16 + 8 * n + 4, kHighBit | name.table);
      tableHeader(name.table, 0, name.languages.size());
      for (std::size_t l = 0; l < name.languages.size(); ++l) {
        const Resource& resource = *name.languages[l];
        Put32(out, name.table + 16 + 8 * l, resource.language);
        Put32(out, name.table + 16 + 8 * l + 4, nextEntry);
        nextData = AlignUp(nextData, 8);
        Put32(out, nextEntry, baseRva + nextData);
        Put32(out, nextEntry + 4, resource.data.size());
        Put32(out, nextEntry + 8, resource.codePage);
        std::copy(resource.data.begin(), resource.data.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(nextData));
        nextEntry += 16;
        nextData += resource.data.size();
      }
    }
  }
  return out;
}

}  // namespace

bool ComesBefore(const ResourceKey& a, const ResourceKey& b) {
  if (a.IsText() != b.IsText()) {
    return a.IsText();
  }
  return a.IsText() ? a.text < b.text : a.id < b.id;
}

bool IsPeImage(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
    return false;
  }
  const std::uint64_t pe = LoadLittle32(bytes.data() + 0x3C);
  if (pe + 24 > bytes.size()) {
    return false;
  }
  const std::uint8_t* signature = bytes.data() + static_cast<std::size_t>(pe);
  return signature[0] == 'P' && signature[1] == 'E' && signature[2] == 0 && signature[3] == 0;
}

ImageKind KindOf(std::span<const std::uint8_t> image) {
  return ReadLayout(image).kind;
}

bool IsSigned(std::span<const std::uint8_t> image) {
  return IsSigned(image, ReadLayout(image));
}

std::vector<Resource> ReadResources(std::span<const std::uint8_t> image) {
  const Layout layout = ReadLayout(image);
  const Directory directory = ReadDirectory(image, layout, kDirectoryResource);
  if (directory.size == 0) {
    return {};
  }
  for (const Section& section : layout.sections) {
    if (directory.rva >= section.virtualAddress &&
        directory.rva < std::uint64_t{section.virtualAddress} + section.rawSize) {
      const std::uint32_t skip = directory.rva - section.virtualAddress;
      TreeReader reader(image, layout,
                        image.subspan(section.rawPointer + skip, section.rawSize - skip));
      return reader.ReadAll();
    }
  }
  Fail("the resource directory lies outside the image's sections");
}

std::vector<std::uint8_t> WriteResources(std::span<const std::uint8_t> image,
                                         const std::vector<Resource>& resources) {
  Layout layout = ReadLayout(image);
  if (IsSigned(image, layout)) {
    Fail("the image is signed: writing into it would break the signature");
  }
  const Directory directory = ReadDirectory(image, layout, kDirectoryResource);
  const Directory relocations = ReadDirectory(image, layout, kDirectoryBaseRelocation);
  std::size_t first = layout.sections.size();
  for (std::size_t k = 0; k < layout.sections.size(); ++k) {
    if (directory.size != 0 && layout.sections[k].virtualAddress == directory.rva) {
      first = k;
    }
  }
  if (first == layout.sections.size()) {
    Fail("the image has no section of its own for resources");
  }
  // The resource section is rewritten in place; only a base relocation
  // section may follow it, since nothing but its data directory points at it.
  Section& resources_section = layout.sections[first];
  if (resources_section.rawPointer == 0) {
    Fail("the resource section has no place in the file");
  }
  for (std::size_t k = 0; k < layout.sections.size(); ++k) {
    const Section& section = layout.sections[k];
    const bool after = k > first;
    if (after && (section.virtualAddress != relocations.rva || relocations.size == 0)) {
      Fail("sections other than base relocations follow the resources");
    }
    if (!after && k != first && section.rawSize != 0 &&
        std::uint64_t{section.rawPointer} + section.rawSize > resources_section.rawPointer) {
      Fail("the resource section is not the last data in the file");
    }
  }
  for (std::uint32_t index = 0; index < layout.directoryCount; ++index) {
    const Directory other = ReadDirectory(image, layout, index);
    if (index != kDirectoryResource && index != kDirectoryBaseRelocation && other.size != 0 &&
        other.rva >= resources_section.virtualAddress) {
      Fail("data directory " + std::to_string(index) + " points into a section that would move");
    }
  }

  std::uint64_t oldEnd = 0;
  for (const Section& section : layout.sections) {
    oldEnd = std::max(oldEnd, std::uint64_t{section.rawPointer} + section.rawSize);
  }
  const std::uint32_t oldResourcesRaw = resources_section.rawSize;
  const std::vector<std::uint8_t> tree = BuildTree(resources, resources_section.virtualAddress);

  std::vector<std::uint8_t> out(
      image.begin(), image.begin() + static_cast<std::ptrdiff_t>(resources_section.rawPointer));
  const auto appendAligned = [&](const std::uint8_t* bytes, std::size_t count) {
    out.insert(out.end(), bytes, bytes + count);
    out.resize(static_cast<std::size_t>(AlignUp(out.size(), layout.fileAlignment)), 0);
  };
  appendAligned(tree.data(), tree.size());
  resources_section.virtualSize = static_cast<std::uint32_t>(tree.size());
  resources_section.rawSize = static_cast<std::uint32_t>(out.size() - resources_section.rawPointer);
  std::int64_t initializedData = std::int64_t{resources_section.rawSize} - oldResourcesRaw;
  std::uint32_t newRelocationsRva = relocations.rva;
  for (std::size_t k = first + 1; k < layout.sections.size(); ++k) {
    Section& section = layout.sections[k];
    const Section& before = layout.sections[k - 1];
    const std::size_t rawPointer = out.size();
    appendAligned(image.data() + section.rawPointer, section.rawSize);
    if (section.characteristics & kInitializedData) {
      initializedData += std::int64_t(out.size() - rawPointer) - section.rawSize;
    }
    section.rawPointer = static_cast<std::uint32_t>(rawPointer);
    section.rawSize = static_cast<std::uint32_t>(out.size() - rawPointer);
    section.virtualAddress = static_cast<std::uint32_t>(AlignUp(
        std::uint64_t{before.virtualAddress} + before.virtualSize, layout.sectionAlignment));
    newRelocationsRva = section.virtualAddress;
  }
  if (!(resources_section.characteristics & kInitializedData)) {
    initializedData -= std::int64_t{resources_section.rawSize} - oldResourcesRaw;
  }
  // Whatever followed the last section (an overlay, a symbol table) follows it still.
  const std::int64_t shift =
      static_cast<std::int64_t>(out.size()) - static_cast<std::int64_t>(oldEnd);
  out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(oldEnd), image.end());

  const Section& last = layout.sections.back();
  const std::uint64_t sizeOfImage =
      AlignUp(std::uint64_t{last.virtualAddress} + last.virtualSize, layout.sectionAlignment);
  if (sizeOfImage > 0xFFFFFFFFu || out.size() > kLargestImageFile) {
    Fail("the resources are too large for an image");
  }
  for (const Section& section : layout.sections) {
    Put32(out, section.header + 8, section.virtualSize);
    Put32(out, section.header + 12, section.virtualAddress);
    Put32(out, section.header + 16, section.rawSize);
    Put32(out, section.header + 20, section.rawPointer);
  }
  Put32(out, layout.DirectoryField(kDirectoryResource), resources_section.virtualAddress);
  Put32(out, layout.DirectoryField(kDirectoryResource) + 4, tree.size());
  if (relocations.size != 0) {
    Put32(out, layout.DirectoryField(kDirectoryBaseRelocation), newRelocationsRva);
  }
  Put32(out, layout.SizeOfImageField(), sizeOfImage);
  Put32(out, layout.InitializedDataField(),
        static_cast<std::uint32_t>(Read32(image, layout.InitializedDataField()) + initializedData));
  const std::uint32_t symbols = Read32(image, layout.SymbolTableField());
  if (symbols != 0 && symbols >= oldEnd) {
    Put32(out, layout.SymbolTableField(), static_cast<std::uint64_t>(symbols + shift));
  }
  Put32(out, layout.ChecksumField(), 0);
  Put32(out, layout.ChecksumField(), Checksum(out, layout.ChecksumField()));
  return out;
}

std::uint32_t TimeStamp(std::span<const std::uint8_t> image) {
  return Read32(image, ReadLayout(image).TimeStampField());
}

void SetTimeStamp(std::vector<std::uint8_t>& image, std::uint32_t stamp) {
  const Layout layout = ReadLayout(image);
  Put32(image, layout.TimeStampField(), stamp);
  Put32(image, layout.ChecksumField(), Checksum(image, layout.ChecksumField()));
}

std::uint32_t Checksum(std::span<const std::uint8_t> image, std::size_t checksumOffset) {
  const auto byteAt = [&](std::size_t at) -> std::uint32_t {
    if (at >= image.size() || (at >= checksumOffset && at < checksumOffset + 4)) {
      return 0;
    }
    return image[at];
  };
  std::uint64_t sum = 0;
  for (std::size_t at = 0; at < image.size(); at += 2) {
    sum += byteAt(at) | (byteAt(at + 1) << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + image.size());
}

}  // namespace pe

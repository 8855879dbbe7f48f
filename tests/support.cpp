#include "tests/support.h"

#include <dirent.h>
#include <lzma.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "format/bundle.h"
#include "format/package.h"
#include "format/resource_ids.h"

namespace testing_support {

namespace {

std::string gTempDirectory;
const Bytes* gPackage = nullptr;

bool TestGetTempDirectory(char out[kPathCapacity]) {
  std::memset(out, 0, kPathCapacity);
  std::snprintf(out, kPathCapacity, "%s/", gTempDirectory.c_str());
  return true;
}

bool TestLookUpResource(const char* type, int id, PlatformResource* out) {
  if (gPackage == nullptr || std::strcmp(type, kPackageResourceType) != 0 ||
      id != PACKAGE_RESOURCE_ID) {
    return false;
  }
  out->data = gPackage->data();
  out->offset = 0;
  out->size = gPackage->size();
  return true;
}

}  // namespace

Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/mirelk-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a scratch directory from " + pattern);
  }
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  RemoveAll(path_);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void RemoveAll(const std::string& path) {
  std::error_code error;
  // Tests may leave directories without permissions behind.
  if (KindOf(path) == Kind::kDirectory) {
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
  }
  std::filesystem::remove_all(path, error);
}

Kind KindOf(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    return Kind::kMissing;
  }
  if (S_ISREG(status.st_mode)) {
    return Kind::kFile;
  }
  if (S_ISDIR(status.st_mode)) {
    return Kind::kDirectory;
  }
  return S_ISLNK(status.st_mode) ? Kind::kLink : Kind::kOther;
}

bool Exists(const std::string& path) {
  return KindOf(path) != Kind::kMissing;
}

bool IsDirectory(const std::string& path) {
  return KindOf(path) == Kind::kDirectory;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) {
    return names;
  }
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

Bytes MakeBundle(const std::vector<Entry>& entries, std::uint32_t launchFlag,
                 std::int32_t launchIndex) {
  Bytes bundle(kBundleHeaderSize);
  const BundleHeader header = {static_cast<std::int32_t>(entries.size()), launchFlag, launchIndex};
  WriteBundleHeader(header, bundle.data());
  for (const Entry& entry : entries) {
    AppendLittleEndian(bundle, entry.name.size(), kBundleFieldSize);
    bundle.insert(bundle.end(), entry.name.begin(), entry.name.end());
    AppendLittleEndian(bundle, entry.data.size(), kBundleFieldSize);
    bundle.insert(bundle.end(), entry.data.begin(), entry.data.end());
  }
  return bundle;
}

Bytes MakePackage(const Bytes& data, const PackageOptions& options) {
  lzma_options_lzma lzma;
  lzma_lzma_preset(&lzma, 6);
  const LzmaProperties properties = SplitLzmaProperties(options.properties);
  lzma.lc = properties.lc;
  lzma.lp = properties.lp;
  lzma.pb = properties.pb;
  lzma.dict_size = std::max<std::uint32_t>(LZMA_DICT_SIZE_MIN, options.encoderDictionary != 0
                                                                   ? options.encoderDictionary
                                                                   : options.dictionarySize);
  lzma.ext_flags = options.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};

  Bytes compressed(data.size() + data.size() / 2 + 1024);
  std::size_t position = 0;
  if (lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), compressed.data(),
                             &position, compressed.size()) != LZMA_OK) {
    throw std::runtime_error("the test encoder failed");
  }
  compressed.resize(position);

  const std::uint64_t declared =
      options.declaredSize >= 0 ? static_cast<std::uint64_t>(options.declaredSize) : data.size();
  std::uint8_t header[kPackageHeaderSize];
  WritePackageHeader(PackageHeader{options.properties, options.dictionarySize,
                                   static_cast<std::uint32_t>(declared), options.declaredHigh},
                     header);
  compressed.insert(compressed.begin(), header, header + sizeof header);
  return compressed;
}

Bytes MakeXzPackage(const Bytes& data, const XzOptions& options) {
  lzma_options_lzma lzma;
  lzma_lzma_preset(&lzma, 6);
  lzma.dict_size = options.dictionarySize;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(data.size() + data.size() / 2 + 4096);
  std::size_t position = 0;
  if (options.blockSize == 0) {
    if (lzma_stream_buffer_encode(const_cast<lzma_filter*>(filters), options.check, nullptr,
                                  data.data(), data.size(), out.data(), &position,
                                  out.size()) != LZMA_OK) {
      throw std::runtime_error("the test .xz encoder failed");
    }
    out.resize(position);
    return out;
  }
  lzma_mt mt = {};
  mt.threads = 2;
  mt.block_size = options.blockSize;
  mt.filters = filters;
  mt.check = options.check;
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_encoder_mt(&stream, &mt) != LZMA_OK) {
    throw std::runtime_error("the test .xz encoder would not start");
  }
  stream.next_in = data.data();
  stream.avail_in = data.size();
  stream.next_out = out.data();
  stream.avail_out = out.size();
  const lzma_ret result = lzma_code(&stream, LZMA_FINISH);
  position = stream.total_out;
  lzma_end(&stream);
  if (result != LZMA_STREAM_END) {
    throw std::runtime_error("the test .xz encoder failed");
  }
  out.resize(position);
  return out;
}

Bytes ClaimingDictionary(Bytes xz, std::uint8_t property) {
  // The first block header follows the 12-byte stream header; its first byte
  // is its size in 4-byte units, less one; then come its flags, the sizes the
  // flags announce (variable-length integers: the last byte of each has the
  // top bit clear), the filter id and its property count, each one byte for
  // LZMA2, and the property; the CRC32 of all before it ends it.
  std::uint8_t* header = xz.data() + 12;
  const std::size_t size = (header[0] + 1u) * 4u;
  std::size_t position = 2;
  for (const int present : {0x40, 0x80}) {
    if ((header[1] & present) != 0) {
      while ((header[position++] & 0x80) != 0) {
      }
    }
  }
  if (header[position] != LZMA_FILTER_LZMA2 || header[position + 1] != 1) {
    throw std::runtime_error("the first block is not LZMA2 alone");
  }
  header[position + 2] = property;
  StoreLittleEndian(header + size - 4, lzma_crc32(header, size - 4, 0), 4);
  return xz;
}

Bytes SampleData(std::size_t size, std::uint32_t seed) {
  Bytes data(size);
  std::uint32_t state = seed * 2654435761u + 1;
  const std::size_t half = size / 2;
  for (std::size_t i = 0; i < size; ++i) {
    // The second half repeats the first, so that matches reach half the size back.
    if (i >= half && half > 0) {
      data[i] = data[i - half];
      continue;
    }
    state = state * 1664525u + 1013904223u;
    // Mostly a short repeating text with some noise.
    data[i] = (state >> 28) == 0 ? static_cast<std::uint8_t>(state >> 16)
                                 : static_cast<std::uint8_t>("mirelk launcher "[i % 16]);
  }
  return data;
}

unsigned char PictureChannel(int x, int y, int channel) {
  return static_cast<unsigned char>(17 * x + 71 * y + 101 * channel + 3);
}

Bytes MakeBmp(const BmpShape& shape) {
  const int rows = shape.height < 0 ? -shape.height : shape.height;
  const std::size_t stride = (static_cast<std::size_t>(shape.width) * 3 + 3) / 4 * 4;
  const std::size_t offset = 14 + shape.infoSize + shape.gap;
  Bytes bytes(offset + stride * static_cast<std::size_t>(rows), 0);
  bytes[0] = 'B';
  bytes[1] = 'M';
  StoreLittleEndian(bytes.data() + 2, bytes.size(), 4);
  StoreLittleEndian(bytes.data() + 10, offset, 4);
  StoreLittleEndian(bytes.data() + 14, shape.infoSize, 4);
  StoreLittleEndian(bytes.data() + 18, static_cast<std::uint32_t>(shape.width), 4);
  StoreLittleEndian(bytes.data() + 22, static_cast<std::uint32_t>(shape.height), 4);
  StoreLittleEndian(bytes.data() + 26, 1, 2);
  StoreLittleEndian(bytes.data() + 28, 24, 2);
  for (int y = 0; y < rows; ++y) {
    const int storedRow = shape.height < 0 ? y : rows - 1 - y;
    const std::size_t rowStart = offset + stride * static_cast<std::size_t>(storedRow);
    std::size_t at = rowStart;
    for (int x = 0; x < shape.width; ++x, at += 3) {
      bytes[at] = PictureChannel(x, y, 2);
      bytes[at + 1] = PictureChannel(x, y, 1);
      bytes[at + 2] = PictureChannel(x, y, 0);
    }
    for (; at < rowStart + stride; ++at) {
      bytes[at] = 0xEE;
    }
  }
  return bytes;
}

namespace {

PlatformParts PartsOf(const PlatformOps& ops) {
  return PlatformParts{*ops.text,      *ops.workspace,   *ops.resources,
                       *ops.streams,   *ops.treeWalk,    *ops.entryDirectories,
                       *ops.processes, *ops.descendants, *ops.splash,
                       *ops.clock};
}

}  // namespace

PlatformParts SystemParts() {
  return PartsOf(kSystemPlatform);
}

PlatformParts CurrentParts() {
  return PartsOf(*gPlatform);
}

PlatformParts TestPlatform(const std::string& directory, const Bytes* package) {
  gTempDirectory = directory;
  gPackage = package;
  PlatformParts ops = SystemParts();
  ops.workspace.GetTempDirectory = TestGetTempDirectory;
  ops.resources.LookUpResource = TestLookUpResource;
  return ops;
}

std::size_t gWriteBudget = 0;
bool gWriteBudgetExceeded = false;

std::size_t WriteWithinBudget(std::FILE* stream, const void* buffer, std::size_t size) {
  const std::size_t allowed = size < gWriteBudget ? size : gWriteBudget;
  gWriteBudget -= allowed;
  if (allowed < size) {
    gWriteBudgetExceeded = true;
  }
  return allowed > 0 ? kSystemStreams.WriteStream(stream, buffer, allowed) : 0;
}

PlatformOverride::PlatformOverride(const PlatformParts& parts)
    : parts_(parts),
      ops_{&parts_.text,      &parts_.workspace,   &parts_.resources,
           &parts_.streams,   &parts_.treeWalk,    &parts_.entryDirectories,
           &parts_.processes, &parts_.descendants, &parts_.splash,
           &parts_.clock},
      previous_(gPlatform) {
  gPlatform = &ops_;
}

PlatformOverride::~PlatformOverride() {
  gPlatform = previous_;
}

}  // namespace testing_support

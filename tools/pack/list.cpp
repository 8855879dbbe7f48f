// mirelk-pack list: what a package (LZMA-Alone or .xz, or a bare bundle)
// holds, and whether the launcher would accept it.
#include <lzma.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "format/tree_bundle.h"
#include "format/package_decoder.h"
#include "tools/pack/pack.h"

namespace pack {

namespace {

// Bundle bytes, read in order, from a package (decoded on the fly) or a bundle.
class BundleSource {
 public:
  virtual ~BundleSource() = default;
  // Fills `out` and returns true, or returns false when the bundle ends first.
  virtual bool Read(std::uint8_t* out, std::size_t size) = 0;
  // Passes over `size` bytes; false when the bundle ends first.
  bool Skip(std::uint64_t size) {
    std::uint8_t buffer[1 << 16];
    while (size > 0) {
      const std::size_t chunk =
          static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof buffer));
      if (!Read(buffer, chunk)) {
        return false;
      }
      size -= chunk;
    }
    return true;
  }
  // Whether any byte is left after what has been read.
  virtual bool AtEnd() = 0;
  // Fails as the launcher would on what follows the entries (an .xz package
  // is checked to its end); a no-op where nothing more is checked.
  virtual void CheckRest() {}
};

class FileBundle : public BundleSource {
 public:
  explicit FileBundle(const std::filesystem::path& path) : in_(path, std::ios::binary) {}
  bool Read(std::uint8_t* out, std::size_t size) override {
    in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in_.gcount()) == size;
  }
  bool AtEnd() override { return in_.peek() == std::ifstream::traits_type::eof(); }

 private:
  std::ifstream in_;
};

// Decodes as the launcher does (format/package.h): the output ends when the
// announced size is reached or at an end-of-stream marker, any other end is
// damage, and a stream that reaches back beyond its window is decoded again,
// wider, up to where it had got.
class PackageBundle : public BundleSource {
 public:
  PackageBundle(const std::filesystem::path& path, const PackageHeader& header)
      : path_(path),
        header_(header),
        in_(path, std::ios::binary),
        remaining_(LargestOutput(header)),
        window_(FirstDecodingWindow(header)) {
    if (!DecoderTakesProperties(header.properties)) {
      throw Failure(Describe(path, "damaged package: properties byte " +
                                       std::to_string(header.properties) +
                                       " is outside what the decoder supports"));
    }
    Start();
  }
  ~PackageBundle() override { lzma_end(&stream_); }

  bool Read(std::uint8_t* out, std::size_t size) override {
    while (size > 0) {
      if (ended_ || remaining_ == 0) {
        return false;
      }
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
      const std::size_t got = Decode(out, want);
      out += got;
      size -= got;
      remaining_ -= got;
    }
    return true;
  }

  bool AtEnd() override {
    std::uint8_t probe;
    return ended_ || remaining_ == 0 || !Read(&probe, 1);
  }

  std::uint64_t Produced() const { return stream_.total_out; }
  bool UnknownSize() const { return HasUnknownSize(header_); }

 private:
  // A decoder with the current window, at the start of the compressed data.
  void Start() {
    lzma_end(&stream_);
    stream_ = LZMA_STREAM_INIT;
    if (StartPackageDecoder(&stream_, header_.properties, window_) != LZMA_OK) {
      throw Failure("cannot start the LZMA decoder");
    }
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(kPackageHeaderSize));
  }

  lzma_ret Step() {
    if (stream_.avail_in == 0 && in_) {
      in_.read(reinterpret_cast<char*>(input_), sizeof input_);
      stream_.next_in = input_;
      stream_.avail_in = static_cast<std::size_t>(in_.gcount());
    }
    return lzma_code(&stream_, in_ ? LZMA_RUN : LZMA_FINISH);
  }

  // Fills `out` with `size` bytes; fewer only where the stream ends.
  std::size_t Decode(std::uint8_t* out, std::size_t size) {
    stream_.next_out = out;
    stream_.avail_out = size;
    while (stream_.avail_out > 0 && !ended_) {
      const lzma_ret result = Step();
      if (result == LZMA_STREAM_END) {
        ended_ = true;
      } else if (result != LZMA_OK) {
        Widen(result);
      }
    }
    return size - stream_.avail_out;
  }

  // Decodes again from the start with a wider window, discarding what was
  // already delivered; fails unless the error may have been the window's.
  void Widen(lzma_ret result) {
    const std::uint64_t produced = stream_.total_out;
    if (!WiderWindowMayDecode(result, produced, window_)) {
      throw Failure(Describe(path_, Damage(result)));
    }
    std::uint8_t* const next = stream_.next_out;
    const std::size_t room = stream_.avail_out;
    window_ = WiderDecodingWindow(window_, produced);
    Start();
    std::uint8_t discarded[1 << 16];
    while (stream_.total_out < produced && !ended_) {
      stream_.next_out = discarded;
      const std::uint64_t left = produced - stream_.total_out;
      stream_.avail_out = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof discarded, left));
      const lzma_ret again = Step();
      if (again == LZMA_STREAM_END) {
        ended_ = true;
      } else if (again != LZMA_OK) {
        throw Failure(Describe(path_, Damage(again)));
      }
    }
    stream_.next_out = next;
    stream_.avail_out = room;
  }

  std::string Damage(lzma_ret result) const {
    const std::string at = " after " + std::to_string(stream_.total_out) + " decoded bytes";
    if (result == LZMA_BUF_ERROR) {
      return "truncated package: the compressed data ends" + at +
             (UnknownSize() ? " with no end mark" : " short of the size its header gives");
    }
    return "damaged package: the compressed data is corrupt" + at +
           " (the launcher would extract nothing)";
  }

  std::filesystem::path path_;
  PackageHeader header_;
  std::ifstream in_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::uint8_t input_[1 << 16];
  std::uint64_t remaining_;
  std::uint32_t window_;
  bool ended_ = false;
};

// An .xz package: its streams, blocks and checks from its index, without
// decoding it.
struct XzSummary {
  std::uint64_t streams = 0;
  std::uint64_t blocks = 0;
  std::uint64_t unpacked = 0;
  std::uint32_t checks = 0;  // a bit per check ID (lzma_index_checks)
};

XzSummary ReadXzIndex(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(path, error);
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  if (error || !in || lzma_file_info_decoder(&stream, &index, UINT64_MAX, size) != LZMA_OK) {
    lzma_end(&stream);
    throw Failure("cannot read " + Describe(path));
  }
  std::vector<std::uint8_t> buffer(1 << 16);
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK) {
    if (stream.avail_in == 0) {
      in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
      stream.next_in = buffer.data();
      stream.avail_in = static_cast<std::size_t>(in.gcount());
    }
    result = lzma_code(&stream, LZMA_RUN);
    if (result == LZMA_SEEK_NEEDED) {
      in.clear();
      in.seekg(static_cast<std::streamoff>(stream.seek_pos));
      stream.avail_in = 0;
      result = LZMA_OK;
    }
  }
  lzma_end(&stream);
  if (result != LZMA_STREAM_END) {
    throw Failure(Describe(path, result == LZMA_DATA_ERROR || result == LZMA_BUF_ERROR
                                     ? "damaged package: the .xz index or stream footer is "
                                       "damaged or cut short (the launcher would extract nothing)"
                                     : XzDamage(result, 0)));
  }
  XzSummary summary;
  summary.streams = lzma_index_stream_count(index);
  summary.blocks = lzma_index_block_count(index);
  summary.unpacked = lzma_index_uncompressed_size(index);
  summary.checks = lzma_index_checks(index);
  lzma_index_end(index, nullptr);
  return summary;
}

std::string CheckNames(std::uint32_t checks) {
  const std::pair<lzma_check, const char*> names[] = {{LZMA_CHECK_NONE, "none"},
                                                      {LZMA_CHECK_CRC32, "CRC32"},
                                                      {LZMA_CHECK_CRC64, "CRC64"},
                                                      {LZMA_CHECK_SHA256, "SHA-256"}};
  std::string text;
  for (int id = 0; id <= LZMA_CHECK_ID_MAX; ++id) {
    if ((checks >> id & 1) == 0) {
      continue;
    }
    std::string name = "unknown (" + std::to_string(id) + ")";
    for (const auto& [check, known] : names) {
      if (check == id) {
        name = known;
      }
    }
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

// Decodes as the launcher does (format/package_decoder.h), on one thread:
// the same streams, checks and memory limit are accepted, and the package is
// decoded to its end, so that damage after the last entry shows too.
class XzBundle : public BundleSource {
 public:
  explicit XzBundle(const std::filesystem::path& path) : path_(path), in_(path, std::ios::binary) {
    if (StartXzDecoder(&stream_, 1) != LZMA_OK) {
      lzma_end(&stream_);
      throw Failure("cannot start the .xz decoder");
    }
  }
  ~XzBundle() override { lzma_end(&stream_); }

  bool Read(std::uint8_t* out, std::size_t size) override {
    stream_.next_out = out;
    stream_.avail_out = size;
    while (stream_.avail_out > 0 && !ended_) {
      if (stream_.avail_in == 0 && in_) {
        in_.read(reinterpret_cast<char*>(input_), sizeof input_);
        stream_.next_in = input_;
        stream_.avail_in = static_cast<std::size_t>(in_.gcount());
      }
      const lzma_ret result = lzma_code(&stream_, in_ ? LZMA_RUN : LZMA_FINISH);
      if (result == LZMA_STREAM_END) {
        ended_ = true;
      } else if (result != LZMA_OK) {
        throw Failure(Describe(path_, XzDamage(result, stream_.total_out)));
      }
    }
    if (stream_.total_out > kLargestBundleSize) {
      throw Failure(Describe(path_, "the .xz data holds more than " +
                                        std::to_string(kLargestBundleSize) +
                                        " bytes, the largest bundle; the launcher refuses it"));
    }
    return stream_.avail_out == 0;
  }

  bool AtEnd() override {
    std::uint8_t probe;
    return ended_ || !Read(&probe, 1);
  }

  void CheckRest() override {
    std::uint8_t discarded[1 << 16];
    while (Read(discarded, sizeof discarded)) {
    }
  }

 private:
  std::filesystem::path path_;
  std::ifstream in_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::uint8_t input_[1 << 16];
  bool ended_ = false;
};

std::uint32_t ReadField(BundleSource& source, const std::filesystem::path& path,
                        const std::string& what) {
  std::uint8_t bytes[kBundleFieldSize];
  if (!source.Read(bytes, sizeof bytes)) {
    throw Failure(Describe(path, "truncated bundle: it ends inside " + what));
  }
  return LoadLittle32(bytes);
}

// A tree bundle's entries after its magic; whether the launcher would refuse
// one of them.
bool ListTree(BundleSource& source, const std::filesystem::path& path) {
  const std::uint32_t count = ReadField(source, path, "the header");
  const std::uint32_t launchIndex = ReadField(source, path, "the header");
  std::printf("bundle: tree (folders, UTF-8 paths)\n");
  std::printf("%6s %4s %12s  %s\n", "index", "kind", "size", "path");
  bool refused = false;
  std::string launchName;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string where = "entry " + std::to_string(i);
    const std::uint32_t kind = ReadField(source, path, where);
    const std::uint32_t pathLength = ReadField(source, path, where);
    if (pathLength > kLongestEntryPath) {
      throw Failure(Describe(path, where + " has a " + std::to_string(pathLength) +
                                       "-byte path; the launcher refuses it"));
    }
    std::string name(pathLength, '\0');
    if (!source.Read(reinterpret_cast<std::uint8_t*>(name.data()), pathLength)) {
      throw Failure(Describe(path, "truncated bundle: it ends inside the path of " + where));
    }
    const std::uint32_t size = ReadField(source, path, where);
    const bool launch = launchIndex == i;
    const bool directory = kind == kTreeDirectory;
    const bool acceptable =
        IsAcceptableEntryPath(name.data(), name.size()) &&
        (directory ? size == 0 && !launch : kind == kTreeFile || kind == kTreeExecutableFile);
    if (launch) {
      launchName = name;
    }
    const char* shownKind = directory ? "dir" : kind == kTreeExecutableFile ? "exec" : "file";
    std::printf("%6u %4s %12u  %s%s%s%s\n", i, shownKind, size, name.c_str(), directory ? "/" : "",
                launch ? "  [launch]" : "", acceptable ? "" : "  [refused by the launcher]");
    refused = refused || !acceptable;
    if (!source.Skip(size)) {
      throw Failure(Describe(path, "truncated bundle: the data of " + where + " (" +
                                       std::to_string(size) + " bytes) runs past its end"));
    }
  }
  std::printf("%u entries; launch entry: %s\n", count,
              launchName.empty() ? "none" : launchName.c_str());
  return refused;
}

// A flat bundle's entries after its magic; whether the launcher would refuse
// one of them.
bool ListFlat(BundleSource& source, const std::filesystem::path& path);

int ListPackage(const std::filesystem::path& path) {
  // What the file is, and whether the launcher would start to unpack it, is
  // told first; damage further on shows while decoding.
  const PackageKind kind = CheckPackageFile(path);

  std::unique_ptr<BundleSource> source;
  PackageBundle* package = nullptr;
  if (kind == PackageKind::kBundle) {
    std::printf("bundle (not compressed)\n");
    source = std::make_unique<FileBundle>(path);
  } else if (kind == PackageKind::kXz) {
    const XzSummary summary = ReadXzIndex(path);
    std::printf("package: .xz, check %s, %llu block%s in %llu stream%s, unpacked %llu\n",
                CheckNames(summary.checks).c_str(), static_cast<unsigned long long>(summary.blocks),
                summary.blocks == 1 ? "" : "s", static_cast<unsigned long long>(summary.streams),
                summary.streams == 1 ? "" : "s", static_cast<unsigned long long>(summary.unpacked));
    source = std::make_unique<XzBundle>(path);
  } else {
    std::ifstream probe(path, std::ios::binary);
    std::uint8_t head[kPackageHeaderSize] = {};
    if (!probe.read(reinterpret_cast<char*>(head), sizeof head)) {
      throw Failure("cannot read " + Describe(path));
    }
    const PackageHeader header = ReadPackageHeader(head);
    const LzmaProperties properties = SplitLzmaProperties(header.properties);
    std::printf(
        "package: LZMA-Alone (no integrity check), properties 0x%02X (lc %u, lp %u, "
        "pb %u), dictionary %llu, unpacked %s\n",
        header.properties, properties.lc, properties.lp, properties.pb,
        static_cast<unsigned long long>(header.dictionarySize),
        HasUnknownSize(header) ? "unknown (end-of-stream marker)"
                               : std::to_string(header.unpackedSize).c_str());
    auto decoded = std::make_unique<PackageBundle>(path, header);
    package = decoded.get();
    source = std::move(decoded);
  }

  std::uint8_t magic[sizeof kTreeBundleMagic] = {};
  const bool flat = source->Read(magic, sizeof kBundleMagic) &&
                    BundleRevisionOf(magic, sizeof kBundleMagic) == kFlatBundle;
  if (!flat && (!source->Read(magic + sizeof kBundleMagic, 1) ||
                BundleRevisionOf(magic, sizeof magic) != kTreeBundle)) {
    throw Failure(Describe(path, "not a bundle: it does not begin with \"HEN\" or \"MRB2\""));
  }
  const bool refused = flat ? ListFlat(*source, path) : ListTree(*source, path);
  if (!source->AtEnd()) {
    std::printf("note: bytes follow the last entry; the launcher ignores them\n");
  }
  source->CheckRest();
  if (package != nullptr && package->UnknownSize()) {
    std::printf("note: the size was unknown to the encoder; %llu bytes decoded\n",
                static_cast<unsigned long long>(package->Produced()));
  }
  if (refused) {
    throw Failure(Describe(path, "the launcher would stop with exit code 14 at a refused name"));
  }
  return 0;
}

bool ListFlat(BundleSource& sourceRef, const std::filesystem::path& path) {
  BundleSource* source = &sourceRef;
  const std::int32_t count = static_cast<std::int32_t>(ReadField(*source, path, "the header"));
  const std::uint32_t launchFlag = ReadField(*source, path, "the header");
  const std::int32_t launchIndex =
      static_cast<std::int32_t>(ReadField(*source, path, "the header"));

  std::printf("%6s %12s  %s\n", "index", "size", "name");
  bool refused = false;
  std::string launchName;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::string where = "entry " + std::to_string(i);
    const std::uint32_t nameLength = ReadField(*source, path, where);
    if (nameLength > kLongestEntryName) {
      throw Failure(Describe(path, where + " has a " + std::to_string(nameLength) +
                                       "-byte name; the launcher refuses it"));
    }
    std::string name(nameLength, '\0');
    if (!source->Read(reinterpret_cast<std::uint8_t*>(name.data()), nameLength)) {
      throw Failure(Describe(path, "truncated bundle: it ends inside the name of " + where));
    }
    const std::uint32_t size = ReadField(*source, path, where);
    const bool acceptable = IsAcceptableEntryName(name.data(), name.size(), kLatin1CodePage);
    const bool launch = launchFlag != 0 && launchIndex == i;
    if (launch) {
      launchName = name;
    }
    std::printf("%6d %12u  %s%s%s\n", i, size, name.c_str(), launch ? "  [launch]" : "",
                acceptable ? "" : "  [name refused by the launcher]");
    refused = refused || !acceptable;
    if (!source->Skip(size)) {
      throw Failure(Describe(path, "truncated bundle: the data of " + where + " (" +
                                       std::to_string(size) + " bytes) runs past its end"));
    }
  }
  std::printf("%d entries; launch entry: %s\n", count < 0 ? 0 : count,
              launchName.empty() ? "none" : launchName.c_str());
  return refused;
}

// A setup's package, copied where the package listing can read it: a pending
// file in the temporary directory, never committed, so that it goes whatever
// way the listing ends.
int ListSetup(const std::filesystem::path& path, const Setup& setup) {
  std::printf("%s\n", DescribeSettings(setup).c_str());
  std::fflush(stdout);
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::temp_directory_path(error);
  std::random_device random;
  sys::PendingFile copy;
  std::filesystem::path copyPath;
  bool created = false;
  for (int attempt = 0; attempt < 100 && !created && !error; ++attempt) {
    copyPath =
        directory / sys::PathOf("mirelk-list-" + std::to_string(random() % 1000000) + ".pkg");
    created = copy.Create(copyPath);
  }
  if (!created || !copy.Write(setup.package.data(), setup.package.size())) {
    throw Failure("cannot write a copy of the package of " + Describe(path));
  }
  try {
    return ListPackage(copyPath);
  } catch (const Failure& failure) {
    // Told of the setup, not of the copy.
    std::string text = failure.what();
    const std::string copyName = "'" + sys::TextOf(copyPath) + "'";
    const std::size_t at = text.find(copyName);
    if (at != std::string::npos) {
      text.replace(at, copyName.size(), "'" + sys::TextOf(path) + "' (its package)");
    }
    throw Failure(text);
  }
}

}  // namespace

int List(const std::vector<std::string>& args) {
  const Options options = ParseOptions(args, {}, {"--setup"});
  if (options.positional.size() != 1) {
    throw UsageError("list takes one PACKAGE, or --setup SETUP");
  }
  const std::filesystem::path path = sys::PathOf(options.positional[0]);
  if (!options.Flag("--setup")) {
    return ListPackage(path);
  }
  const std::optional<Setup> setup = ReadSetup(path);
  if (!setup) {
    throw Failure(Describe(path, "not a setup (a launcher with its package)"));
  }
  return ListSetup(path, *setup);
}

}  // namespace pack

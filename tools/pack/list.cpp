// mirelk-pack list: what a package (or a bare bundle) holds, and whether the
// launcher would accept it.
#include <lzma.h>

#include <cstdio>
#include <memory>

#include "launcher/launcher.h"
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
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof buffer));
      if (!Read(buffer, chunk)) {
        return false;
      }
      size -= chunk;
    }
    return true;
  }
  // Whether any byte is left after what has been read.
  virtual bool AtEnd() = 0;
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

// Decodes as the launcher does: the output ends when the announced size is
// reached or at an end-of-stream marker; any other end is damage.
class PackageBundle : public BundleSource {
 public:
  PackageBundle(const std::filesystem::path& path, const std::uint8_t* header)
      : path_(path), in_(path, std::ios::binary) {
    in_.seekg(static_cast<std::streamoff>(kPackageHeaderSize));
    const LzmaProperties properties = SplitLzmaProperties(header[0]);
    const std::uint64_t unpacked = GetLittleEndian(header + 5, 4);
    unknownSize_ = unpacked == 0xFFFFFFFFu;
    remaining_ = unknownSize_ ? UINT64_MAX : unpacked;
    if (properties.lc + properties.lp > 4 || properties.pb > 4) {
      throw Failure(Describe(path, "damaged package: properties byte " + std::to_string(header[0]) +
                                       " is outside what the decoder supports"));
    }
    lzma_options_lzma options = {};
    options.dict_size = static_cast<std::uint32_t>(std::max<std::uint64_t>(
        LZMA_DICT_SIZE_MIN, unknownSize_ ? 0xFFFFFFFFu : unpacked));
    options.lc = properties.lc;
    options.lp = properties.lp;
    options.pb = properties.pb;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_raw_decoder(&stream_, filters) != LZMA_OK) {
      throw Failure("cannot start the LZMA decoder");
    }
  }
  ~PackageBundle() override { lzma_end(&stream_); }

  bool Read(std::uint8_t* out, std::size_t size) override {
    while (size > 0) {
      if (ended_ || remaining_ == 0) {
        return false;
      }
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
      stream_.next_out = out;
      stream_.avail_out = want;
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
          throw Failure(Describe(path_, Damage(result)));
        }
      }
      const std::size_t got = want - stream_.avail_out;
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
  bool UnknownSize() const { return unknownSize_; }

 private:
  std::string Damage(lzma_ret result) const {
    const std::string at = " after " + std::to_string(stream_.total_out) + " decoded bytes";
    if (result == LZMA_BUF_ERROR) {
      return "truncated package: the compressed data ends" + at +
             (unknownSize_ ? " without an end-of-stream marker" : " before the announced size");
    }
    return "damaged package: the compressed data is corrupt" + at +
           " (the launcher would extract nothing)";
  }

  std::filesystem::path path_;
  std::ifstream in_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::uint8_t input_[1 << 16];
  std::uint64_t remaining_;
  bool unknownSize_ = false;
  bool ended_ = false;
};

std::uint32_t ReadField(BundleSource& source, const std::filesystem::path& path,
                        const std::string& what) {
  std::uint8_t bytes[4];
  if (!source.Read(bytes, sizeof bytes)) {
    throw Failure(Describe(path, "truncated bundle: it ends inside " + what));
  }
  return static_cast<std::uint32_t>(GetLittleEndian(bytes, 4));
}

}  // namespace

int List(const std::vector<std::string>& args) {
  const Options options = ParseOptions(args, {}, {});
  if (options.positional.size() != 1) {
    throw UsageError("list takes one PACKAGE");
  }
  const std::filesystem::path path = options.positional[0];
  std::ifstream probe(path, std::ios::binary);
  if (!probe) {
    throw Failure("cannot read " + Describe(path));
  }
  std::uint8_t head[kPackageHeaderSize] = {};
  probe.read(reinterpret_cast<char*>(head), sizeof head);
  const std::size_t headSize = static_cast<std::size_t>(probe.gcount());

  std::unique_ptr<BundleSource> source;
  PackageBundle* package = nullptr;
  if (headSize >= 3 && std::equal(kBundleMagic, kBundleMagic + 3, head)) {
    std::printf("bundle (not compressed)\n");
    source = std::make_unique<FileBundle>(path);
  } else {
    if (headSize < kPackageHeaderSize) {
      throw Failure(Describe(path, "truncated package: shorter than its 13-byte header"));
    }
    const LzmaProperties properties = SplitLzmaProperties(head[0]);
    const std::uint64_t unpacked = GetLittleEndian(head + 5, 4);
    std::printf("package: properties 0x%02X (lc %u, lp %u, pb %u), dictionary %llu, unpacked %s\n",
                head[0], properties.lc, properties.lp, properties.pb,
                static_cast<unsigned long long>(GetLittleEndian(head + 1, 4)),
                unpacked == 0xFFFFFFFFu ? "unknown (end-of-stream marker)"
                                        : std::to_string(unpacked).c_str());
    auto decoded = std::make_unique<PackageBundle>(path, head);
    package = decoded.get();
    source = std::move(decoded);
  }

  std::uint8_t magic[3] = {};
  if (!source->Read(magic, sizeof magic) || !std::equal(kBundleMagic, kBundleMagic + 3, magic)) {
    throw Failure(Describe(path, "not a bundle: it does not begin with \"HEN\""));
  }
  const std::int32_t count = static_cast<std::int32_t>(ReadField(*source, path, "the header"));
  const std::uint32_t launchFlag = ReadField(*source, path, "the header");
  const std::int32_t launchIndex = static_cast<std::int32_t>(ReadField(*source, path, "the header"));

  std::printf("%6s %12s  %s\n", "index", "size", "name");
  bool refused = false;
  std::string launchName;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::string where = "entry " + std::to_string(i);
    const std::uint32_t nameLength = ReadField(*source, path, where);
    if (nameLength >= kPathCapacity) {
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
  if (!source->AtEnd()) {
    std::printf("note: bytes follow the last entry; the launcher ignores them\n");
  }
  if (package != nullptr && package->UnknownSize()) {
    std::printf("note: the size was unknown to the encoder; %llu bytes decoded\n",
                static_cast<unsigned long long>(package->Produced()));
  }
  if (refused) {
    throw Failure(Describe(path, "the launcher would stop with exit code 14 at a refused name"));
  }
  return 0;
}

}  // namespace pack

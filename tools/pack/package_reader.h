// Reading a package's bundle as the launcher decodes it (format/package.h,
// format/package_decoder.h), from an input opened once: `list` walks what it
// gives, `attach` decodes it to its end.
#pragma once

#include <lzma.h>

#include <cstdint>
#include <filesystem>

#include "format/package.h"
#include "tools/pack/pack.h"

namespace pack {

// Bundle bytes, read in order, from a package (decoded on the fly) or a bundle.
class BundleSource {
 public:
  virtual ~BundleSource() = default;
  // Fills `out` and returns true, or returns false when the bundle ends first.
  virtual bool Read(std::uint8_t* out, std::size_t size) = 0;
  // Passes over `size` bytes; false when the bundle ends first.
  bool Skip(std::uint64_t size);
  // Whether any byte is left after what has been read.
  virtual bool AtEnd() = 0;
  // Fails as the launcher would on what follows the entries (an .xz package
  // is checked to its end); a no-op where nothing more is checked.
  virtual void CheckRest() {}
  // Decodes everything left, so that damage or a cut anywhere fails.
  void ReadToEnd();
};

// An uncompressed bundle.
class FileBundle : public BundleSource {
 public:
  FileBundle(sys::InputFile& file, const std::filesystem::path& path) : in_(file, path) {}
  bool Read(std::uint8_t* out, std::size_t size) override { return in_.Read(out, size) == size; }
  bool AtEnd() override;

 private:
  InputCursor in_;
};

// Decodes as the launcher does (format/package.h): the output ends when the
// announced size is reached or at an end-of-stream marker, any other end is
// damage, and a stream that reaches back beyond its window is decoded again,
// wider, up to where it had got.
class PackageBundle : public BundleSource {
 public:
  PackageBundle(sys::InputFile& file, const std::filesystem::path& path,
                const PackageHeader& header);
  ~PackageBundle() override;
  bool Read(std::uint8_t* out, std::size_t size) override;
  bool AtEnd() override;

  std::uint64_t Produced() const { return stream_.total_out; }
  bool UnknownSize() const { return HasUnknownSize(header_); }

 private:
  void Start();
  lzma_ret Step();
  std::size_t Decode(std::uint8_t* out, std::size_t size);
  void Widen(lzma_ret result);
  std::string Damage(lzma_ret result) const;

  const std::filesystem::path& path_;
  PackageHeader header_;
  InputCursor in_;
  bool inputEnded_ = false;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::uint8_t input_[1 << 16];
  std::uint64_t remaining_;
  std::uint32_t window_;
  bool ended_ = false;
};

// Decodes as the launcher does (format/package_decoder.h), on one thread:
// the same streams, checks and memory limit are accepted, and the package is
// decoded to its end, so that damage after the last entry shows too.
class XzBundle : public BundleSource {
 public:
  XzBundle(sys::InputFile& file, const std::filesystem::path& path);
  ~XzBundle() override;
  bool Read(std::uint8_t* out, std::size_t size) override;
  bool AtEnd() override;
  void CheckRest() override { ReadToEnd(); }

 private:
  const std::filesystem::path& path_;
  InputCursor in_;
  bool inputEnded_ = false;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::uint8_t input_[1 << 16];
  bool ended_ = false;
};

// An .xz package: its streams, blocks and checks from its index, read from
// the end of the file without decoding it. Damage in the stream footers,
// indexes or padding, a cut end or bytes after the last stream fail.
struct XzSummary {
  std::uint64_t streams = 0;
  std::uint64_t blocks = 0;
  std::uint64_t unpacked = 0;
  std::uint32_t checks = 0;  // a bit per check ID (lzma_index_checks)
};
XzSummary ReadXzIndex(sys::InputFile& file, const std::filesystem::path& path);

// Packages up to this size are decoded to their end by CheckPackageEnd: a
// few MiB decode in well under a second (and give at most the largest
// bundle, as the launcher would decode them anyway).
constexpr std::uint64_t kWholeDecodeLimit = 8u << 20;

// Whether the launcher would decode a package that CheckPackageFile took all
// the way: one up to kWholeDecodeLimit is decoded to its end; of a larger
// .xz one, the index and footers at its end are read. (A larger LZMA-Alone
// one has no index: only decoding it all, as `list` does, would find a cut
// end.) Fails with what is wrong.
void CheckPackageEnd(sys::InputFile& file, const std::filesystem::path& path, PackageKind kind);

}  // namespace pack

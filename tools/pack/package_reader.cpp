// Reading a package's bundle as the launcher decodes it.
#include "tools/pack/package_reader.h"

#include <algorithm>
#include <vector>

#include "format/package_decoder.h"

namespace pack {

bool BundleSource::Skip(std::uint64_t size) {
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

void BundleSource::ReadToEnd() {
  std::vector<std::uint8_t> discarded(1 << 16);
  while (Read(discarded.data(), discarded.size())) {
  }
}

bool FileBundle::AtEnd() {
  std::uint8_t probe;
  return in_.Read(&probe, 1) == 0;
}

PackageBundle::PackageBundle(sys::InputFile& file, const std::filesystem::path& path,
                             const PackageHeader& header)
    : path_(path),
      header_(header),
      in_(file, path),
      remaining_(LargestOutput(header)),
      window_(FirstDecodingWindow(header)) {
  if (!DecoderTakesProperties(header.properties)) {
    throw Failure(Describe(path, "damaged package: properties byte " +
                                     std::to_string(header.properties) +
                                     " is outside what the decoder supports"));
  }
  Start();
}

PackageBundle::~PackageBundle() {
  lzma_end(&stream_);
}

bool PackageBundle::Read(std::uint8_t* out, std::size_t size) {
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

bool PackageBundle::AtEnd() {
  std::uint8_t probe;
  return ended_ || remaining_ == 0 || !Read(&probe, 1);
}

// A decoder with the current window, at the start of the compressed data.
void PackageBundle::Start() {
  lzma_end(&stream_);
  stream_ = LZMA_STREAM_INIT;
  if (StartPackageDecoder(&stream_, header_.properties, window_) != LZMA_OK) {
    throw Failure("cannot start the LZMA decoder");
  }
  in_.Seek(kPackageHeaderSize);
  inputEnded_ = false;
}

lzma_ret PackageBundle::Step() {
  if (stream_.avail_in == 0 && !inputEnded_) {
    stream_.next_in = input_;
    stream_.avail_in = in_.Read(input_, sizeof input_);
    inputEnded_ = stream_.avail_in < sizeof input_;
  }
  return lzma_code(&stream_, inputEnded_ ? LZMA_FINISH : LZMA_RUN);
}

// Fills `out` with `size` bytes; fewer only where the stream ends.
std::size_t PackageBundle::Decode(std::uint8_t* out, std::size_t size) {
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
void PackageBundle::Widen(lzma_ret result) {
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

std::string PackageBundle::Damage(lzma_ret result) const {
  const std::string at = " after " + std::to_string(stream_.total_out) + " decoded bytes";
  if (result == LZMA_BUF_ERROR) {
    return "truncated package: the compressed data ends" + at +
           (UnknownSize() ? " with no end mark" : " short of the size its header gives");
  }
  return "damaged package: the compressed data is corrupt" + at +
         " (the launcher would extract nothing)";
}

XzBundle::XzBundle(sys::InputFile& file, const std::filesystem::path& path)
    : path_(path), in_(file, path) {
  if (StartXzDecoder(&stream_, 1) != LZMA_OK) {
    lzma_end(&stream_);
    throw Failure("cannot start the .xz decoder");
  }
}

XzBundle::~XzBundle() {
  lzma_end(&stream_);
}

bool XzBundle::Read(std::uint8_t* out, std::size_t size) {
  stream_.next_out = out;
  stream_.avail_out = size;
  while (stream_.avail_out > 0 && !ended_) {
    if (stream_.avail_in == 0 && !inputEnded_) {
      stream_.next_in = input_;
      stream_.avail_in = in_.Read(input_, sizeof input_);
      inputEnded_ = stream_.avail_in < sizeof input_;
    }
    const lzma_ret result = lzma_code(&stream_, inputEnded_ ? LZMA_FINISH : LZMA_RUN);
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

bool XzBundle::AtEnd() {
  std::uint8_t probe;
  return ended_ || !Read(&probe, 1);
}

XzSummary ReadXzIndex(sys::InputFile& file, const std::filesystem::path& path) {
  InputCursor in(file, path);
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  if (lzma_file_info_decoder(&stream, &index, UINT64_MAX, file.Size()) != LZMA_OK) {
    lzma_end(&stream);
    throw Failure("cannot start the .xz index decoder");
  }
  std::vector<std::uint8_t> buffer(1 << 16);
  lzma_ret result = LZMA_OK;
  try {
    while (result == LZMA_OK) {
      if (stream.avail_in == 0) {
        stream.next_in = buffer.data();
        stream.avail_in = in.Read(buffer.data(), buffer.size());
      }
      result = lzma_code(&stream, LZMA_RUN);
      if (result == LZMA_SEEK_NEEDED) {
        in.Seek(stream.seek_pos);
        stream.avail_in = 0;
        result = LZMA_OK;
      }
    }
  } catch (...) {
    lzma_end(&stream);
    throw;
  }
  lzma_end(&stream);
  if (result != LZMA_STREAM_END) {
    throw Failure(Describe(path, result == LZMA_DATA_ERROR || result == LZMA_BUF_ERROR
                                     ? "damaged package: the .xz index or stream footer is "
                                       "damaged or cut short, or bytes that are not .xz follow "
                                       "it (the launcher would extract nothing)"
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

void CheckPackageEnd(sys::InputFile& file, const std::filesystem::path& path, PackageKind kind) {
  if (kind == PackageKind::kXz) {
    const XzSummary summary = ReadXzIndex(file, path);
    if (summary.unpacked > kLargestBundleSize) {
      throw Failure(Describe(path, "the .xz data holds more than " +
                                       std::to_string(kLargestBundleSize) +
                                       " bytes, the largest bundle; the launcher refuses it"));
    }
  }
  if (file.Size() > kWholeDecodeLimit) {
    return;
  }
  if (kind == PackageKind::kXz) {
    XzBundle(file, path).ReadToEnd();
  } else if (kind == PackageKind::kLzmaAlone) {
    std::uint8_t head[kPackageHeaderSize] = {};
    std::size_t got = 0;
    if (!file.ReadAt(0, head, sizeof head, &got) || got != sizeof head) {
      throw Failure("cannot read " + Describe(path));
    }
    PackageBundle(file, path, ReadPackageHeader(head)).ReadToEnd();
  }
}

}  // namespace pack

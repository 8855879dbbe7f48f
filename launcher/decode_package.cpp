// Decoding the package copy (a 13-byte LZMA header and raw LZMA data) into the
// bundle file. The stream is decoded in pieces straight into the file, so
// memory stays bounded whatever the package's size; a rejected stream leaves
// the bundle empty, never partial.
#include <lzma.h>

#include <cstdlib>

#include "launcher/launcher.h"

namespace {

constexpr std::int64_t kHeaderSize = 13;
// The low half of the unpacked size when the encoder did not know it; the
// stream then ends with an end-of-stream marker.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;
constexpr std::size_t kInputChunk = 256 * 1024;
constexpr std::size_t kOutputChunk = 1024 * 1024;
// The first window is never larger than this, whatever the header claims: a
// few hundred bytes of package must not make the launcher ask for 4 GiB.
// Streams that do reach further back are decoded again with a wider window.
constexpr std::uint32_t kLargestFirstWindow = 64u << 20;

struct PackageHeader {
  std::uint8_t properties;
  std::uint32_t dictionarySize;
  std::uint32_t unpackedSize;
};

struct Buffers {
  std::uint8_t* input;
  std::uint8_t* output;
};

enum DecodeOutcome {
  kDecoded,   // the output filled up or an end-of-stream marker was met
  kRejected,  // anything else: the bundle must end up empty
  kWindowTooSmall,  // rejected where a wider window might not have been
};

std::uint32_t ReadLittleEndian32(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  for (int k = 0; k < 4; ++k) {
    value |= static_cast<std::uint32_t>(bytes[k]) << (8 * k);
  }
  return value;
}

// Opens the package copy and reads its header; null when it cannot be opened
// or is shorter than the header. The stream is left at the compressed data.
std::FILE* OpenPackage(const char* path, PackageHeader* header) {
  std::FILE* stream = gPlatform->OpenStream(path, kStreamRead);
  if (stream == nullptr) {
    return nullptr;
  }
  std::int64_t length = -1;
  if (gPlatform->SeekStream(stream, 0, kSeekEnd)) {
    length = gPlatform->TellStream(stream);
  }
  std::uint8_t head[kHeaderSize];
  if (length < kHeaderSize || !gPlatform->SeekStream(stream, 0, kSeekStart) ||
      gPlatform->ReadStream(stream, head, sizeof head) != sizeof head) {
    gPlatform->CloseStream(stream);
    return nullptr;
  }
  header->properties = head[0];
  header->dictionarySize = ReadLittleEndian32(head + 1);
  header->unpackedSize = ReadLittleEndian32(head + 5);
  // Bytes 9..12, the high half of the unpacked size, play no part.
  return stream;
}

// One pass over the compressed data with a window of `window` bytes, writing
// the output to `bundle` as it comes. `produced` is what reached the bundle.
DecodeOutcome DecodeOnce(std::FILE* package, std::FILE* bundle, const PackageHeader& header,
                         std::uint32_t window, const Buffers& buffers, std::uint64_t* produced) {
  *produced = 0;
  const LzmaProperties properties = SplitLzmaProperties(header.properties);
  lzma_options_lzma options = {};
  options.dict_size = window;
  options.lc = properties.lc;
  options.lp = properties.lp;
  options.pb = properties.pb;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  // Properties outside the decoder's range are refused here.
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
    return kRejected;
  }

  const bool sizeKnown = header.unpackedSize != kUnknownSize;
  // A stream of unknown size ends at its marker; one that runs on is cut at
  // the largest size the header could have announced, and rejected.
  const std::uint64_t limit = sizeKnown ? header.unpackedSize : kUnknownSize - 1u;
  bool inputEnded = false;
  DecodeOutcome outcome = kRejected;
  for (;;) {
    if (*produced == limit && sizeKnown) {
      outcome = kDecoded;
      break;
    }
    if (stream.avail_in == 0 && !inputEnded) {
      stream.next_in = buffers.input;
      stream.avail_in = gPlatform->ReadStream(package, buffers.input, kInputChunk);
      inputEnded = stream.avail_in < kInputChunk;
    }
    const std::uint64_t room = limit - *produced;
    stream.next_out = buffers.output;
    stream.avail_out = room < kOutputChunk ? static_cast<std::size_t>(room) : kOutputChunk;
    if (stream.avail_out == 0) {
      break;  // no marker within the largest bundle there can be
    }
    const lzma_ret result = lzma_code(&stream, inputEnded ? LZMA_FINISH : LZMA_RUN);
    const std::size_t got = static_cast<std::size_t>(stream.next_out - buffers.output);
    if (got > 0 && gPlatform->WriteStream(bundle, buffers.output, got) != got) {
      break;
    }
    *produced += got;
    if (result == LZMA_STREAM_END) {
      outcome = kDecoded;
      break;
    }
    if (result != LZMA_OK) {
      // A match reaching back beyond the window is a data error; so is real
      // damage. Only a wider window can tell them apart.
      if (result == LZMA_DATA_ERROR && *produced > window) {
        outcome = kWindowTooSmall;
      }
      break;
    }
  }
  lzma_end(&stream);
  return outcome;
}

// Decodes the package into the bundle file and leaves it complete, or empty.
void DecodeIntoBundle(std::FILE* package, const char* bundlePath, const PackageHeader& header,
                      const Buffers& buffers) {
  // Real encoders never reach back further than the dictionary the header
  // announces, so that window decodes in bounded memory. The announced size
  // caps it: a window larger than the output holds nothing more.
  std::uint32_t window = header.dictionarySize;
  if (header.unpackedSize != kUnknownSize && header.unpackedSize < window) {
    window = header.unpackedSize;
  }
  if (window > kLargestFirstWindow) {
    window = kLargestFirstWindow;
  }
  if (window < LZMA_DICT_SIZE_MIN) {
    window = LZMA_DICT_SIZE_MIN;
  }

  for (;;) {
    std::FILE* bundle = gPlatform->OpenStream(bundlePath, kStreamCreate);
    if (bundle == nullptr) {
      return;
    }
    std::uint64_t produced = 0;
    const DecodeOutcome outcome = DecodeOnce(package, bundle, header, window, buffers, &produced);
    const bool closed = gPlatform->CloseStream(bundle);
    if (outcome == kDecoded && closed) {
      return;
    }
    // Matches may reach back to the first byte of the output, whatever the
    // header says: a stream that outran its window is decoded once more with
    // a window covering everything produced so far. Each retry at least
    // doubles the window, and a stream that fails within a window covering
    // its whole output so far is damaged.
    const bool retry = outcome == kWindowTooSmall && window < 0xFFFFFFFFu;
    if (retry) {
      std::uint64_t wider = 2ull * window;
      if (wider < produced + kOutputChunk) {
        wider = produced + kOutputChunk;
      }
      window = wider < 0xFFFFFFFFull ? static_cast<std::uint32_t>(wider) : 0xFFFFFFFFu;
    }
    if (!retry || !gPlatform->SeekStream(package, kHeaderSize, kSeekStart)) {
      // Rejected: the bundle is left empty, never partial.
      std::FILE* emptied = gPlatform->OpenStream(bundlePath, kStreamCreate);
      if (emptied != nullptr) {
        gPlatform->CloseStream(emptied);
      }
      return;
    }
  }
}

}  // namespace

LzmaProperties SplitLzmaProperties(std::uint8_t properties) {
  unsigned d = properties;
  LzmaProperties split = {};
  if (d >= 45) {
    split.pb = d / 45;
    d -= 45 * split.pb;
  }
  if (d >= 9) {
    split.lp = d / 9;
    d -= 9 * split.lp;
  }
  split.lc = d;
  return split;
}

void DecodePackage(const char* packageCopyPath, const char* bundlePath) {
  PackageHeader header = {};
  std::FILE* package = OpenPackage(packageCopyPath, &header);
  Buffers buffers = {static_cast<std::uint8_t*>(std::malloc(kInputChunk)),
                     static_cast<std::uint8_t*>(std::malloc(kOutputChunk))};
  if (package != nullptr && buffers.input != nullptr && buffers.output != nullptr) {
    DecodeIntoBundle(package, bundlePath, header, buffers);
  } else {
    // Nothing to decode: the bundle is left empty.
    std::FILE* emptied = gPlatform->OpenStream(bundlePath, kStreamCreate);
    if (emptied != nullptr) {
      gPlatform->CloseStream(emptied);
    }
  }
  if (package != nullptr) {
    gPlatform->CloseStream(package);
  }
  std::free(buffers.output);
  std::free(buffers.input);
  gPlatform->DeleteFileAt(packageCopyPath);
}

// Decoding the package copy (format/package.h) into the bundle file. The
// stream is decoded in pieces straight into the file, so memory stays bounded
// whatever the package's size; a rejected stream leaves the bundle empty,
// never partial.
#include <cstdlib>

#include "format/package_decoder.h"
#include "launcher/launcher.h"

namespace {

constexpr std::size_t kInputChunk = 256 * 1024;
constexpr std::size_t kOutputChunk = 1024 * 1024;

struct Buffers {
  std::uint8_t* input;
  std::uint8_t* output;
};

enum DecodeOutcome {
  kDecoded,   // the output filled up or an end-of-stream marker was met
  kRejected,  // anything else: the bundle must end up empty
  kWindowTooSmall,  // rejected where a wider window might not have been
};

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
  std::uint8_t head[kPackageHeaderSize];
  if (length < static_cast<std::int64_t>(kPackageHeaderSize) ||
      !gPlatform->SeekStream(stream, 0, kSeekStart) ||
      gPlatform->ReadStream(stream, head, sizeof head) != sizeof head) {
    gPlatform->CloseStream(stream);
    return nullptr;
  }
  *header = ReadPackageHeader(head);
  return stream;
}

// One pass over the compressed data with a window of `window` bytes, writing
// the output to `bundle` as it comes. `produced` is what reached the bundle.
DecodeOutcome DecodeOnce(std::FILE* package, std::FILE* bundle, const PackageHeader& header,
                         std::uint32_t window, const Buffers& buffers, std::uint64_t* produced) {
  *produced = 0;
  lzma_stream stream = LZMA_STREAM_INIT;
  // Properties outside the decoder's range are refused here.
  if (StartPackageDecoder(&stream, header.properties, window) != LZMA_OK) {
    return kRejected;
  }

  const bool sizeKnown = !HasUnknownSize(header);
  // A stream of unknown size ends at its marker; one that runs on is cut at
  // the largest size the header could have announced, and rejected.
  const std::uint64_t limit = LargestOutput(header);
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

// Decodes the package into the bundle file; false when the stream was
// rejected or the bundle could not be written whole.
bool DecodeIntoBundle(std::FILE* package, const char* bundlePath, const PackageHeader& header,
                      const Buffers& buffers) {
  std::uint32_t window = FirstDecodingWindow(header);
  for (;;) {
    std::FILE* bundle = gPlatform->OpenStream(bundlePath, kStreamCreate);
    if (bundle == nullptr) {
      return false;
    }
    std::uint64_t produced = 0;
    const DecodeOutcome outcome = DecodeOnce(package, bundle, header, window, buffers, &produced);
    const bool closed = gPlatform->CloseStream(bundle);
    if (outcome == kDecoded && closed) {
      return true;
    }
    // A stream that outran its window is decoded once more, wider.
    if (outcome != kWindowTooSmall || window == kLargestWindow ||
        !gPlatform->SeekStream(package, static_cast<std::int64_t>(kPackageHeaderSize),
                               kSeekStart)) {
      return false;
    }
    window = WiderDecodingWindow(window, produced);
  }
}

}  // namespace

void DecodePackage(const char* packageCopyPath, const char* bundlePath) {
  PackageHeader header = {};
  std::FILE* package = OpenPackage(packageCopyPath, &header);
  Buffers buffers = {static_cast<std::uint8_t*>(std::malloc(kInputChunk)),
                     static_cast<std::uint8_t*>(std::malloc(kOutputChunk))};
  const bool decoded = package != nullptr && buffers.input != nullptr &&
                       buffers.output != nullptr &&
                       DecodeIntoBundle(package, bundlePath, header, buffers);
  if (!decoded) {
    // The bundle is left empty, never partial.
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

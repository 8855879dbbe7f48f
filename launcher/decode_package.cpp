// Decoding the package copy (format/package.h) into the bundle file. The
// stream is decoded in pieces straight into the file, so memory stays bounded
// whatever the package's size; a rejected stream leaves the bundle empty,
// never partial. An .xz package is decoded on as many threads as there are
// processors; an LZMA-Alone one on this thread. What the decoder has taken
// of the package copy is released as it goes (launcher/consumed_range.h), so
// the copy and the bundle together take about the bundle's room.
#include <cstdlib>

#include "format/package_decoder.h"
#include "launcher/consumed_range.h"
#include "launcher/launcher.h"

namespace {

constexpr std::size_t kInputChunk = 256 * 1024;
constexpr std::size_t kOutputChunk = 1024 * 1024;

struct Buffers {
  std::uint8_t* input;
  std::uint8_t* output;
};

// The open package copy, where the next read from it starts, and what of it
// has been released.
struct PackageInput {
  std::FILE* stream;
  std::int64_t position;
  ConsumedRange release;
};

// How a run of the decoder over the package ended.
enum PumpEnd {
  kStreamEnded,   // the decoder says the stream is complete
  kLimitReached,  // `limit` bytes out, the decoder still going
  kDecoderFailed,
  kWriteFailed,
};

enum DecodeOutcome {
  kDecoded,         // the output filled up or an end-of-stream marker was met
  kRejected,        // anything else: the bundle must end up empty
  kWindowTooSmall,  // rejected where a wider window might not have been
};

// Opens the package copy and reads the first kPackageHeaderSize bytes (an
// LZMA-Alone header, or the start of an .xz stream header); null when it
// cannot be opened or is shorter than that. No .xz file is shorter either.
// Once the header is read, the copy is opened again for update, so that what
// is decoded can be released, and read on from there; a copy that can only
// be read is decoded all the same, releasing nothing.
std::FILE* OpenPackage(const char* path, std::uint8_t head[kPackageHeaderSize]) {
  std::FILE* stream = gPlatform->streams->OpenStream(path, kStreamRead);
  if (stream == nullptr) {
    return nullptr;
  }
  std::int64_t length = -1;
  if (gPlatform->streams->SeekStream(stream, 0, kSeekEnd)) {
    length = gPlatform->streams->TellStream(stream);
  }
  if (length < static_cast<std::int64_t>(kPackageHeaderSize) ||
      !gPlatform->streams->SeekStream(stream, 0, kSeekStart) ||
      gPlatform->streams->ReadStream(stream, head, kPackageHeaderSize) != kPackageHeaderSize) {
    gPlatform->streams->CloseStream(stream);
    return nullptr;
  }
  std::FILE* update = gPlatform->streams->OpenStream(path, kStreamUpdate);
  if (update == nullptr) {
    return stream;
  }
  if (!gPlatform->streams->SeekStream(update, static_cast<std::int64_t>(kPackageHeaderSize),
                                      kSeekStart)) {
    gPlatform->streams->CloseStream(update);
    return stream;
  }
  gPlatform->streams->CloseStream(stream);
  return update;
}

// Seeks the package copy to `offset` for the next read.
bool SeekPackage(PackageInput* package, std::int64_t offset) {
  if (!gPlatform->streams->SeekStream(package->stream, offset, kSeekStart)) {
    return false;
  }
  package->position = offset;
  return true;
}

// Feeds the rest of the package to `stream` and writes what it gives to
// `bundle`, until the decoder ends or fails or `limit` bytes are out.
// `produced` is what reached the bundle; `result` the decoder's last word.
// What the decoder has taken in is released: it never reads it again.
PumpEnd Pump(lzma_stream* stream, PackageInput* package, std::FILE* bundle, std::uint64_t limit,
             const Buffers& buffers, std::uint64_t* produced, lzma_ret* result) {
  bool inputEnded = false;
  for (;;) {
    if (*produced == limit) {
      return kLimitReached;
    }
    if (stream->avail_in == 0 && !inputEnded) {
      ReleaseConsumed(&package->release, package->position);
      stream->next_in = buffers.input;
      stream->avail_in =
          gPlatform->streams->ReadStream(package->stream, buffers.input, kInputChunk);
      package->position += static_cast<std::int64_t>(stream->avail_in);
      inputEnded = stream->avail_in < kInputChunk;
    }
    const std::uint64_t room = limit - *produced;
    stream->next_out = buffers.output;
    stream->avail_out = room < kOutputChunk ? static_cast<std::size_t>(room) : kOutputChunk;
    *result = lzma_code(stream, inputEnded ? LZMA_FINISH : LZMA_RUN);
    const std::size_t got = static_cast<std::size_t>(stream->next_out - buffers.output);
    if (got > 0 && gPlatform->streams->WriteStream(bundle, buffers.output, got) != got) {
      return kWriteFailed;
    }
    *produced += got;
    if (*result == LZMA_STREAM_END) {
      return kStreamEnded;
    }
    if (*result != LZMA_OK) {
      return kDecoderFailed;
    }
  }
}

// One pass over the raw LZMA data of an LZMA-Alone package with a window of
// `window` bytes. `produced` is what reached the bundle.
DecodeOutcome DecodeAloneOnce(PackageInput* package, std::FILE* bundle, const PackageHeader& header,
                              std::uint32_t window, const Buffers& buffers,
                              std::uint64_t* produced) {
  *produced = 0;
  lzma_stream stream = LZMA_STREAM_INIT;
  // Properties outside the decoder's range are refused here.
  if (StartPackageDecoder(&stream, header.properties, window) != LZMA_OK) {
    lzma_end(&stream);
    return kRejected;
  }
  // A stream of known size ends there; one of unknown size ends at its
  // marker, and one that runs on is cut at the largest size the header could
  // have announced, and rejected.
  lzma_ret result = LZMA_OK;
  const PumpEnd end =
      Pump(&stream, package, bundle, LargestOutput(header), buffers, produced, &result);
  lzma_end(&stream);
  if (end == kStreamEnded || (end == kLimitReached && !HasUnknownSize(header))) {
    return kDecoded;
  }
  if (end == kDecoderFailed && WiderWindowMayDecode(result, *produced, window)) {
    return kWindowTooSmall;
  }
  return kRejected;
}

// Puts the package copy back at the start of its raw LZMA data for another
// pass. Once the first pass has released the start of the copy, the copy is
// written again from the package resource it was made from; the bundle has
// been emptied first, so the two never take more room than one pass does.
bool RewindPackage(PackageInput* package, const char* packagePath) {
  if (package->release.released > 0) {
    gPlatform->streams->CloseStream(package->stream);
    std::uint8_t head[kPackageHeaderSize];
    package->stream = nullptr;
    if (!CopyPackageResource(packagePath) ||
        (package->stream = OpenPackage(packagePath, head)) == nullptr) {
      return false;
    }
    package->release = StartConsumedRange(package->stream);
  }
  return SeekPackage(package, static_cast<std::int64_t>(kPackageHeaderSize));
}

// Decodes an LZMA-Alone package into the bundle file; false when the stream
// was rejected or the bundle could not be written whole.
bool DecodeAloneIntoBundle(PackageInput* package, const char* packagePath, const char* bundlePath,
                           const PackageHeader& header, const Buffers& buffers) {
  std::uint32_t window = FirstDecodingWindow(header);
  for (bool again = false;; again = true) {
    // Created afresh: a second pass starts with an empty bundle.
    std::FILE* bundle = gPlatform->streams->OpenStream(bundlePath, kStreamCreate);
    if (bundle == nullptr) {
      return false;
    }
    if (again && !RewindPackage(package, packagePath)) {
      gPlatform->streams->CloseStream(bundle);
      return false;
    }
    std::uint64_t produced = 0;
    const DecodeOutcome outcome =
        DecodeAloneOnce(package, bundle, header, window, buffers, &produced);
    const bool closed = gPlatform->streams->CloseStream(bundle);
    if (outcome == kDecoded && closed) {
      return true;
    }
    // A stream that outran its window is decoded once more, wider.
    if (outcome != kWindowTooSmall) {
      return false;
    }
    window = WiderDecodingWindow(window, produced);
  }
}

// Decodes an .xz package into the bundle file; false when the decoder
// refused it (damage, a failed check, a check it cannot compute or none, more
// memory than the limit), when it holds more than the largest bundle, or when
// the bundle could not be written whole.
bool DecodeXzIntoBundle(PackageInput* package, const char* bundlePath, const Buffers& buffers) {
  if (!SeekPackage(package, 0)) {
    return false;
  }
  std::FILE* bundle = gPlatform->streams->OpenStream(bundlePath, kStreamCreate);
  if (bundle == nullptr) {
    return false;
  }
  lzma_stream stream = LZMA_STREAM_INIT;
  PumpEnd end = kDecoderFailed;
  if (StartXzDecoder(&stream, DecodingThreads(gPlatform->clock->CountProcessors())) == LZMA_OK) {
    // One byte beyond the largest bundle proves the package too large.
    std::uint64_t produced = 0;
    lzma_ret result = LZMA_OK;
    end = Pump(&stream, package, bundle, kLargestBundleSize + 1, buffers, &produced, &result);
  }
  lzma_end(&stream);
  const bool closed = gPlatform->streams->CloseStream(bundle);
  return end == kStreamEnded && closed;
}

}  // namespace

void DecodePackage(const char* packageCopyPath, const char* bundlePath) {
  std::uint8_t head[kPackageHeaderSize];
  PackageInput package = {
      OpenPackage(packageCopyPath, head), static_cast<std::int64_t>(kPackageHeaderSize), {}};
  package.release = StartConsumedRange(package.stream);
  Buffers buffers = {static_cast<std::uint8_t*>(std::malloc(kInputChunk)),
                     static_cast<std::uint8_t*>(std::malloc(kOutputChunk))};
  bool decoded = false;
  if (package.stream != nullptr && buffers.input != nullptr && buffers.output != nullptr) {
    decoded = IsXzPackage(head, sizeof head)
                  ? DecodeXzIntoBundle(&package, bundlePath, buffers)
                  : DecodeAloneIntoBundle(&package, packageCopyPath, bundlePath,
                                          ReadPackageHeader(head), buffers);
  }
  if (!decoded) {
    // The bundle is left empty, never partial.
    std::FILE* emptied = gPlatform->streams->OpenStream(bundlePath, kStreamCreate);
    if (emptied != nullptr) {
      gPlatform->streams->CloseStream(emptied);
    }
  }
  if (package.stream != nullptr) {
    gPlatform->streams->CloseStream(package.stream);
  }
  std::free(buffers.output);
  std::free(buffers.input);
  gPlatform->workspace->DeleteFileAt(packageCopyPath);
}

// Decoding the package copy (a 13-byte LZMA header and raw LZMA data) into the
// bundle file. Any rejected stream leaves the bundle empty, never partial.
#include <lzma.h>

#include <cstdlib>

#include "launcher/launcher.h"

namespace {

constexpr std::int64_t kHeaderSize = 13;
// The low half of the unpacked size when the encoder did not know it; the
// stream then ends with an end-of-stream marker.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;

struct PackageHeader {
  std::uint8_t properties;
  std::uint32_t dictionarySize;
  std::uint32_t unpackedSize;
};

std::uint32_t ReadLittleEndian32(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  for (int k = 0; k < 4; ++k) {
    value |= static_cast<std::uint32_t>(bytes[k]) << (8 * k);
  }
  return value;
}

// Reads the header and all compressed data into a new buffer. False, with
// nothing allocated, when the copy cannot be opened, read or is too short.
bool ReadPackage(const char* path, PackageHeader* header, std::uint8_t** data,
                 std::size_t* size) {
  std::FILE* stream = gPlatform->OpenStream(path, kStreamRead);
  if (stream == nullptr) {
    return false;
  }
  std::int64_t length = -1;
  if (gPlatform->SeekStream(stream, 0, kSeekEnd)) {
    length = gPlatform->TellStream(stream);
  }
  std::uint8_t head[kHeaderSize];
  if (length < kHeaderSize || static_cast<std::uint64_t>(length - kHeaderSize) > SIZE_MAX ||
      !gPlatform->SeekStream(stream, 0, kSeekStart) ||
      gPlatform->ReadStream(stream, head, sizeof head) != sizeof head) {
    gPlatform->CloseStream(stream);
    return false;
  }
  header->properties = head[0];
  header->dictionarySize = ReadLittleEndian32(head + 1);
  header->unpackedSize = ReadLittleEndian32(head + 5);
  // Bytes 9..12, the high half of the unpacked size, play no part.

  *size = static_cast<std::size_t>(length - kHeaderSize);
  *data = static_cast<std::uint8_t*>(std::malloc(*size > 0 ? *size : 1));
  if (*data == nullptr || gPlatform->ReadStream(stream, *data, *size) != *size) {
    std::free(*data);
    *data = nullptr;
    gPlatform->CloseStream(stream);
    return false;
  }
  gPlatform->CloseStream(stream);
  return true;
}

// Decodes `input` into `output` (at most `capacity` bytes). The count produced
// when the output filled up or an end-of-stream marker was met; 0 for every
// other outcome, so that a rejected stream is never used in part.
std::size_t DecodeLzma(LzmaProperties properties, const std::uint8_t* input,
                       std::size_t inputSize, std::uint8_t* output, std::size_t capacity,
                       bool* outputFull) {
  *outputFull = false;
  lzma_options_lzma options = {};
  // Matches may reach back to the first byte of the output, whatever the
  // header's dictionary size says.
  options.dict_size = capacity > LZMA_DICT_SIZE_MIN ? static_cast<std::uint32_t>(capacity)
                                                    : LZMA_DICT_SIZE_MIN;
  options.lc = properties.lc;
  options.lp = properties.lp;
  options.pb = properties.pb;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options},
                                 {LZMA_VLI_UNKNOWN, nullptr}};

  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
    return 0;
  }
  stream.next_in = input;
  stream.avail_in = inputSize;
  stream.next_out = output;
  stream.avail_out = capacity;
  std::size_t produced = 0;
  for (;;) {
    const lzma_ret result = lzma_code(&stream, LZMA_FINISH);
    if (result == LZMA_STREAM_END) {
      produced = capacity - stream.avail_out;
      break;
    }
    if (result != LZMA_OK) {
      break;
    }
    if (stream.avail_out == 0) {
      produced = capacity;
      *outputFull = true;
      break;
    }
  }
  lzma_end(&stream);
  return produced;
}

// Decodes a stream of unknown size up to its end-of-stream marker, growing the
// output as it goes. A stream that fills the largest output a bundle may have
// without ending is rejected.
std::size_t DecodeUnknownSize(LzmaProperties properties, const std::uint8_t* input,
                              std::size_t inputSize, std::uint8_t** output) {
  constexpr std::size_t limit = kUnknownSize - 1;
  std::size_t capacity = inputSize < limit / 4 ? inputSize * 4 + 4096 : limit;
  for (;;) {
    std::free(*output);
    *output = static_cast<std::uint8_t*>(std::malloc(capacity));
    if (*output == nullptr) {
      return 0;
    }
    bool full = false;
    const std::size_t produced = DecodeLzma(properties, input, inputSize, *output, capacity, &full);
    if (!full) {
      return produced;
    }
    if (capacity == limit) {
      return 0;
    }
    capacity = capacity < limit / 2 ? capacity * 2 : limit;
  }
}

void WriteBundle(const char* bundlePath, const std::uint8_t* data, std::size_t size) {
  std::FILE* stream = gPlatform->OpenStream(bundlePath, kStreamCreate);
  if (stream == nullptr) {
    return;
  }
  if (size > 0) {
    gPlatform->WriteStream(stream, data, size);
  }
  gPlatform->CloseStream(stream);
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
  std::uint8_t* input = nullptr;
  std::size_t inputSize = 0;
  std::uint8_t* output = nullptr;
  std::size_t produced = 0;

  if (ReadPackage(packageCopyPath, &header, &input, &inputSize)) {
    const LzmaProperties properties = SplitLzmaProperties(header.properties);
    if (header.unpackedSize == kUnknownSize) {
      produced = DecodeUnknownSize(properties, input, inputSize, &output);
    } else {
      output = static_cast<std::uint8_t*>(std::malloc(header.unpackedSize > 0 ? header.unpackedSize : 1));
      bool full = false;
      if (output != nullptr) {
        produced = DecodeLzma(properties, input, inputSize, output, header.unpackedSize, &full);
      }
    }
  }

  WriteBundle(bundlePath, output, produced);
  std::free(output);
  std::free(input);
  gPlatform->DeleteFileAt(packageCopyPath);
}

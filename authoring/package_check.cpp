// Checking a package as the launcher would take it.
#include "authoring/package_check.h"

#include <cstdlib>
#include <cstring>

#include "format/tree_bundle.h"
#include "format/package_decoder.h"

namespace {

constexpr std::uint8_t kLargestProperties = 224;       // lc 8, lp 4, pb 4
constexpr std::uint32_t kLargestPlausibleHigh = 0x3F;  // sizes below 256 GiB

bool IsDictionarySize(std::uint32_t size) {
  if (size == 0xFFFFFFFFu) {
    return true;
  }
  for (int n = 0; n < 32; ++n) {
    const std::uint64_t power = 1ull << n;
    if (size == power || (n > 0 && size == power + (power >> 1))) {
      return true;
    }
  }
  return false;
}

// What a stream that decoded `produced` bytes and ended (or filled its
// announced size) holds.
PackageVerdict EndedWith(const std::uint8_t* output, std::uint64_t produced) {
  if (BundleRevisionOf(output, static_cast<std::size_t>(produced)) == kNotABundle) {
    return kPackageNotBundle;
  }
  return kPackageStartsToDecode;
}

// The refusal of data that does not decode: damage in a package, or a file
// that never was one.
PackageVerdict Undecodable(const PackageHeader& header) {
  return LooksLikeLzmaAloneHeader(header) ? kPackageDamaged : kPackageNotLzma;
}

// Runs a started decoder over `size` bytes of input into `limit` bytes of
// output; when the input is the whole file and the output did not fill, the
// stream is finished, so a stream that runs out shows as cut short. liblzma
// says so (LZMA_BUF_ERROR) only once a call has made no progress, so the
// finishing goes on until it ends, fails or fills the output.
lzma_ret DecodeStart(lzma_stream* stream, const std::uint8_t* input, std::size_t size, bool whole,
                     std::uint8_t* output, std::size_t limit) {
  stream->next_in = input;
  stream->avail_in = size;
  stream->next_out = output;
  stream->avail_out = limit;
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK && stream->avail_out > 0 && stream->avail_in > 0) {
    result = lzma_code(stream, LZMA_RUN);
  }
  while (result == LZMA_OK && stream->avail_out > 0 && whole) {
    result = lzma_code(stream, LZMA_FINISH);
  }
  return result;
}

// Decodes the start of an LZMA-Alone stream with a window covering all the
// output looked at, so that any data error is real.
PackageCheck CheckLzmaAlone(const std::uint8_t* bytes, std::size_t size, bool whole,
                            const PackageHeader& header) {
  PackageCheck check = {kPackageStartsToDecode, header, 0, false, LZMA_OK};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (StartPackageDecoder(&stream, header.properties, kPackageCheckOutput) != LZMA_OK) {
    lzma_end(&stream);
    check.verdict =
        LooksLikeLzmaAloneHeader(header) ? kPackageUnsupportedProperties : kPackageNotLzma;
    return check;
  }
  const std::uint64_t announced = LargestOutput(header);
  const std::size_t limit =
      announced < kPackageCheckOutput ? static_cast<std::size_t>(announced) : kPackageCheckOutput;
  std::uint8_t* output = static_cast<std::uint8_t*>(std::malloc(limit > 0 ? limit : 1));
  if (output == nullptr) {
    lzma_end(&stream);
    return check;  // nothing to say against it
  }
  const lzma_ret result = DecodeStart(&stream, bytes + kPackageHeaderSize,
                                      size - kPackageHeaderSize, whole, output, limit);
  check.decoded = stream.total_out;
  const bool complete =
      result == LZMA_STREAM_END || (stream.total_out == announced && !HasUnknownSize(header));
  if (complete) {
    check.verdict = EndedWith(output, check.decoded);
  } else if (result != LZMA_OK && result != LZMA_BUF_ERROR) {
    check.verdict = check.decoded == 0 ? Undecodable(header) : kPackageDamaged;
  } else if (stream.avail_out > 0 && whole) {
    check.verdict =
        LooksLikeLzmaAloneHeader(header) || check.decoded > 0 ? kPackageTruncated : kPackageNotLzma;
  } else if (check.decoded >= sizeof kBundleMagic) {
    check.verdict = EndedWith(output, check.decoded);
  }
  std::free(output);
  lzma_end(&stream);
  return check;
}

// Decodes the start of an .xz package with the launcher's decoder settings on
// one thread: whatever the launcher refuses before it writes a byte (a
// missing or unknown check, a dictionary beyond its memory limit, another
// filter) is refused here too, as is damage within the bytes given.
PackageCheck CheckXz(const std::uint8_t* bytes, std::size_t size, bool whole) {
  PackageCheck check = {kPackageStartsToDecode, ReadPackageHeader(bytes), 0, true, LZMA_OK};
  lzma_stream stream = LZMA_STREAM_INIT;
  std::uint8_t* output = static_cast<std::uint8_t*>(std::malloc(kPackageCheckOutput));
  if (output == nullptr || StartXzDecoder(&stream, 1) != LZMA_OK) {
    std::free(output);
    lzma_end(&stream);
    return check;  // nothing to say against it
  }
  const lzma_ret result = DecodeStart(&stream, bytes, size, whole, output, kPackageCheckOutput);
  check.decoded = stream.total_out;
  check.decoderResult = result;
  switch (result) {
    case LZMA_OK:
    case LZMA_STREAM_END:
      check.verdict = check.decoded >= sizeof kBundleMagic || result == LZMA_STREAM_END
                          ? EndedWith(output, check.decoded)
                          : kPackageStartsToDecode;
      break;
    case LZMA_BUF_ERROR:
      check.verdict = kPackageTruncated;
      break;
    case LZMA_DATA_ERROR:
    case LZMA_FORMAT_ERROR:
      check.verdict = kPackageDamaged;
      break;
    default:
      check.verdict = kPackageXzRefused;
      break;
  }
  std::free(output);
  lzma_end(&stream);
  return check;
}

}  // namespace

bool LooksLikeLzmaAloneHeader(const PackageHeader& header) {
  return header.properties <= kLargestProperties && IsDictionarySize(header.dictionarySize) &&
         (HasUnknownSize(header) ? header.unpackedHigh == 0xFFFFFFFFu
                                 : header.unpackedHigh <= kLargestPlausibleHigh);
}

PackageCheck CheckPackage(const std::uint8_t* bytes, std::size_t size, bool whole) {
  PackageCheck check = {kPackageTooShort, {}, 0, false, LZMA_OK};
  if (size > kPackageCheckInput) {
    size = kPackageCheckInput;
    whole = false;
  }
  if (BundleRevisionOf(bytes, size) != kNotABundle) {
    check.verdict = kPackageIsBundle;
    return check;
  }
  if (size < kPackageHeaderSize) {
    return check;
  }
  if (IsXzPackage(bytes, size)) {
    return CheckXz(bytes, size, whole);
  }
  check.header = ReadPackageHeader(bytes);
  return CheckLzmaAlone(bytes, size, whole, check.header);
}

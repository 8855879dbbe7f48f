// Hostile packages for the decoding stage. Whatever the package copy holds, the
// copy is deleted, the bundle file stays, and the bundle is exactly what a
// separate liblzma decode of the same bytes gives under the launcher's rules.
//
// An LZMA-Alone package (anything that does not begin with the .xz magic):
//
//   - byte 0 is lc + 9 lp + 45 pb;
//   - bytes 5..8 cap the output; 0xFFFFFFFF means "unknown": decode up to the
//     end marker;
//   - a match may reach back to the first byte of the output, whatever the
//     dictionary field (bytes 1..4) says; bytes 9..12 play no part;
//   - the stream is used when the output fills up or an end marker is met,
//     and in no other case: then the bundle is empty.
//
// An .xz package, which the launcher decodes with liblzma's threaded decoder
// on 1 to 3 processors (the input's length picks how many, so that the
// direct and the threaded ways are both taken), against liblzma's
// single-threaded .xz decoder:
//
//   - any number of streams, with padding between them;
//   - used when every stream decodes and its checks match, and no later than
//     the largest bundle; a stream without a check or with one of an unknown
//     kind, or one that needs more than kXzMemoryLimit, is rejected.
//
// What a run costs: an LZMA-Alone decoder may hold a window as large as the
// smaller of the dictionary field and the declared size, and under
// AddressSanitizer a large allocation costs milliseconds to seconds. Packages
// asking for more than MIRELK_FUZZ_WINDOW_LIMIT bytes (default 1 MiB) are
// therefore skipped, and so are .xz packages with a block that needs a
// dictionary above it (as far as the reference follows them) or whose first
// block claims a size above it (the threaded decoder allocates what it
// claims);
// scripts/fuzz replays the seeds and regressions, which hold such headers,
// without that limit. The reference decodes at most 1 MiB of output; of a
// longer bundle it checks the start. Writes to the bundle fail beyond
// 1.25 MiB, as on a full disk: the bundle must then be empty.
#include <algorithm>

#include "format/package_decoder.h"
#include "launcher/launcher.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using fuzz::Bytes;
using fuzz::Fail;
// How much output the reference decodes, with a window that holds all of it.
constexpr std::uint64_t kFollowed = std::uint64_t{1} << 20;
// How much one bundle file may take before a write to it fails, as on a full
// disk. A few KiB of package can expand to hundreds of MiB; this keeps each
// run short and makes the launcher meet failed writes. More than the reference
// follows, so that every bundle it judges in full fits.
constexpr std::size_t kBundleRoom = kFollowed + (256u << 10);

std::uint64_t WindowLimit() {
  static const std::uint64_t limit = [] {
    const char* value = std::getenv("MIRELK_FUZZ_WINDOW_LIMIT");
    return value != nullptr && value[0] != '\0' ? std::strtoull(value, nullptr, 0)
                                                : std::uint64_t{1} << 20;
  }();
  return limit;
}

struct Places {
  std::string copy;
  std::string bundle;
};

const Places& GetPlaces() {
  static const Places places = {fuzz::ScratchRoot() + "/package-copy",
                                fuzz::ScratchRoot() + "/bundle"};
  return places;
}

// What the reference makes of a package.
struct Reference {
  enum Verdict {
    kRejected,  // the bundle must be empty
    kDecoded,   // the bundle must be `bytes`
    kLonger,    // valid so far but longer than the reference follows: the
                // bundle is empty, or starts with `bytes` and goes on
  } verdict = kRejected;
  Bytes bytes;
  std::uint64_t largest = 0;  // the longest bundle the package may give
};

// Decodes with liblzma's streaming raw decoder in one pass, with a window as
// large as all the output it takes and that output in slices.
Reference DecodeIndependently(const std::uint8_t* data, std::size_t size) {
  Reference reference;
  if (size < kPackageHeaderSize) {
    return reference;
  }
  const PackageHeader header = ReadPackageHeader(data);
  const bool unknown = HasUnknownSize(header);
  const std::uint64_t cap = LargestOutput(header);
  reference.largest = unknown ? kLargestBundleSize : header.unpackedSize;
  const std::uint64_t followed = std::min(cap, kFollowed);
  const std::uint32_t window =
      static_cast<std::uint32_t>(std::max<std::uint64_t>(followed, kSmallestWindow));

  lzma_stream stream = LZMA_STREAM_INIT;
  if (StartPackageDecoder(&stream, header.properties, window) != LZMA_OK) {
    return reference;  // lc + lp above 4, or pb above 4 (or 5, from 225 up)
  }
  stream.next_in = data + kPackageHeaderSize;
  stream.avail_in = size - kPackageHeaderSize;
  Bytes& out = reference.bytes;
  constexpr std::size_t kSlice = 64 * 1024;
  lzma_ret result = LZMA_OK;
  while (out.size() < followed) {
    const std::size_t before = out.size();
    const std::size_t room =
        static_cast<std::size_t>(std::min<std::uint64_t>(kSlice, followed - before));
    out.resize(before + room);
    stream.next_out = out.data() + before;
    stream.avail_out = room;
    result = lzma_code(&stream, LZMA_FINISH);
    out.resize(out.size() - stream.avail_out);
    if (result != LZMA_OK) {
      break;
    }
  }
  lzma_end(&stream);

  const bool reached = result == LZMA_OK && out.size() == followed;
  if (result == LZMA_STREAM_END || (reached && followed == cap && !unknown)) {
    reference.verdict = Reference::kDecoded;
  } else if (reached && followed < cap) {
    reference.verdict = Reference::kLonger;
  } else {
    reference.verdict = Reference::kRejected;
    out.clear();
  }
  return reference;
}

// Decodes an .xz package with liblzma's single-threaded .xz decoder, all the
// input at once and the output in slices, up to kFollowed bytes, allowing it
// `memoryLimit` bytes. `limitReached` says whether that was too little.
Reference DecodeXzIndependently(const std::uint8_t* data, std::size_t size,
                                std::uint64_t memoryLimit, bool* limitReached) {
  Reference reference;
  reference.largest = kLargestBundleSize;
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&stream, memoryLimit,
                          LZMA_CONCATENATED | LZMA_TELL_NO_CHECK | LZMA_TELL_UNSUPPORTED_CHECK) !=
      LZMA_OK) {
    Fail("the reference .xz decoder would not start");
  }
  stream.next_in = data;
  stream.avail_in = size;
  Bytes& out = reference.bytes;
  constexpr std::size_t kSlice = 64 * 1024;
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK && out.size() < kFollowed) {
    const std::size_t before = out.size();
    out.resize(before + std::min<std::size_t>(kSlice, kFollowed - before));
    stream.next_out = out.data() + before;
    stream.avail_out = out.size() - before;
    result = lzma_code(&stream, LZMA_FINISH);
    out.resize(out.size() - stream.avail_out);
  }
  lzma_end(&stream);
  *limitReached = result == LZMA_MEMLIMIT_ERROR;
  if (result == LZMA_STREAM_END) {
    reference.verdict = Reference::kDecoded;
  } else if (result == LZMA_OK) {
    reference.verdict = Reference::kLonger;
  } else {
    out.clear();
  }
  return reference;
}

// Whether the first block of an .xz package claims a size above `limit`,
// which the threaded decoder would allocate.
bool FirstBlockClaimsMoreThan(const std::uint8_t* data, std::size_t size, std::uint64_t limit) {
  constexpr std::size_t kStreamHeader = 12;
  lzma_stream_flags flags;
  if (size <= kStreamHeader || lzma_stream_header_decode(&flags, data) != LZMA_OK ||
      data[kStreamHeader] == 0) {
    return false;
  }
  lzma_filter filters[LZMA_FILTERS_MAX + 1];
  lzma_block block = {};
  block.version = 1;
  block.check = flags.check;
  block.filters = filters;
  block.header_size = lzma_block_header_size_decode(data[kStreamHeader]);
  if (size < kStreamHeader + block.header_size ||
      lzma_block_header_decode(&block, nullptr, data + kStreamHeader) != LZMA_OK) {
    return false;
  }
  lzma_filters_free(filters, nullptr);
  const auto claims = [limit](lzma_vli value) {
    return value != LZMA_VLI_UNKNOWN && value > limit;
  };
  return claims(block.compressed_size) || claims(block.uncompressed_size);
}

// The processors the launcher is told of: 1, 2 or 3, by the input's length.
std::uint32_t gProcessors = 1;
std::uint32_t FuzzedProcessors() {
  return gProcessors;
}

// The stage may read the copy (and open it for update, to give back what it
// has consumed), write the bundle and delete the copy: nothing else. Each
// bundle file it creates may take kBundleRoom bytes.
std::FILE* GuardedOpen(const char* path, StreamMode mode) {
  const Places& places = GetPlaces();
  const bool allowed = mode == kStreamRead || mode == kStreamUpdate
                           ? places.copy == path
                           : mode == kStreamCreate && places.bundle == path;
  if (!allowed) {
    Fail("the decoding stage opened %s in mode %d", path, static_cast<int>(mode));
  }
  if (mode == kStreamCreate) {
    testing_support::gWriteBudget = kBundleRoom;
  }
  std::FILE* stream = kSystemStreams.OpenStream(path, mode);
  fuzz::gLedger.Opened(stream);
  return stream;
}

bool GuardedDelete(const char* path) {
  return fuzz::DeleteOnly(GetPlaces().copy, path);
}

std::size_t FirstDifference(const Bytes& a, const Bytes& b) {
  const std::size_t common = std::min(a.size(), b.size());
  return static_cast<std::size_t>(
      std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(common), b.begin()).first -
      a.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool xz = size >= kPackageHeaderSize && IsXzPackage(data, size);
  if (size >= kPackageHeaderSize && !xz &&
      FirstDecodingWindow(ReadPackageHeader(data)) > WindowLimit()) {
    return 0;
  }
  // Within the fuzzing run's budget the reference decodes just as it would
  // with the launcher's own limit, which the replay uses.
  bool limitReached = false;
  Reference reference;
  if (xz) {
    reference =
        DecodeXzIndependently(data, size, std::min(WindowLimit(), kXzMemoryLimit), &limitReached);
    if ((limitReached && WindowLimit() < kXzMemoryLimit) ||
        FirstBlockClaimsMoreThan(data, size, WindowLimit())) {
      return 0;
    }
  } else {
    reference = DecodeIndependently(data, size);
  }
  gProcessors = static_cast<std::uint32_t>(1 + size % 3);
  const Places& places = GetPlaces();
  testing_support::WriteFile(places.copy, Bytes(data, data + size));
  // The sequence hands over an empty bundle file; stale bytes here also show
  // that a rejected stream empties it rather than leaving it alone.
  testing_support::WriteFile(places.bundle, testing_support::ToBytes("stale"));

  static const testing_support::PlatformParts guarded = [] {
    testing_support::PlatformParts ops = fuzz::StageOps("decoding", GuardedOpen, GuardedDelete);
    ops.clock.CountProcessors = FuzzedProcessors;
    return ops;
  }();
  testing_support::gWriteBudgetExceeded = false;
  {
    testing_support::PlatformOverride use(guarded);
    DecodePackage(places.copy.c_str(), places.bundle.c_str());
  }
  const std::size_t leftOpen = fuzz::gLedger.CloseLeftovers();
  if (leftOpen > 0) {
    Fail("the decoding stage left %zu stream(s) open", leftOpen);
  }

  if (testing_support::Exists(places.copy)) {
    Fail("the package copy is still there");
  }
  if (testing_support::KindOf(places.bundle) != testing_support::Kind::kFile) {
    Fail("the bundle file is gone (or is not a plain file)");
  }
  const Bytes bundle = testing_support::ReadFile(places.bundle);
  const std::vector<std::string> present = testing_support::ListDirectory(fuzz::ScratchRoot());
  if (present != std::vector<std::string>{"bundle"}) {
    Fail("the scratch directory holds %zu entries where only the bundle should be", present.size());
  }

  if (testing_support::gWriteBudgetExceeded && !bundle.empty()) {
    Fail("a write to the bundle failed, yet the bundle holds %zu bytes", bundle.size());
  }

  switch (reference.verdict) {
    case Reference::kRejected:
      if (!bundle.empty()) {
        Fail("a rejected stream left a bundle of %zu bytes", bundle.size());
      }
      break;
    case Reference::kDecoded:
      if (bundle != reference.bytes) {
        Fail("bundle of %zu bytes, the reference decoded %zu; first difference at %zu",
             bundle.size(), reference.bytes.size(), FirstDifference(bundle, reference.bytes));
      }
      break;
    case Reference::kLonger: {
      const Bytes& start = reference.bytes;
      const bool fits = bundle.size() <= reference.largest;
      if (!bundle.empty() && (bundle.size() < start.size() ||
                              FirstDifference(bundle, start) < start.size() || !fits)) {
        Fail("bundle of %zu bytes does not start with the reference's %zu, or is too long",
             bundle.size(), start.size());
      }
      break;
    }
  }
  return 0;
}

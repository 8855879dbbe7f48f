// liblzma's decoders set up for a package stream (format/package.h): the raw
// LZMA1 decoder for LZMA-Alone packages, the .xz decoder for .xz ones.
// Header-only; whoever includes it links liblzma.
#pragma once

#include <lzma.h>

#include "format/package.h"

static_assert(kSmallestWindow == LZMA_DICT_SIZE_MIN, "the decoder takes the smallest window");

// Whether liblzma's LZMA1 decoder takes a properties byte: lc + lp at most 4
// and pb at most 4. StartPackageDecoder refuses exactly the others.
constexpr bool DecoderTakesProperties(std::uint8_t properties) {
  const LzmaProperties split = SplitLzmaProperties(properties);
  return split.lc + split.lp <= 4 && split.pb <= 4;
}

// Whether a pass with `window` that failed with `result` after `produced`
// bytes may have failed for the window alone: a match reaching back beyond it
// is a data error like real damage, and only a wider window tells them apart.
constexpr bool WiderWindowMayDecode(lzma_ret result, std::uint64_t produced, std::uint32_t window) {
  return result == LZMA_DATA_ERROR && produced > window && window != kLargestWindow;
}

// LZMA_OK, or the decoder's refusal of properties outside its range (lc + lp
// above 4, pb above 4). The stream must be ended with lzma_end either way.
inline lzma_ret StartPackageDecoder(lzma_stream* stream, std::uint8_t properties,
                                    std::uint32_t window) {
  const LzmaProperties split = SplitLzmaProperties(properties);
  lzma_options_lzma options = {};
  options.dict_size = window;
  options.lc = split.lc;
  options.lp = split.lp;
  options.pb = split.pb;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  return lzma_raw_decoder(stream, filters);
}

// How the .xz decoder takes a package: any number of concatenated streams
// (and the padding between them), as any .xz reader does; a stream with no
// integrity check, or with one this liblzma cannot compute, is refused rather
// than decoded unchecked; and damage is reported as soon as a thread finds it.
constexpr std::uint32_t kXzDecoderFlags =
    LZMA_CONCATENATED | LZMA_TELL_NO_CHECK | LZMA_TELL_UNSUPPORTED_CHECK | LZMA_FAIL_FAST;

// liblzma's .xz decoder on `threads` threads within the memory limits of
// format/package.h. One thread decodes directly, without a worker thread or
// whole-block buffers. The stream must be ended with lzma_end either way.
inline lzma_ret StartXzDecoder(lzma_stream* stream, std::uint32_t threads) {
  lzma_mt options = {};
  options.flags = kXzDecoderFlags;
  options.threads = threads;
  options.memlimit_threading = threads > 1 ? kXzThreadingMemory : 1;
  options.memlimit_stop = kXzMemoryLimit;
  return lzma_stream_decoder_mt(stream, &options);
}

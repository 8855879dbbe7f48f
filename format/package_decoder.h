// liblzma's raw LZMA1 decoder set up for a package stream: lc, lp and pb from
// the header's properties byte, and a window (format/package.h says which).
// Header-only; whoever includes it links liblzma.
#pragma once

#include <lzma.h>

#include "format/package.h"

static_assert(kSmallestWindow == LZMA_DICT_SIZE_MIN, "the decoder takes the smallest window");

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

// Whether the launcher would take a package: the one place that says so, for
// every kind of package the launcher unpacks. mirelk-pack asks it before it
// attaches a package and before it lists one. Needs liblzma.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/package.h"

enum PackageVerdict : int {
  kPackageStartsToDecode,         // the header is one the decoder takes and the data
                                  // decodes, as far as it was given, into a bundle
  kPackageTooShort,               // shorter than the 13-byte header
  kPackageIsBundle,               // an uncompressed bundle (either revision), not a package
  kPackageNotLzma,                // neither an LZMA-Alone header nor data that decodes
  kPackageUnsupportedProperties,  // lc + lp or pb beyond what the decoder takes
  kPackageDamaged,                // an LZMA-Alone header, but data that does not decode
  kPackageTruncated,              // the whole package ends before its bundle does
  kPackageNotBundle,              // it decodes, but not into a bundle
  kPackageXzRefused,              // an .xz stream the launcher's decoder refuses as it
                                  // stands (no check, an unknown one, too much memory,
                                  // a filter it lacks): see `decoderResult`
};

struct PackageCheck {
  PackageVerdict verdict;
  PackageHeader header;   // valid from kPackageNotLzma on (its first
                          // 13 bytes, for an .xz package)
  std::uint64_t decoded;  // bytes decoded when the verdict was reached
  bool xz;                // an .xz package (it begins with the .xz magic)
  int decoderResult;      // for an .xz package, the decoder's last lzma_ret
};

// How much of a package CheckPackage looks at: the first bytes of the file
// and, of their output, at most this much. Decoding that little is cheap.
constexpr std::size_t kPackageCheckInput = 1u << 20;
constexpr std::size_t kPackageCheckOutput = 1u << 20;

// Checks the first `size` bytes of a package (at most kPackageCheckInput are
// read); `whole` says whether they are the whole file, so that a stream that
// runs out counts as cut short rather than as not yet given.
PackageCheck CheckPackage(const std::uint8_t* bytes, std::size_t size, bool whole);

// Whether a header is one real LZMA-Alone encoders write: properties in
// range, a dictionary of 2^n or 2^n + 2^(n-1) bytes (or the largest), and
// an unknown size or one below 256 GiB. The launcher takes any header; this
// only tells a damaged package from a file that is no package at all.
bool LooksLikeLzmaAloneHeader(const PackageHeader& header);

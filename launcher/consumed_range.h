// Giving back the disk space of what a stage has read from a workspace file
// and will never read again, so that the package copy and the bundle take no
// more room than what is still to come out of them.
#pragma once

#include <cstdint>
#include <cstdio>

// Space is given back in pieces of this size, from the file's start on: few
// enough calls to cost nothing, small enough to leave little unreleased.
constexpr std::int64_t kReleasePiece = 2 << 20;

struct ConsumedRange {
  std::FILE* stream;      // open for update; null: nothing is released
  std::int64_t released;  // the first bytes already given back
  bool refused;           // the file system cannot: no more attempts
};

// Starts with nothing released of `stream` (which may be null).
ConsumedRange StartConsumedRange(std::FILE* stream);

// The stage has read everything before `consumed`: the whole pieces below it
// not yet released are. A file system that refuses is asked no more; the
// file is then as it would be without this.
void ReleaseConsumed(ConsumedRange* range, std::int64_t consumed);

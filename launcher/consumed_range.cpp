// Releasing what a stage has consumed of a workspace file, piece by piece.
#include "launcher/consumed_range.h"

#include "platform/platform.h"

ConsumedRange StartConsumedRange(std::FILE* stream) {
  return ConsumedRange{stream, 0, stream == nullptr};
}

void ReleaseConsumed(ConsumedRange* range, std::int64_t consumed) {
  const std::int64_t end = consumed - consumed % kReleasePiece;
  if (range->refused || end <= range->released) {
    return;
  }
  if (!gPlatform->streams->ReleaseStreamRange(range->stream, range->released,
                                              end - range->released)) {
    range->refused = true;
    return;
  }
  range->released = end;
}

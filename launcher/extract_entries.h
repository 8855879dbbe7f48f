// What the two bundle revisions' extraction shares (launcher/extract_bundle.cpp
// reads the flat one and holds these, launcher/extract_tree.cpp the tree one).
#pragma once

#include <cstdint>
#include <cstdio>

#include "launcher/consumed_range.h"
#include "launcher/launcher.h"

// Reads one field; false when the bundle ends first.
bool ReadField(std::FILE* bundle, std::uint32_t* value);

// What the bundle still holds after the stream's position, of `length` bytes.
std::int64_t Remaining(std::FILE* bundle, std::int64_t length);

// How entry data is copied: through one buffer for the whole stage, large
// enough that a big entry takes few system calls, and with what has been
// copied released from the bundle.
constexpr std::size_t kCopyChunk = 1024 * 1024;

struct EntryCopier {
  std::uint8_t* chunk;  // kCopyChunk bytes
  ConsumedRange release;
};

// Copies `size` bytes of the bundle into the entry file; false when the
// bundle could not deliver them or the file could not take them. Every piece
// copied is one the bundle no longer needs.
bool CopyEntryData(EntryCopier* copier, std::FILE* bundle, std::FILE* entry, std::uint32_t size);

// Writes every entry of a tree bundle after its magic; the stream is left open.
ExtractOutcome ExtractTreeEntries(std::FILE* bundle, std::int64_t length, EntryCopier* copier,
                                  const char* extractionDirectory, char launchPath[kPathCapacity]);

// ELF executables, as far as mirelk-pack needs them: telling a POSIX
// launcher stub, which carries the launcher mark as an ELF note
// (format/launcher_note.cpp), from any other program. Tool code.
#pragma once

#include <cstdint>
#include <span>

namespace elf {

// Whether the bytes begin like an ELF file (magic, a known class and byte order).
bool IsElfImage(std::span<const std::uint8_t> bytes);

// Whether an ELF image carries the launcher mark: a note of owner
// LAUNCHER_MARK_TYPE and type LAUNCHER_MARK_ID whose description is
// LAUNCHER_MARK_TEXT (format/resource_ids.h), in a note segment, where it
// stays however the image is stripped.
bool CarriesLauncherMark(std::span<const std::uint8_t> image);

}  // namespace elf

// The version block (RT_VERSION): a VS_VERSIONINFO laid out byte for byte as
// windres lays out the one in resources/launcher.rc.in.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pe {

using VersionNumbers = std::array<std::uint16_t, 4>;

// "A", "A.B", "A.B.C" or "A.B.C.D", each a decimal number from 0 to 65535;
// the parts not given are 0. FormatError for anything else.
VersionNumbers ParseVersionNumbers(std::string_view text);

struct VersionInfo {
  VersionNumbers fileVersion{};
  VersionNumbers productVersion{};
  // The string table's keys and values, UTF-8, in the block's order.
  std::vector<std::pair<std::string, std::string>> strings;
};

// The block: fixed information for a Windows NT application (flags mask 0x3F,
// no flags), one string table for Chinese (PRC) in UTF-16 ("080404B0") and
// the translation 0x0804, 1200. FormatError when a string is not UTF-8 or the
// block would pass 65535 bytes.
std::vector<std::uint8_t> EncodeVersionInfo(const VersionInfo& info);

// The launcher's string keys, in the order of its resource script.
inline constexpr std::array<std::string_view, 7> kLauncherVersionKeys = {
    "CompanyName",      "FileDescription", "FileVersion",   "LegalCopyright",
    "OriginalFilename", "ProductName",     "ProductVersion"};

// The launcher's version information from KEY=VALUE pairs, each key one of
// kLauncherVersionKeys and given at most once; a key not given keeps the
// CMake build's default (cmake/windows.cmake). The version numbers are read
// from the FileVersion and ProductVersion strings.
VersionInfo LauncherVersionInfo(const std::vector<std::pair<std::string, std::string>>& values);

}  // namespace pe

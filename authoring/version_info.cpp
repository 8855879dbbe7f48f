// The version block.
#include "authoring/version_info.h"

#include "format/byte_order.h"
#include "authoring/pe_image.h"

namespace pe {

namespace {

constexpr std::uint32_t kFixedSignature = 0xFEEF04BD;
constexpr std::uint32_t kFixedStructVersion = 0x00010000;
constexpr std::uint32_t kFileFlagsMask = 0x3F;            // VS_FFI_FILEFLAGSMASK
constexpr std::uint32_t kFileOsNtWindows32 = 0x00040004;  // VOS_NT_WINDOWS32
constexpr std::uint32_t kFileTypeApp = 1;                 // VFT_APP
constexpr std::uint16_t kFixedInfoSize = 52;
constexpr std::uint16_t kBinary = 0;
constexpr std::uint16_t kText = 1;
constexpr std::uint16_t kLanguageChinesePrc = 0x0804;
constexpr std::uint16_t kCodePageUnicode = 1200;

// The CMake build's defaults for the launcher's strings (its cache values).
constexpr std::array<std::string_view, 7> kLauncherVersionDefaults = {
    "Mirelk",    "Mirelk Install Wizard", "1.0.0.0", "Copyright (C) Mirelk",
    "setup.exe", "Mirelk Sample",         "1.0.0.0"};

[[noreturn]] void NotUtf8(std::string_view what) {
  throw FormatError(std::string(what) + " is not UTF-8 text");
}

// `utf8` as UTF-16; `what` names it in the error for text that is not UTF-8.
std::u16string Utf16(std::string_view utf8, std::string_view what) {
  std::u16string out;
  for (std::size_t k = 0; k < utf8.size();) {
    const auto lead = static_cast<std::uint8_t>(utf8[k]);
    const int extra = lead < 0x80                   ? 0
                      : lead >= 0xC2 && lead < 0xE0 ? 1
                      : lead >= 0xE0 && lead < 0xF0 ? 2
                      : lead >= 0xF0 && lead < 0xF5 ? 3
                                                    : -1;
    if (extra < 0 || k + static_cast<std::size_t>(extra) >= utf8.size()) {
      NotUtf8(what);
    }
    char32_t code = extra == 0 ? lead : static_cast<char32_t>(lead & (0x3F >> extra));
    for (int n = 1; n <= extra; ++n) {
      const auto next = static_cast<std::uint8_t>(utf8[k + static_cast<std::size_t>(n)]);
      if ((next & 0xC0) != 0x80) {
        NotUtf8(what);
      }
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
      NotUtf8(what);
    }
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    k += 1 + static_cast<std::size_t>(extra);
  }
  return out;
}

// Writes nested blocks: each starts on a 4-byte boundary with its length,
// value length, type and zero-ended key; its value starts on the next 4-byte
// boundary; its length ends with its last byte, not counting padding after it.
class BlockWriter {
 public:
  std::size_t Begin(std::u16string_view key, std::size_t valueLength, std::uint16_t type) {
    Align();
    const std::size_t start = out_.size();
    Put16(0);
    Put16(static_cast<std::uint16_t>(valueLength));
    Put16(type);
    PutText(key);
    Align();
    return start;
  }

  void End(std::size_t start) {
    const std::size_t length = out_.size() - start;
    if (length > 0xFFFF) {
      throw FormatError(
          "the version values are too long: a version block holds at most 65535 bytes");
    }
    StoreLittleEndian(out_.data() + start, static_cast<std::uint16_t>(length), 2);
  }

  void Put16(std::uint16_t value) {
    out_.push_back(static_cast<std::uint8_t>(value));
    out_.push_back(static_cast<std::uint8_t>(value >> 8));
  }

  void Put32(std::uint32_t value) {
    Put16(static_cast<std::uint16_t>(value));
    Put16(static_cast<std::uint16_t>(value >> 16));
  }

  void PutText(std::u16string_view text) {
    for (const char16_t unit : text) {
      Put16(unit);
    }
    Put16(0);
  }

  std::vector<std::uint8_t> Take() { return std::move(out_); }

 private:
  void Align() { out_.resize((out_.size() + 3) / 4 * 4, 0); }

  std::vector<std::uint8_t> out_;
};

}  // namespace

VersionNumbers ParseVersionNumbers(std::string_view text) {
  VersionNumbers numbers{};
  std::size_t part = 0;
  std::size_t digits = 0;
  std::uint32_t value = 0;
  for (std::size_t k = 0; k <= text.size(); ++k) {
    const bool end = k == text.size() || text[k] == '.';
    if (!end && text[k] >= '0' && text[k] <= '9' && digits < 5) {
      value = value * 10 + static_cast<std::uint32_t>(text[k] - '0');
      ++digits;
      continue;
    }
    if (!end || digits == 0 || value > 0xFFFF || part == numbers.size()) {
      throw FormatError("version '" + std::string(text) +
                        "' is not one to four numbers from 0 to 65535 separated by dots");
    }
    numbers[part++] = static_cast<std::uint16_t>(value);
    digits = 0;
    value = 0;
  }
  return numbers;
}

std::vector<std::uint8_t> EncodeVersionInfo(const VersionInfo& info) {
  BlockWriter writer;
  const std::size_t root = writer.Begin(u"VS_VERSION_INFO", kFixedInfoSize, kBinary);
  writer.Put32(kFixedSignature);
  writer.Put32(kFixedStructVersion);
  for (const VersionNumbers* numbers : {&info.fileVersion, &info.productVersion}) {
    writer.Put32(std::uint32_t{(*numbers)[0]} << 16 | (*numbers)[1]);
    writer.Put32(std::uint32_t{(*numbers)[2]} << 16 | (*numbers)[3]);
  }
  writer.Put32(kFileFlagsMask);
  writer.Put32(0);  // flags
  writer.Put32(kFileOsNtWindows32);
  writer.Put32(kFileTypeApp);
  writer.Put32(0);  // subtype
  writer.Put32(0);  // date, high
  writer.Put32(0);  // date, low

  const std::size_t stringFileInfo = writer.Begin(u"StringFileInfo", 0, kText);
  const std::size_t table = writer.Begin(u"080404B0", 0, kText);
  for (const auto& [key, value] : info.strings) {
    const std::u16string text = Utf16(value, "the version value of " + key);
    const std::size_t string = writer.Begin(Utf16(key, "a version key"), text.size() + 1, kText);
    writer.PutText(text);
    writer.End(string);
  }
  writer.End(table);
  writer.End(stringFileInfo);

  const std::size_t varFileInfo = writer.Begin(u"VarFileInfo", 0, kText);
  const std::size_t translation = writer.Begin(u"Translation", 4, kBinary);
  writer.Put16(kLanguageChinesePrc);
  writer.Put16(kCodePageUnicode);
  writer.End(translation);
  writer.End(varFileInfo);
  writer.End(root);
  return writer.Take();
}

VersionInfo LauncherVersionInfo(const std::vector<std::pair<std::string, std::string>>& values) {
  VersionInfo info;
  for (std::size_t k = 0; k < kLauncherVersionKeys.size(); ++k) {
    info.strings.emplace_back(kLauncherVersionKeys[k], kLauncherVersionDefaults[k]);
  }
  std::vector<bool> given(kLauncherVersionKeys.size(), false);
  for (const auto& [key, value] : values) {
    std::size_t k = 0;
    while (k < kLauncherVersionKeys.size() && kLauncherVersionKeys[k] != key) {
      ++k;
    }
    if (k == kLauncherVersionKeys.size()) {
      std::string known;
      for (const std::string_view name : kLauncherVersionKeys) {
        known += known.empty() ? "" : ", ";
        known += name;
      }
      throw FormatError("unknown version key '" + key + "' (known: " + known + ")");
    }
    if (given[k]) {
      throw FormatError("version key '" + key + "' given twice");
    }
    given[k] = true;
    info.strings[k].second = value;
  }
  for (const auto& [key, value] : info.strings) {
    if (key == "FileVersion") {
      info.fileVersion = ParseVersionNumbers(value);
    } else if (key == "ProductVersion") {
      info.productVersion = ParseVersionNumbers(value);
    }
  }
  return info;
}

}  // namespace pe

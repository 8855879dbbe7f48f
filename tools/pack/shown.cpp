// How mirelk-pack shows names and paths it did not choose: a name in a
// package or a file name is someone else's text, so it never reaches the
// terminal raw, and never looks like more rows or fields than it is.
#include <cstdio>

#include "format/bundle.h"
#include "tools/pack/pack.h"

namespace pack {

namespace {

// Characters shown as \u{...}: the C1 controls, which some terminals obey,
// and the invisible ones that hide text or reorder it on the screen (soft
// hyphen, zero-width characters, bidirectional marks, embeddings, overrides
// and isolates, line and paragraph separators, the byte order mark,
// interlinear annotation marks).
bool IsHidden(char32_t c) {
  constexpr char32_t kRanges[][2] = {
      {0x80, 0x9F},     {0xAD, 0xAD},     {0x61C, 0x61C},   {0x180E, 0x180E}, {0x200B, 0x200F},
      {0x2028, 0x202E}, {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},
  };
  for (const auto& range : kRanges) {
    if (c >= range[0] && c <= range[1]) {
      return true;
    }
  }
  return false;
}

void AppendByte(std::string& out, unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  out += text;
}

// The text with every byte that is not shown as itself escaped; `special`
// says which further ASCII characters are, given the byte's neighbours.
template <typename Special>
std::string Escape(std::string_view text, Special special) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    char32_t c = 0;
    if (!DecodeUtf8(bytes, text.size(), &at, &c)) {
      AppendByte(out, bytes[at++]);  // not text: the byte alone
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F || (c < 0x80 && special(start))) {
      AppendByte(out, static_cast<unsigned char>(c));
    } else if (IsHidden(c)) {
      char hidden[16];
      std::snprintf(hidden, sizeof hidden, "\\u{%04X}", static_cast<unsigned>(c));
      out += hidden;
    } else {
      out.append(text.substr(start, at - start));
    }
  }
  return out;
}

}  // namespace

std::string Shown(std::string_view text) {
  return Escape(text, [&text](std::size_t at) { return text[at] == '\''; });
}

std::string ListedName(std::string_view name) {
  // Two blanks separate a row's fields, so a name never shows two together,
  // nor starts or ends with one.
  return Escape(name, [&name](std::size_t at) {
    const bool blankBefore = at == 0 || name[at - 1] == ' ';
    const bool blankAfter = at + 1 == name.size() || name[at + 1] == ' ';
    return name[at] == ' ' && (blankBefore || blankAfter);
  });
}

}  // namespace pack

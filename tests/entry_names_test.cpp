// Which bundle entry names the launcher writes.
#include <gtest/gtest.h>

#include <string>

#include "format/bundle.h"

namespace {

TEST(EntryNames, OnlyBareFileNamesAreAccepted) {
  struct {
    std::string name;
    bool accepted;
  } const cases[] = {
      {"setup.exe", true},
      {"a", true},
      {"...", false},
      {"a.", false},
      {"a ", false},
      {" a", true},
      {"a b", true},
      {"con", false},
      {"CON", false},
      {"nul.txt", false},
      {"Nul.tar.gz", false},
      {"aux .txt", false},
      {"prn", false},
      {"com1", false},
      {"LPT9.log", false},
      {"com\xB9", false},
      {"conin$", false},
      {"CONOUT$.x", false},
      {"com0", true},
      {"com10", true},
      {"console", true},
      {"nul_", true},
      {"xnul", true},
      {"lpt", true},
      {"con-tents.txt", true},
      {".hidden", true},
      {"with blank.txt", true},
      {"caf\xE9.txt", true},
      {std::string(259, 'n'), true},
      {std::string(260, 'n'), false},
      {"", false},
      {".", false},
      {"..", false},
      {"sub/file", false},
      {"../up", false},
      {"sub\\file", false},
      {"..\\up", false},
      {"C:file", false},
      {"stream:name", false},
      {std::string("nul\0byte", 8), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAcceptableEntryName(c.name.data(), c.name.size(), kLatin1CodePage), c.accepted)
        << "'" << c.name << "'";
  }
}

// Double-byte code pages as the system reports them: GBK's lead bytes, and
// Shift-JIS, where 0xB9 is a katakana letter rather than a superscript one.
bool GbkLeadByte(unsigned char byte) {
  return byte >= 0x81 && byte <= 0xFE;
}
char32_t NoSingleByteCharacter(unsigned char byte) {
  return byte < 0x80 ? byte : 0;
}
bool ShiftJisLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}
char32_t ShiftJisCharacter(unsigned char byte) {
  return byte >= 0xA1 && byte <= 0xDF ? static_cast<char32_t>(0xFF61 + (byte - 0xA1)) : byte;
}

TEST(EntryNames, SecondBytesOfDoubleByteCharactersAreNoSeparators) {
  const CodePage gbk = {GbkLeadByte, NoSingleByteCharacter};
  const CodePage shiftJis = {ShiftJisLeadByte, ShiftJisCharacter};
  struct {
    const CodePage* codePage;
    std::string name;
    bool accepted;
  } const cases[] = {
      {&gbk, "\x95\x5C.txt", true},
      {&gbk, "\x95\x5C\x95\x5C", true},
      {&gbk, "a\\b.txt", false},
      {&gbk, "\x95\x5C\\b.txt", false},
      {&gbk, "\x95/b.txt", false},
      {&gbk, "\x95:b", false},
      {&gbk, "\x95.", false},
      {&gbk, "ab\x95", true},   // a lead byte at the end stands alone
      {&gbk, "COM\xB9", true},  // a lead byte, no superscript
      {&shiftJis, "COM\xB9.txt", true},
      {&shiftJis, "\x95\x5C.txt", true},
      {&kLatin1CodePage, "COM\xB9.txt", false},
      {&kLatin1CodePage, "\x95\x5C.txt", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAcceptableEntryName(c.name.data(), c.name.size(), *c.codePage), c.accepted)
        << "'" << c.name << "'";
  }
}

// Names converted from the code page to UTF-8, as the Windows launcher checks
// them: the same rule on characters, and text that is not UTF-8 refused.
TEST(EntryNames, Utf8NamesFollowTheSameRuleOnCharacters) {
  struct {
    std::string name;
    bool accepted;
  } const cases[] = {
      {"setup.exe", true},
      {"\xE6\x98\x9E.txt", true},                  // U+661E, GBK 0x95 0x5C
      {"\xE6\x98\x9E\\b.txt", false},              // a real backslash after it
      {"\xD0\xAE\xD1\x80\xD0\xB8\xD0\xB9", true},  // Cyrillic
      {"\xF0\x9F\x98\x80.exe", true},              // U+1F600
      {"COM\xC2\xB9.txt", false},                  // superscript one
      {"COM\xEF\xBD\xB8.txt", true},               // katakana, Shift-JIS 0xB9
      {"nul.txt", false},
      {"a.", false},
      {"a ", false},
      {"a:b", false},
      {"a/b", false},
      {std::string("a\0b", 3), false},
      {std::string(259, 'n'), true},
      {std::string(260, 'n'), false},
      {"", false},
      {"\xC0\xAF", false},      // overlong '/'
      {"\xED\xA0\x80", false},  // a surrogate
      {"\xE6\x98", false},      // cut short
      {"\x95\x5C", false},      // code-page bytes, not UTF-8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAcceptableUtf8Name(c.name.data(), c.name.size()), c.accepted)
        << "'" << c.name << "'";
  }
}

// The names mirelk-pack writes into a flat bundle: those every launcher
// writes, whatever its system or code page.
TEST(EntryNames, PortableNamesAreTheFlatRuleWithoutWindowsReservedCharacters) {
  struct {
    std::string name;
    bool portable;
  } const cases[] = {
      {"setup.exe", true},     {"read me [x86] (1).txt", true},
      {"caf\xE9.txt", true},    // beyond ASCII: the code page's matter
      {"\x95\x7C.txt", false},  // '|', whatever may lead it
      {"a*b", false},          {"a?b", false},
      {"a<b", false},          {"a>b", false},
      {"a|b", false},          {"a\"b", false},
      {"a\x01b", false},       {"a\x1B[2Jb", false},
      {"a\nb", false},         {"a\x7F", false},
      {"a:b", false},          {"nul.txt", false},
      {"a.", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsPortableEntryName(c.name.data(), c.name.size()), c.portable)
        << "'" << c.name << "'";
  }
}

}  // namespace

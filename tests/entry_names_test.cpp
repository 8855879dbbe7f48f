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
      {&gbk, "ab\x95", true},  // a lead byte at the end stands alone
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

}  // namespace

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
    EXPECT_EQ(IsAcceptableEntryName(c.name.data(), c.name.size()), c.accepted)
        << "'" << c.name << "'";
  }
}

}  // namespace

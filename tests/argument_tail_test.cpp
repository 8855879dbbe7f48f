// Taking the launcher's own arguments from the command line.
#include <gtest/gtest.h>

#include <string>

#include "launcher/launcher.h"

namespace {

bool NoLeadBytes(unsigned char) {
  return false;
}

// 0x81 plays a double-byte lead byte, as in code page 932.
bool LeadByte81(unsigned char byte) {
  return byte == 0x81;
}

struct TailCase {
  const char* label;
  std::string commandLine;
  std::string tail;
  bool (*isLeadByte)(unsigned char);
};

TEST(ArgumentTail, IsTakenAsTheStartUpDoes) {
  const TailCase cases[] = {
      {"quoted name, blanks only", "\"C:\\a b\\setup.exe\"   ", "", NoLeadBytes},
      {"quoted name, argument, blanks kept", "\"C:\\a b\\s.exe\" /S  ", "/S  ", NoLeadBytes},
      {"unquoted name, tab", "setup.exe\t/quiet", "/quiet", NoLeadBytes},
      {"missing closing quote", "\"C:\\a b\\setup.exe /S", "", NoLeadBytes},
      {"argument right after the quote", "\"setup.exe\"/S x", "/S x", NoLeadBytes},
      {"leading blank", "  /S x", "/S x", NoLeadBytes},
      {"bytes above 0x7F in the name", "set\xA0up\xFF.exe \xE9t\xE9", "\xE9t\xE9", NoLeadBytes},
      {"bytes above 0x7F are not blanks", "a.exe \x80 b", "\x80 b", NoLeadBytes},
      {"control bytes are blanks", "a.exe\x01\x1F\x20x", "x", NoLeadBytes},
      {"empty command line", "", "", NoLeadBytes},
      {"quotes inside the tail stay", "a.exe \"x y\" \\\"z", "\"x y\" \\\"z", NoLeadBytes},
      // The lead byte carries the quote after it: the name goes on to the next quote.
      {"lead byte before the closing quote", "\"ab\x81\"cd\" /S", "/S", LeadByte81},
      {"lead byte before the end", "\"ab\x81", "", LeadByte81},
      {"lead byte without a lead-byte test", "\"ab\x81\"cd\" /S", "cd\" /S", NoLeadBytes},
      {"unquoted name has no lead-byte handling", "a\x81 b", "b", LeadByte81},
  };
  for (const TailCase& c : cases) {
    EXPECT_EQ(TakeArgumentTail(c.commandLine.c_str(), c.isLeadByte), c.tail) << c.label;
  }
}

TEST(ArgumentTail, EmptinessFollowsTheSystemsForm) {
  char empty[] = "";
  char* args[] = {empty};
  EXPECT_TRUE(IsTailEmpty(ArgumentTail{"", nullptr, 0}));
  EXPECT_FALSE(IsTailEmpty(ArgumentTail{"/S", nullptr, 0}));
  EXPECT_TRUE(IsTailEmpty(ArgumentTail{nullptr, nullptr, 0}));
  // An empty string given as an argument is still an argument.
  EXPECT_FALSE(IsTailEmpty(ArgumentTail{nullptr, args, 1}));
}

}  // namespace

// Taking the launcher's own arguments from the command line.
#include <gtest/gtest.h>

#include <string>

#include "launcher/launcher.h"

namespace {

struct TailCase {
  const char* label;
  std::u16string commandLine;
  std::u16string tail;
};

TEST(ArgumentTail, IsTakenAsTheStartUpDoes) {
  const TailCase cases[] = {
      {"quoted name, blanks only", u"\"C:\\a b\\setup.exe\"   ", u""},
      {"quoted name, argument, blanks kept", u"\"C:\\a b\\s.exe\" /S  ", u"/S  "},
      {"unquoted name, tab", u"setup.exe\t/quiet", u"/quiet"},
      {"missing closing quote", u"\"C:\\a b\\setup.exe /S", u""},
      {"argument right after the quote", u"\"setup.exe\"/S x", u"/S x"},
      {"leading blank", u"  /S x", u"/S x"},
      {"units above 0x7F in the name", u"set\u00A0up\u00FF.exe \u00E9t\u00E9", u"\u00E9t\u00E9"},
      {"units above 0x7F are not blanks", u"a.exe \u0080 b", u"\u0080 b"},
      {"control units are blanks", u"a.exe\u0001\u001F\u0020x", u"x"},
      {"empty command line", u"", u""},
      {"quotes inside the tail stay", u"a.exe \"x y\" \\\"z", u"\"x y\" \\\"z"},
      // Characters the code page may lack, a surrogate pair among them.
      {"Cyrillic and CJK in a quoted name", u"\"C:\\Юрий\\张伟.exe\" /D=C:\\Мой 中文",
       u"/D=C:\\Мой 中文"},
      {"beyond the Basic Multilingual Plane", u"\"\U0001F600.exe\" \U0001F600 x", u"\U0001F600 x"},
      {"an ideographic space is no blank", u"\u5F20\u4F1F.exe\u3000 x", u"x"},
  };
  for (const TailCase& c : cases) {
    EXPECT_EQ(std::u16string(TakeArgumentTail(c.commandLine.c_str())), c.tail) << c.label;
  }
}

TEST(ArgumentTail, EmptinessFollowsTheSystemsForm) {
  char empty[] = "";
  char* args[] = {empty};
  EXPECT_TRUE(IsTailEmpty(ArgumentTail{u"", nullptr, 0}));
  EXPECT_FALSE(IsTailEmpty(ArgumentTail{u"/S", nullptr, 0}));
  EXPECT_TRUE(IsTailEmpty(ArgumentTail{nullptr, nullptr, 0}));
  // An empty string given as an argument is still an argument.
  EXPECT_FALSE(IsTailEmpty(ArgumentTail{nullptr, args, 1}));
}

}  // namespace

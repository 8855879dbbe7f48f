// Pure logic: the argument tail, the properties byte, entry names, the
// launch directory, the splash arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "format/bundle.h"
#include "format/package.h"
#include "launcher/launcher.h"
#include "splash/splash.h"

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

TEST(LzmaProperties, SplitsEveryByteValue) {
  struct {
    unsigned byte, lc, lp, pb;
  } const cases[] = {
      {0x5D, 3, 0, 2}, {0, 0, 0, 0}, {44, 8, 4, 0}, {45, 0, 0, 1},
      {224, 8, 4, 4},  {225, 0, 0, 5}, {255, 3, 3, 5}, {9, 0, 1, 0},
  };
  for (const auto& c : cases) {
    const LzmaProperties split = SplitLzmaProperties(static_cast<std::uint8_t>(c.byte));
    EXPECT_EQ(split.lc, c.lc) << c.byte;
    EXPECT_EQ(split.lp, c.lp) << c.byte;
    EXPECT_EQ(split.pb, c.pb) << c.byte;
  }
  // Every value splits back into itself.
  for (unsigned byte = 0; byte < 256; ++byte) {
    const LzmaProperties split = SplitLzmaProperties(static_cast<std::uint8_t>(byte));
    EXPECT_EQ((split.pb * 5 + split.lp) * 9 + split.lc, byte);
  }
}

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

TEST(LaunchDirectory, IsTheLaunchPathWithoutItsLastComponent) {
  const std::string sep(1, kPathSeparator);
  struct {
    std::string path, directory;
  } const cases[] = {
      {sep + "tmp" + sep + "mrlX" + sep + "setup.exe", sep + "tmp" + sep + "mrlX"},
      {sep + "tmp" + sep + "mrlX" + sep, sep + "tmp" + sep + "mrlX"},
      {"noseparator", "n"},
      {"", ""},
      {sep + "a", sep},
  };
  for (const auto& c : cases) {
    char buffer[kPathCapacity] = {};
    std::memcpy(buffer, c.path.data(), c.path.size());
    CutToParentDirectory(buffer);
    EXPECT_EQ(std::string(buffer), c.directory) << c.path;
    // Nothing after the cut survives.
    for (std::size_t i = c.directory.size(); i < kPathCapacity; ++i) {
      ASSERT_EQ(buffer[i], '\0') << c.path;
    }
  }
}

TEST(SplashGeometry, CentresWithTruncatingDivision) {
  struct {
    int screenWidth, screenHeight, x, y;
  } const cases[] = {
      {1024, 768, 313, 279}, {396, 210, 0, 0},    {394, 208, -1, -1},
      {1920, 1080, 761, 435}, {0, 0, -198, -105},
  };
  const SurfaceRect window = {0, 0, kSplashWidth, kSplashHeight};
  for (const auto& c : cases) {
    const SplashPosition at = CenterPosition(window, ScreenSize{c.screenWidth, c.screenHeight});
    EXPECT_EQ(at.x, c.x) << c.screenWidth;
    EXPECT_EQ(at.y, c.y) << c.screenHeight;
  }
  // The window's current place plays no part in where it goes.
  const SplashPosition moved =
      CenterPosition(SurfaceRect{100, 50, 100 + kSplashWidth, 50 + kSplashHeight}, {1024, 768});
  EXPECT_EQ(moved.x, 313);
  EXPECT_EQ(moved.y, 279);
}

TEST(SplashGeometry, FramesBuildThePictureUpToAboutSeventyPerCent) {
  double remaining = 1.0;
  for (int frame = 0; frame < kSplashFrames; ++frame) {
    EXPECT_EQ(FrameAlpha(frame), 10 * frame);
    EXPECT_LT(FrameAlpha(frame), 255);
    remaining *= 1.0 - FrameAlpha(frame) / 255.0;
  }
  EXPECT_NEAR(1.0 - remaining, 0.87, 0.01);
}

}  // namespace

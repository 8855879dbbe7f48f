// The paths the stages compose and cut.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "launcher/launcher.h"

namespace {

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

}  // namespace

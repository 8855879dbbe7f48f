// ShowSplash's ways of making no window, in-process: each ends at once and
// returns null. The window itself is tested on a real X server
// (test_splash_window.py).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "platform/platform.h"
#include "splash/splash.h"

namespace {

std::vector<unsigned char> gBitmap;
int gLookUps = 0;

bool ServeBitmap(const char* type, int id, PlatformResource* out) {
  ++gLookUps;
  if (std::strcmp(type, kBitmapResourceType) != 0 || id != SPLASH_BITMAP_ID || gBitmap.empty()) {
    return false;
  }
  out->data = gBitmap.data();
  out->offset = 0;
  out->size = gBitmap.size();
  return true;
}

// A 2 x 2 picture, 24 bits, bottom-up.
std::vector<unsigned char> SmallBitmap() {
  std::vector<unsigned char> bmp(54 + 16, 0);
  const unsigned char header[] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,
                                  40,  0,   0,  0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0};
  std::memcpy(bmp.data(), header, sizeof header);
  for (std::size_t i = 54; i < bmp.size(); ++i) {
    bmp[i] = 0x80;
  }
  return bmp;
}

class ShowSplashWithout : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    hadDisplay_ = display != nullptr;
    if (hadDisplay_) {
      savedDisplay_ = display;
    }
    ops_ = kSystemPlatform;
    ops_.LookUpResource = ServeBitmap;
    previous_ = gPlatform;
    gPlatform = &ops_;
    gLookUps = 0;
    gBitmap = SmallBitmap();
  }

  void TearDown() override {
    gPlatform = previous_;
    if (hadDisplay_) {
      setenv("DISPLAY", savedDisplay_.c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }

  PlatformOps ops_;
  const PlatformOps* previous_ = nullptr;
  bool hadDisplay_ = false;
  std::string savedDisplay_;
};

TEST_F(ShowSplashWithout, ADisplayVariableAndDoesNotLookForThePicture) {
  unsetenv("DISPLAY");
  EXPECT_EQ(ShowSplash(nullptr), nullptr);
  setenv("DISPLAY", "", 1);
  EXPECT_EQ(ShowSplash(nullptr), nullptr);
  EXPECT_EQ(gLookUps, 0);
}

TEST_F(ShowSplashWithout, APictureEvenWithADisplayNamed) {
  // A display nobody serves: the missing or broken picture ends it first.
  setenv("DISPLAY", ":65000", 1);
  gBitmap.clear();
  EXPECT_EQ(ShowSplash(nullptr), nullptr);
  EXPECT_EQ(gLookUps, 1);
  gBitmap = SmallBitmap();
  gBitmap[28] = 32;  // 32 bits per pixel
  EXPECT_EQ(ShowSplash(nullptr), nullptr);
  EXPECT_EQ(gLookUps, 2);
}

TEST_F(ShowSplashWithout, AReachableDisplay) {
  setenv("DISPLAY", ":65000", 1);
  EXPECT_EQ(ShowSplash(nullptr), nullptr);
  EXPECT_EQ(gLookUps, 1);
}

TEST(DestroySplash, AcceptsNoWindow) {
  DestroySplash(nullptr);
}

}  // namespace

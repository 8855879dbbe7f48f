// The portable splash, run through a table that records the splash operations
// instead of drawing: the steps in their order, the place, the alphas and the
// delays, and every way it ends early. The surfaces themselves are tested on
// real screens (test_splash_window.py, test_wine_splash.py).
#include "splash/splash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support.h"

namespace {

using testing_support::PlatformOverride;
using testing_support::PlatformParts;

struct Script {
  bool opens = true;
  bool hasPicture = true;
  int blendsThatWork = kSplashFrames;
  ScreenSize screen = {1024, 768};
};

Script gScript;
std::vector<std::string> gCalls;
int gSurfaceToken;

SplashSurface* TheSurface() {
  return reinterpret_cast<SplashSurface*>(&gSurfaceToken);
}

void Record(const std::string& call, SplashSurface* surface) {
  gCalls.push_back(surface == TheSurface() ? call : call + " on another surface");
}

SplashSurface* Open(PlatformInstance, int width, int height, const char* title) {
  gCalls.push_back("open " + std::to_string(width) + "x" + std::to_string(height) + " " + title);
  return gScript.opens ? TheSurface() : nullptr;
}
ScreenSize Screen(SplashSurface* surface) {
  Record("screen", surface);
  return gScript.screen;
}
SurfaceRect Rect(SplashSurface* surface) {
  Record("rect", surface);
  return SurfaceRect{0, 0, kSplashWidth, kSplashHeight};
}
void Show(SplashSurface* surface, int x, int y) {
  Record("show at " + std::to_string(x) + " " + std::to_string(y), surface);
}
bool LoadPicture(SplashSurface* surface, PlatformInstance, int id) {
  Record("picture " + std::to_string(id), surface);
  return gScript.hasPicture;
}
bool Blend(SplashSurface* surface, int alpha) {
  Record("blend " + std::to_string(alpha), surface);
  return gScript.blendsThatWork-- > 0;
}
void Release(SplashSurface* surface) {
  Record("release", surface);
}
void Close(SplashSurface* surface) {
  Record("close", surface);
}
void Sleep(int milliseconds) {
  gCalls.push_back("sleep " + std::to_string(milliseconds));
}

// The system's parts with the whole splash part, and the sleep, recording.
PlatformParts RecordingOps() {
  PlatformParts ops = testing_support::SystemParts();
  ops.splash = SplashOps{
      .OpenSplashSurface = Open,
      .GetScreenSize = Screen,
      .GetSurfaceRect = Rect,
      .ShowSplashSurface = Show,
      .LoadSplashPicture = LoadPicture,
      .BlendSplashPicture = Blend,
      .ReleaseSplashPicture = Release,
      .CloseSplashSurface = Close,
  };
  ops.clock.SleepMilliseconds = Sleep;
  return ops;
}

// What ShowSplash does with the script; the surface it returns is checked too.
std::vector<std::string> ShowWith(const Script& script) {
  gScript = script;
  gCalls.clear();
  PlatformOverride use(RecordingOps());
  SplashSurface* shown = ShowSplash(nullptr);
  EXPECT_EQ(shown, script.opens ? TheSurface() : nullptr);
  return gCalls;
}

const std::vector<std::string> kOpenCentreShow = {"open 397x210 Mirelk Install Wizard", "screen",
                                                  "rect", "show at 313 279", "picture 106"};

std::vector<std::string> Then(std::vector<std::string> calls,
                              const std::vector<std::string>& more) {
  calls.insert(calls.end(), more.begin(), more.end());
  return calls;
}

TEST(ShowSplash, FadesTenFramesAtRisingAlphaEachFollowedByTheDelay) {
  std::vector<std::string> fade;
  for (const char* alpha : {"0", "10", "20", "30", "40", "50", "60", "70", "80", "90"}) {
    fade.push_back(std::string("blend ") + alpha);
    fade.push_back("sleep 100");
  }
  fade.push_back("release");
  EXPECT_EQ(ShowWith({}), Then(kOpenCentreShow, fade));
}

TEST(ShowSplash, EndsEarlyWithoutAScreenAPictureOrAWorkingBlend) {
  EXPECT_EQ(ShowWith({.opens = false}), std::vector<std::string>{kOpenCentreShow[0]});
  EXPECT_EQ(ShowWith({.hasPicture = false}), Then(kOpenCentreShow, {"release"}));
  EXPECT_EQ(ShowWith({.blendsThatWork = 2}),
            Then(kOpenCentreShow,
                 {"blend 0", "sleep 100", "blend 10", "sleep 100", "blend 20", "release"}));
}

TEST(ShowSplash, CentresOnTheScreenItIsOn) {
  EXPECT_EQ(ShowWith({.hasPicture = false, .screen = {394, 208}})[3], "show at -1 -1");
}

TEST(DestroySplash, ClosesTheSurfaceAndAcceptsNone) {
  gCalls.clear();
  PlatformOverride use(RecordingOps());
  DestroySplash(nullptr);
  DestroySplash(TheSurface());
  EXPECT_EQ(gCalls, std::vector<std::string>{"close"});
}

TEST(SplashGeometry, CentresWithTruncatingDivision) {
  struct {
    int screenWidth, screenHeight, x, y;
  } const cases[] = {
      {1024, 768, 313, 279},  {396, 210, 0, 0},   {394, 208, -1, -1},
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

}  // namespace

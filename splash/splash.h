// The splash picture shown while an interactive start unpacks.
#pragma once

#include "platform/platform.h"

// The window's handle; null when no window was made.
using SplashWindow = void*;

// Creates, centres, shows and fades in the splash; null when the system has no
// screen to show it on.
SplashWindow ShowSplash(PlatformInstance instance);
void DestroySplash(SplashWindow window);

constexpr int kSplashWidth = 397;
constexpr int kSplashHeight = 210;
constexpr int kSplashFrames = 10;
constexpr int kSplashFrameDelayMs = 100;

struct SplashPosition {
  int x;
  int y;
};

// Where a window spanning [left, right) x [top, bottom) goes to sit in the
// middle of a screen of the given size (division truncates toward zero, so a
// window wider than the screen lands slightly left of it).
SplashPosition CenterPosition(int left, int top, int right, int bottom, int screenWidth,
                              int screenHeight);

// The constant alpha (0..255) of frame k, k = 0 .. kSplashFrames - 1.
int FrameAlpha(int frame);

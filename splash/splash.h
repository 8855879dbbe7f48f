// The splash picture shown while an interactive start unpacks: a borderless
// window in the middle of the screen into which the picture fades, drawn on
// every system through the splash operations of the seam.
#pragma once

#include "platform/platform.h"

constexpr int kSplashWidth = 397;
constexpr int kSplashHeight = 210;
constexpr int kSplashFrames = 10;
constexpr int kSplashFrameDelayMs = 100;
constexpr char kSplashTitle[] = "Mirelk Install Wizard";

// Opens, centres, shows and fades in the splash; null when the system has no
// screen to show it on.
SplashSurface* ShowSplash(PlatformInstance instance);
// Takes a splash down; accepts null.
void DestroySplash(SplashSurface* surface);

struct SplashPosition {
  int x;
  int y;
};

// Where a window spanning [left, right) x [top, bottom) goes to sit in the
// middle of a screen of the given size. The division truncates toward zero,
// so a window wider than the screen lands slightly left of it, at the same
// place on every system.
constexpr SplashPosition CenterPosition(const SurfaceRect& window, ScreenSize screen) {
  return SplashPosition{((window.left - window.right) + screen.width) / 2,
                        ((window.top - window.bottom) + screen.height) / 2};
}

// The constant alpha (0..255) of frame k, k = 0 .. kSplashFrames - 1. Each
// frame is blended over what the ones before left, so the picture builds up
// to about 87 % and is never drawn at full strength.
constexpr int FrameAlpha(int frame) {
  return 10 * frame;
}

// The splash's steps and arithmetic, the same on every system: what differs
// (the window, the drawing, the blend, the delay) is the seam's.
#include "splash/splash.h"

#include "format/resource_ids.h"

namespace {

void ShowCentred(SplashSurface* surface) {
  const ScreenSize screen = gPlatform->splash->GetScreenSize(surface);
  const SplashPosition at = CenterPosition(gPlatform->splash->GetSurfaceRect(surface), screen);
  gPlatform->splash->ShowSplashSurface(surface, at.x, at.y);
}

void FadeInPicture(PlatformInstance instance, SplashSurface* surface, int delayMs) {
  // Without the picture, or without the means to blend it, nothing is drawn
  // and nobody waits.
  if (gPlatform->splash->LoadSplashPicture(surface, instance, SPLASH_BITMAP_ID)) {
    for (int frame = 0; frame < kSplashFrames; ++frame) {
      if (!gPlatform->splash->BlendSplashPicture(surface, FrameAlpha(frame))) {
        break;
      }
      gPlatform->clock->SleepMilliseconds(delayMs);
    }
  }
  gPlatform->splash->ReleaseSplashPicture(surface);
}

}  // namespace

SplashSurface* ShowSplash(PlatformInstance instance) {
  SplashSurface* surface =
      gPlatform->splash->OpenSplashSurface(instance, kSplashWidth, kSplashHeight, kSplashTitle);
  if (surface == nullptr) {
    return nullptr;
  }
  ShowCentred(surface);
  FadeInPicture(instance, surface, kSplashFrameDelayMs);
  return surface;
}

void DestroySplash(SplashSurface* surface) {
  if (surface != nullptr) {
    gPlatform->splash->CloseSplashSurface(surface);
  }
}

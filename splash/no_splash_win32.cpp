// PLACEHOLDER until the Windows splash lands: no window is made yet.
#include "splash/splash.h"

SplashWindow ShowSplash(PlatformInstance) {
  return nullptr;
}

void DestroySplash(SplashWindow) {}

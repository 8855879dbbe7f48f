// PLACEHOLDER until the desktop splash lands: no window is made on POSIX yet.
#include "splash/splash.h"

SplashWindow ShowSplash(PlatformInstance) {
  return nullptr;
}

void DestroySplash(SplashWindow) {}

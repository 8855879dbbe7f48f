// The splash's arithmetic, shared by every system that draws it.
#include "splash/splash.h"

SplashPosition CenterPosition(int left, int top, int right, int bottom, int screenWidth,
                              int screenHeight) {
  // C++ division truncates toward zero, as the placement has always done.
  return SplashPosition{((left - right) + screenWidth) / 2, ((top - bottom) + screenHeight) / 2};
}

int FrameAlpha(int frame) {
  return 10 * frame;
}

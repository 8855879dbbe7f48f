// The Windows side's operations, gathered into kSystemPlatform by platform.cpp.
#pragma once

#include "platform/platform.h"

// splash.cpp: the splash surface, a "Static" popup blended into with AlphaBlend.
SplashSurface* Win32OpenSplashSurface(PlatformInstance instance, int width, int height,
                                      const char* title);
ScreenSize Win32GetScreenSize(SplashSurface* surface);
SurfaceRect Win32GetSurfaceRect(SplashSurface* surface);
void Win32ShowSplashSurface(SplashSurface* surface, int x, int y);
bool Win32LoadSplashPicture(SplashSurface* surface, PlatformInstance instance, int id);
bool Win32BlendSplashPicture(SplashSurface* surface, int alpha);
void Win32ReleaseSplashPicture(SplashSurface* surface);
void Win32CloseSplashSurface(SplashSurface* surface);

// The splash surface on Windows: a "Static" popup into which the picture
// resource is blended with AlphaBlend from "Msimg32.dll", loaded at run time.
// No message is ever processed: the window shows what the fade left until it
// is destroyed.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

using AlphaBlendFunction = BOOL(WINAPI*)(HDC, int, int, int, int, HDC, int, int, int, int,
                                         BLENDFUNCTION);

struct SplashSurface {
  HWND window;
  HDC windowDc;
  HDC memoryDc;
  HBITMAP picture;
  HGDIOBJ previous;
  int pictureWidth;
  int pictureHeight;
  HMODULE library;
  AlphaBlendFunction alphaBlend;
};

namespace {

// There is one splash per process.
SplashSurface gSplash;

SplashSurface* Win32OpenSplashSurface(PlatformInstance instance, int width, int height,
                                      const char* title) {
  gSplash.window = CreateWindowExA(0, "Static", title, WS_POPUP, 0, 0, width, height, nullptr,
                                   nullptr, static_cast<HINSTANCE>(instance), nullptr);
  return gSplash.window != nullptr ? &gSplash : nullptr;
}

ScreenSize Win32GetScreenSize(SplashSurface* surface) {
  HDC windowDc = GetWindowDC(surface->window);
  const ScreenSize size = {GetDeviceCaps(windowDc, HORZRES), GetDeviceCaps(windowDc, VERTRES)};
  ReleaseDC(surface->window, windowDc);
  return size;
}

SurfaceRect Win32GetSurfaceRect(SplashSurface* surface) {
  RECT rect = {};
  GetWindowRect(surface->window, &rect);
  return SurfaceRect{rect.left, rect.top, rect.right, rect.bottom};
}

void Win32ShowSplashSurface(SplashSurface* surface, int x, int y) {
  // The window is not shown yet: the thread has no active window, so the
  // splash goes to the top of the stacking order.
  SetWindowPos(surface->window, GetActiveWindow(), x, y, 0, 0, SWP_NOSIZE);
  ShowWindow(surface->window, SW_SHOW);
}

bool Win32LoadSplashPicture(SplashSurface* surface, PlatformInstance instance, int id) {
  surface->windowDc = GetDC(surface->window);
  surface->memoryDc = CreateCompatibleDC(surface->windowDc);
  surface->picture = LoadBitmapA(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEA(id));
  surface->previous = SelectObject(surface->memoryDc, surface->picture);
  BITMAP size = {};
  GetObjectA(surface->picture, sizeof size, &size);
  surface->pictureWidth = size.bmWidth;
  surface->pictureHeight = size.bmHeight;

  surface->library = LoadSystemLibrary("Msimg32.dll");
  surface->alphaBlend = nullptr;
  if (surface->library != nullptr) {
    surface->alphaBlend = reinterpret_cast<AlphaBlendFunction>(
        reinterpret_cast<void*>(GetProcAddress(surface->library, "AlphaBlend")));
  }
  return surface->alphaBlend != nullptr && surface->picture != nullptr;
}

// The blend's result is not examined: the fade goes on whatever one frame did.
bool Win32BlendSplashPicture(SplashSurface* surface, int alpha) {
  const BLENDFUNCTION blend = {AC_SRC_OVER, 0, static_cast<BYTE>(alpha), 0};
  surface->alphaBlend(surface->windowDc, 0, 0, surface->pictureWidth, surface->pictureHeight,
                      surface->memoryDc, 0, 0, surface->pictureWidth, surface->pictureHeight,
                      blend);
  return true;
}

void Win32ReleaseSplashPicture(SplashSurface* surface) {
  if (surface->library != nullptr) {
    FreeLibrary(surface->library);
  }
  SelectObject(surface->memoryDc, surface->previous);
  if (surface->picture != nullptr) {
    DeleteObject(surface->picture);
  }
  DeleteDC(surface->memoryDc);
  ReleaseDC(surface->window, surface->windowDc);
}

void Win32CloseSplashSurface(SplashSurface* surface) {
  DestroyWindow(surface->window);
}

}  // namespace

constinit const SplashOps kSystemSplash = {Win32OpenSplashSurface,    Win32GetScreenSize,
                                           Win32GetSurfaceRect,       Win32ShowSplashSurface,
                                           Win32LoadSplashPicture,    Win32BlendSplashPicture,
                                           Win32ReleaseSplashPicture, Win32CloseSplashSurface};

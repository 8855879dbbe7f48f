// The splash on Windows: a "Static" popup, centred, into which the picture is
// blended ten times at rising constant alpha. No message is ever processed:
// the window shows what the fade left until it is destroyed.
#include <windows.h>

#include <cstring>

#include "format/resource_ids.h"
#include "splash/splash.h"

namespace {

using AlphaBlendFunction = BOOL(WINAPI*)(HDC, int, int, int, int, HDC, int, int, int, int,
                                         BLENDFUNCTION);

// Loads a DLL from the system directory only: a launcher usually runs from a
// downloads folder where anyone can drop a DLL of the same name.
HMODULE LoadSystemLibrary(const char* name) {
  HMODULE library = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library != nullptr) {
    return library;
  }
  // Systems that do not know the flag refuse it; a full path is never searched.
  char path[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  const std::size_t nameLength = std::strlen(name);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) {
    return nullptr;
  }
  path[length] = '\\';
  std::memcpy(path + length + 1, name, nameLength + 1);
  return LoadLibraryA(path);
}

void CenterOnScreen(HWND window) {
  HDC windowDc = GetWindowDC(window);
  const int screenWidth = GetDeviceCaps(windowDc, HORZRES);
  const int screenHeight = GetDeviceCaps(windowDc, VERTRES);
  ReleaseDC(window, windowDc);

  RECT rect = {};
  GetWindowRect(window, &rect);
  const SplashPosition at =
      CenterPosition(rect.left, rect.top, rect.right, rect.bottom, screenWidth, screenHeight);
  // The window is not shown yet: the thread has no active window, so the
  // splash goes to the top of the stacking order.
  SetWindowPos(window, GetActiveWindow(), at.x, at.y, 0, 0, SWP_NOSIZE);
}

void FadeInPicture(HINSTANCE instance, HWND window, DWORD delayMs) {
  HDC windowDc = GetDC(window);
  HDC memoryDc = CreateCompatibleDC(windowDc);
  HBITMAP picture = LoadBitmapA(instance, MAKEINTRESOURCEA(SPLASH_BITMAP_ID));
  HGDIOBJ previous = SelectObject(memoryDc, picture);
  BITMAP size = {};
  GetObjectA(picture, sizeof size, &size);

  HMODULE library = LoadSystemLibrary("Msimg32.dll");
  AlphaBlendFunction alphaBlend = nullptr;
  if (library != nullptr) {
    alphaBlend = reinterpret_cast<AlphaBlendFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, "AlphaBlend")));
  }
  // Without the blend, or without a picture, nothing is drawn and nobody waits.
  if (alphaBlend != nullptr && picture != nullptr) {
    for (int frame = 0; frame < kSplashFrames; ++frame) {
      BLENDFUNCTION blend = {AC_SRC_OVER, 0, static_cast<BYTE>(FrameAlpha(frame)), 0};
      alphaBlend(windowDc, 0, 0, size.bmWidth, size.bmHeight, memoryDc, 0, 0, size.bmWidth,
                 size.bmHeight, blend);
      Sleep(delayMs);
    }
  }

  if (library != nullptr) {
    FreeLibrary(library);
  }
  SelectObject(memoryDc, previous);
  if (picture != nullptr) {
    DeleteObject(picture);
  }
  DeleteDC(memoryDc);
  ReleaseDC(window, windowDc);
}

}  // namespace

SplashWindow ShowSplash(PlatformInstance instance) {
  HINSTANCE module = static_cast<HINSTANCE>(instance);
  HWND window = CreateWindowExA(0, "Static", "Mirelk Install Wizard", WS_POPUP, 0, 0, kSplashWidth,
                                kSplashHeight, nullptr, nullptr, module, nullptr);
  if (window == nullptr) {
    return nullptr;
  }
  CenterOnScreen(window);
  ShowWindow(window, SW_SHOW);
  FadeInPicture(module, window, kSplashFrameDelayMs);
  return window;
}

void DestroySplash(SplashWindow window) {
  DestroyWindow(static_cast<HWND>(window));
}

// The splash on X11 desktops.
//
// libX11 is opened at run time, so a machine without it still runs the
// launcher, only without a splash; the build needs its headers alone. Every
// way the splash can fail (no display, no picture, a picture that does not
// add up, an unsuitable visual, an X error) ends in no window and no delay:
// the splash never costs the run.
//
// Errors. Xlib's default handlers print and exit the process. While the
// splash owns the connection, its own handlers only take note:
// - a request error (BadAlloc, BadMatch, ...) is seen at the next XSync,
//   after which the window is taken down and the run goes on without it;
// - a lost connection (the server died) goes through the I/O error handler
//   and then the per-display exit handler (XSetIOErrorExitHandler, libX11
//   1.7 and later). Both return, so Xlib returns to us instead of exiting;
//   the fade stops at its next XSync and the display is closed (Xlib sends
//   nothing more on a dead connection but still frees its memory). A libX11
//   too old to let the exit handler return gets no splash at all: its server
//   dying mid-fade would end the whole run.
// Writing to a server that has just gone raises SIGPIPE, which would end the
// process; it is ignored while the splash talks to the server and put back
// before the launcher goes on, so the installer does not inherit it ignored.
// A server that stops answering without closing the connection blocks the
// fade's XSync until it answers again, as it would any X client.
#include <dlfcn.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "launcher/launcher.h"
#include "splash/splash.h"
#include "splash/x11/picture.h"

// Last, so that Xlib's macros (True, None, Status, ...) stay out of our headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// A resource claiming more than the largest acceptable picture (4096 x 4096
// at 3 bytes, about 48 MiB, plus headers) is not even read.
constexpr std::uint64_t kMaxBitmapResourceSize = 64u << 20;

constexpr char kWindowTitle[] = "Mirelk Install Wizard";

// The libX11 functions the splash uses, found by name in the loaded library.
struct Xlib {
  decltype(&XOpenDisplay) openDisplay;
  decltype(&XCloseDisplay) closeDisplay;
  decltype(&XSetErrorHandler) setErrorHandler;
  decltype(&XSetIOErrorHandler) setIOErrorHandler;
  decltype(&XSetIOErrorExitHandler) setIOErrorExitHandler;
  decltype(&XDefaultScreen) defaultScreen;
  decltype(&XDefaultVisual) defaultVisual;
  decltype(&XDefaultDepth) defaultDepth;
  decltype(&XDisplayWidth) displayWidth;
  decltype(&XDisplayHeight) displayHeight;
  decltype(&XRootWindow) rootWindow;
  decltype(&XCreateWindow) createWindow;
  decltype(&XStoreName) storeName;
  decltype(&XMapRaised) mapRaised;
  decltype(&XDestroyWindow) destroyWindow;
  decltype(&XCreateGC) createGC;
  decltype(&XFreeGC) freeGC;
  decltype(&XCreateImage) createImage;
  decltype(&XPutImage) putImage;
  decltype(&XSync) sync;
};

// What SplashWindow points at.
struct X11Splash {
  void* library;
  Xlib x;
  bool handlersSet;
  XErrorHandler previousErrorHandler;
  XIOErrorHandler previousIOErrorHandler;
  Display* display;
  Window window;
  GC gc;
  XImage* image;
};

// The splash on screen. A run that ends with a failure code leaves it to the
// end of the process; held here, it is never mistaken for a leak.
X11Splash* gShownSplash = nullptr;

// Xlib's handlers know only the display; there is one splash per process.
bool gRequestFailed = false;
bool gConnectionLost = false;

int NoteRequestError(Display*, XErrorEvent*) {
  gRequestFailed = true;
  return 0;
}

int NoteLostConnection(Display*) {
  gConnectionLost = true;
  return 0;
}

void KeepRunning(Display*, void*) {
  gConnectionLost = true;
}

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
  void* symbol = dlsym(library, name);
  *out = reinterpret_cast<Function>(symbol);
  return symbol != nullptr;
}

bool LoadXlib(X11Splash* splash) {
  splash->library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (splash->library == nullptr) {
    return false;
  }
  void* const lib = splash->library;
  Xlib& x = splash->x;
  return Resolve(lib, "XOpenDisplay", &x.openDisplay) &&
         Resolve(lib, "XCloseDisplay", &x.closeDisplay) &&
         Resolve(lib, "XSetErrorHandler", &x.setErrorHandler) &&
         Resolve(lib, "XSetIOErrorHandler", &x.setIOErrorHandler) &&
         Resolve(lib, "XSetIOErrorExitHandler", &x.setIOErrorExitHandler) &&
         Resolve(lib, "XDefaultScreen", &x.defaultScreen) &&
         Resolve(lib, "XDefaultVisual", &x.defaultVisual) &&
         Resolve(lib, "XDefaultDepth", &x.defaultDepth) &&
         Resolve(lib, "XDisplayWidth", &x.displayWidth) &&
         Resolve(lib, "XDisplayHeight", &x.displayHeight) &&
         Resolve(lib, "XRootWindow", &x.rootWindow) &&
         Resolve(lib, "XCreateWindow", &x.createWindow) &&
         Resolve(lib, "XStoreName", &x.storeName) &&
         Resolve(lib, "XMapRaised", &x.mapRaised) &&
         Resolve(lib, "XDestroyWindow", &x.destroyWindow) &&
         Resolve(lib, "XCreateGC", &x.createGC) && Resolve(lib, "XFreeGC", &x.freeGC) &&
         Resolve(lib, "XCreateImage", &x.createImage) &&
         Resolve(lib, "XPutImage", &x.putImage) && Resolve(lib, "XSync", &x.sync);
}

bool LoadPicture(SplashPicture* picture) {
  PlatformResource resource = {};
  if (!gPlatform->LookUpResource(kBitmapResourceType, SPLASH_BITMAP_ID, &resource) ||
      resource.size > kMaxBitmapResourceSize) {
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(resource.size);
  unsigned char* bytes = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
  if (bytes == nullptr) {
    return false;
  }
  const bool ok =
      gPlatform->ReadResource(&resource, bytes) && ParseSplashBitmap(bytes, size, picture);
  std::free(bytes);
  return ok;
}

bool XFailed() {
  return gRequestFailed || gConnectionLost;
}

// Connects, makes the window and its image, and maps it.
bool OpenWindow(X11Splash* splash, const SplashPicture& picture, PixelLayout* layout) {
  if (!LoadXlib(splash)) {
    return false;
  }
  const Xlib& x = splash->x;
  gRequestFailed = false;
  gConnectionLost = false;
  splash->previousErrorHandler = x.setErrorHandler(NoteRequestError);
  splash->previousIOErrorHandler = x.setIOErrorHandler(NoteLostConnection);
  splash->handlersSet = true;

  Display* display = x.openDisplay(nullptr);
  if (display == nullptr) {
    return false;
  }
  splash->display = display;
  x.setIOErrorExitHandler(display, KeepRunning, nullptr);

  // Pixels are computed from the visual's channel masks. Other visual classes
  // (PseudoColor, ...) and depths below 24 would need colours allocated or
  // dithered; they get no splash.
  const int screen = x.defaultScreen(display);
  Visual* visual = x.defaultVisual(display, screen);
  const int depth = x.defaultDepth(display, screen);
  if (visual == nullptr || visual->c_class != TrueColor || depth < 24 ||
      !MakePixelLayout(visual->red_mask, visual->green_mask, visual->blue_mask, depth, layout)) {
    return false;
  }

  const SplashPosition at = CenterPosition(0, 0, kSplashWidth, kSplashHeight,
                                           x.displayWidth(display, screen),
                                           x.displayHeight(display, screen));
  XSetWindowAttributes attributes = {};
  attributes.background_pixel = PackPixel(*layout, 0, 0, 0);
  attributes.border_pixel = attributes.background_pixel;
  // No window manager gets to frame or move it.
  attributes.override_redirect = True;
  splash->window = x.createWindow(display, x.rootWindow(display, screen), at.x, at.y,
                                  kSplashWidth, kSplashHeight, 0, depth, InputOutput, visual,
                                  CWBackPixel | CWBorderPixel | CWOverrideRedirect, &attributes);
  x.storeName(display, splash->window, kWindowTitle);
  splash->gc = x.createGC(display, splash->window, 0, nullptr);

  splash->image = x.createImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                                static_cast<unsigned>(picture.width),
                                static_cast<unsigned>(picture.height), 32, 0);
  if (splash->image == nullptr) {
    return false;
  }
  // XDestroyImage frees the data with the image.
  splash->image->data = static_cast<char*>(std::malloc(
      static_cast<std::size_t>(splash->image->bytes_per_line) *
      static_cast<std::size_t>(picture.height)));
  if (splash->image->data == nullptr) {
    return false;
  }

  x.mapRaised(display, splash->window);
  x.sync(display, False);
  return !XFailed();
}

void SleepMilliseconds(int milliseconds) {
  timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Builds the picture up frame by frame over what the window shows: a canvas
// that starts as the window's black background takes each frame's blend and
// goes to the window whole.
bool FadeIn(X11Splash* splash, const SplashPicture& picture, const PixelLayout& layout) {
  const Xlib& x = splash->x;
  const std::size_t count =
      static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3;
  unsigned char* canvas = static_cast<unsigned char*>(std::calloc(count, 1));
  if (canvas == nullptr) {
    return false;
  }
  bool ok = true;
  for (int frame = 0; ok && frame < kSplashFrames; ++frame) {
    BlendFrame(picture.rgb, canvas, count, FrameAlpha(frame));
    const unsigned char* pixel = canvas;
    for (int y = 0; y < picture.height; ++y) {
      for (int column = 0; column < picture.width; ++column, pixel += 3) {
        XPutPixel(splash->image, column, y, PackPixel(layout, pixel[0], pixel[1], pixel[2]));
      }
    }
    x.putImage(splash->display, splash->window, splash->gc, splash->image, 0, 0, 0, 0,
               static_cast<unsigned>(picture.width), static_cast<unsigned>(picture.height));
    x.sync(splash->display, False);
    ok = !XFailed();
    if (ok) {
      SleepMilliseconds(kSplashFrameDelayMs);
    }
  }
  std::free(canvas);
  return ok;
}

// Takes down whatever OpenWindow got to, in reverse; safe on a half-built
// splash and after the server has gone.
void CloseSplash(X11Splash* splash) {
  const Xlib& x = splash->x;
  if (splash->display != nullptr) {
    // Also after the server has gone: Xlib then sends nothing but still
    // frees its own memory (the GC's).
    if (splash->gc != nullptr) {
      x.freeGC(splash->display, splash->gc);
    }
    if (splash->window != 0) {
      x.destroyWindow(splash->display, splash->window);
    }
    if (splash->image != nullptr) {
      XDestroyImage(splash->image);
    }
    x.closeDisplay(splash->display);
  }
  if (splash->handlersSet) {
    x.setErrorHandler(splash->previousErrorHandler);
    x.setIOErrorHandler(splash->previousIOErrorHandler);
  }
  if (splash->library != nullptr) {
    dlclose(splash->library);
  }
  std::free(splash);
}

struct sigaction IgnoreBrokenPipe() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous = {};
  sigaction(SIGPIPE, &ignore, &previous);
  return previous;
}

void RestoreBrokenPipe(const struct sigaction& previous) {
  sigaction(SIGPIPE, &previous, nullptr);
}

// Everything of ShowSplash after the picture is in hand.
X11Splash* ShowPicture(const SplashPicture& picture) {
  X11Splash* splash = static_cast<X11Splash*>(std::calloc(1, sizeof(X11Splash)));
  if (splash == nullptr) {
    return nullptr;
  }
  PixelLayout layout = {};
  if (!OpenWindow(splash, picture, &layout) || !FadeIn(splash, picture, layout)) {
    CloseSplash(splash);
    return nullptr;
  }
  return splash;
}

}  // namespace

SplashWindow ShowSplash(PlatformInstance) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') {
    return nullptr;
  }
  SplashPicture picture = {};
  if (!LoadPicture(&picture)) {
    return nullptr;
  }
  // The picture is drawn at the window's top-left corner; what lies outside
  // the window is never seen.
  ClipSplashPicture(&picture, kSplashWidth, kSplashHeight);
  const struct sigaction brokenPipe = IgnoreBrokenPipe();
  X11Splash* splash = ShowPicture(picture);
  RestoreBrokenPipe(brokenPipe);
  FreeSplashPicture(&picture);
  gShownSplash = splash;
  return splash;
}

void DestroySplash(SplashWindow window) {
  if (window == nullptr) {
    return;
  }
  const struct sigaction brokenPipe = IgnoreBrokenPipe();
  CloseSplash(static_cast<X11Splash*>(window));
  RestoreBrokenPipe(brokenPipe);
  if (window == gShownSplash) {
    gShownSplash = nullptr;
  }
}

// The splash surface on X11 desktops.
//
// libX11 is opened at run time, so a machine without it still runs the
// launcher, only without a splash; the build needs its headers alone. Every
// way the splash can fail (no display, no picture, a picture that does not
// add up, an unsuitable visual, an X error) ends in no window and no delay:
// the splash never costs the run. The X window is made only when the first
// frame is drawn into it, so a splash without its picture never shows an
// empty rectangle.
//
// Errors. Xlib's default handlers print and exit the process. While the
// surface owns the connection, its own handlers only take note:
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
// process; it is ignored while an operation talks to the server and put back
// before it returns, so the installer does not inherit it ignored.
// A server that stops answering without closing the connection blocks the
// fade's XSync until it answers again, as it would any X client.
#include <dlfcn.h>
#include <signal.h>

#include <cstdint>
#include <cstdlib>

#include "format/resource_ids.h"
#include "platform/posix/posix.h"
#include "platform/posix/x11_pixels.h"
#include "splash/picture.h"

// Last, so that Xlib's macros (True, None, Status, ...) stay out of our headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// A resource claiming more than the largest acceptable picture (4096 x 4096
// at 3 bytes, about 48 MiB, plus headers) is not even read.
constexpr std::uint64_t kMaxBitmapResourceSize = 64u << 20;

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

}  // namespace

struct SplashSurface {
  void* library;
  Xlib x;
  bool handlersSet;
  XErrorHandler previousErrorHandler;
  XIOErrorHandler previousIOErrorHandler;
  Display* display;
  int screen;
  Visual* visual;
  int depth;
  PixelLayout layout;
  const char* title;
  int left;
  int top;
  int width;
  int height;
  bool shown;
  Window window;
  GC gc;
  XImage* image;
  RgbPicture picture;
  unsigned char* canvas;  // what the window shows, in the picture's bytes
};

namespace {

// The open surface. A run that ends with a failure code leaves it to the end
// of the process; held here, it is never mistaken for a leak.
SplashSurface* gOpenSurface = nullptr;

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

bool XFailed() {
  return gRequestFailed || gConnectionLost;
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

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
  void* symbol = dlsym(library, name);
  *out = reinterpret_cast<Function>(symbol);
  return symbol != nullptr;
}

bool LoadXlib(SplashSurface* surface) {
  surface->library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (surface->library == nullptr) {
    return false;
  }
  void* const lib = surface->library;
  Xlib& x = surface->x;
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

// Loads libX11 and connects. Pixels are computed from the visual's channel
// masks; other visual classes (PseudoColor, ...) and depths below 24 would
// need colours allocated or dithered, and get no splash.
bool Connect(SplashSurface* surface) {
  if (!LoadXlib(surface)) {
    return false;
  }
  const Xlib& x = surface->x;
  gRequestFailed = false;
  gConnectionLost = false;
  surface->previousErrorHandler = x.setErrorHandler(NoteRequestError);
  surface->previousIOErrorHandler = x.setIOErrorHandler(NoteLostConnection);
  surface->handlersSet = true;

  Display* display = x.openDisplay(nullptr);
  if (display == nullptr) {
    return false;
  }
  surface->display = display;
  x.setIOErrorExitHandler(display, KeepRunning, nullptr);

  surface->screen = x.defaultScreen(display);
  surface->visual = x.defaultVisual(display, surface->screen);
  surface->depth = x.defaultDepth(display, surface->screen);
  const Visual* visual = surface->visual;
  return visual != nullptr && visual->c_class == TrueColor && surface->depth >= 24 &&
         MakePixelLayout(visual->red_mask, visual->green_mask, visual->blue_mask, surface->depth,
                         &surface->layout);
}

// Makes the window where the surface was placed, with an image of the
// picture's size, and maps it.
bool MakeWindow(SplashSurface* surface) {
  const Xlib& x = surface->x;
  Display* display = surface->display;
  XSetWindowAttributes attributes = {};
  attributes.background_pixel = PackPixel(surface->layout, 0, 0, 0);
  attributes.border_pixel = attributes.background_pixel;
  // No window manager gets to frame or move it.
  attributes.override_redirect = True;
  surface->window = x.createWindow(
      display, x.rootWindow(display, surface->screen), surface->left, surface->top,
      static_cast<unsigned>(surface->width), static_cast<unsigned>(surface->height), 0,
      surface->depth, InputOutput, surface->visual,
      CWBackPixel | CWBorderPixel | CWOverrideRedirect, &attributes);
  x.storeName(display, surface->window, surface->title);
  surface->gc = x.createGC(display, surface->window, 0, nullptr);

  const RgbPicture& picture = surface->picture;
  surface->image = x.createImage(display, surface->visual, static_cast<unsigned>(surface->depth),
                                 ZPixmap, 0, nullptr, static_cast<unsigned>(picture.width),
                                 static_cast<unsigned>(picture.height), 32, 0);
  if (surface->image == nullptr) {
    return false;
  }
  // XDestroyImage frees the data with the image.
  surface->image->data = static_cast<char*>(
      std::malloc(static_cast<std::size_t>(surface->image->bytes_per_line) *
                  static_cast<std::size_t>(picture.height)));
  if (surface->image->data == nullptr) {
    return false;
  }
  x.mapRaised(display, surface->window);
  return true;
}

// Takes down whatever the surface got to on the server, in reverse; safe on
// a half-built surface and after the server has gone. The surface itself and
// its picture stay until they are released and closed.
void TakeDown(SplashSurface* surface) {
  const Xlib& x = surface->x;
  if (surface->display != nullptr) {
    // Also after the server has gone: Xlib then sends nothing but still
    // frees its own memory (the GC's).
    if (surface->gc != nullptr) {
      x.freeGC(surface->display, surface->gc);
    }
    if (surface->window != 0) {
      x.destroyWindow(surface->display, surface->window);
    }
    if (surface->image != nullptr) {
      XDestroyImage(surface->image);
    }
    x.closeDisplay(surface->display);
  }
  if (surface->handlersSet) {
    x.setErrorHandler(surface->previousErrorHandler);
    x.setIOErrorHandler(surface->previousIOErrorHandler);
  }
  if (surface->library != nullptr) {
    dlclose(surface->library);
  }
  surface->gc = nullptr;
  surface->window = 0;
  surface->image = nullptr;
  surface->display = nullptr;
  surface->handlersSet = false;
  surface->library = nullptr;
}

// Sends the canvas to the window whole.
void PutCanvas(SplashSurface* surface) {
  const RgbPicture& picture = surface->picture;
  const unsigned char* pixel = surface->canvas;
  for (int y = 0; y < picture.height; ++y) {
    for (int column = 0; column < picture.width; ++column, pixel += 3) {
      XPutPixel(surface->image, column, y,
                PackPixel(surface->layout, pixel[0], pixel[1], pixel[2]));
    }
  }
  surface->x.putImage(surface->display, surface->window, surface->gc, surface->image, 0, 0, 0, 0,
                      static_cast<unsigned>(picture.width), static_cast<unsigned>(picture.height));
}

}  // namespace

SplashSurface* X11OpenSplashSurface(PlatformInstance, int width, int height, const char* title) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') {
    return nullptr;
  }
  SplashSurface* surface = static_cast<SplashSurface*>(std::calloc(1, sizeof(SplashSurface)));
  if (surface == nullptr) {
    return nullptr;
  }
  surface->title = title;
  surface->width = width;
  surface->height = height;
  const struct sigaction brokenPipe = IgnoreBrokenPipe();
  const bool connected = Connect(surface);
  if (!connected) {
    TakeDown(surface);
  }
  RestoreBrokenPipe(brokenPipe);
  if (!connected) {
    std::free(surface);
    return nullptr;
  }
  gOpenSurface = surface;
  return surface;
}

ScreenSize X11GetScreenSize(SplashSurface* surface) {
  if (surface->display == nullptr) {
    return ScreenSize{0, 0};
  }
  return ScreenSize{surface->x.displayWidth(surface->display, surface->screen),
                    surface->x.displayHeight(surface->display, surface->screen)};
}

SurfaceRect X11GetSurfaceRect(SplashSurface* surface) {
  return SurfaceRect{surface->left, surface->top, surface->left + surface->width,
                     surface->top + surface->height};
}

// The window is made in its place with the first frame.
void X11ShowSplashSurface(SplashSurface* surface, int x, int y) {
  surface->left = x;
  surface->top = y;
  surface->shown = true;
}

// The picture is the whole .bmp file, decoded here and blended in software.
// What lies outside the window is never seen, so it is cut off at once.
bool X11LoadSplashPicture(SplashSurface* surface, PlatformInstance, int id) {
  PlatformResource resource = {};
  if (!gPlatform->LookUpResource(kBitmapResourceType, id, &resource) ||
      resource.size > kMaxBitmapResourceSize) {
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(resource.size);
  unsigned char* bytes = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
  if (bytes == nullptr) {
    return false;
  }
  const bool decoded = gPlatform->ReadResource(&resource, bytes) &&
                       DecodeRgbPicture(bytes, size, &surface->picture);
  std::free(bytes);
  if (!decoded) {
    return false;
  }
  ClipRgbPicture(&surface->picture, surface->width, surface->height);
  // The canvas starts as the window's black background.
  surface->canvas = static_cast<unsigned char*>(
      std::calloc(static_cast<std::size_t>(surface->picture.width) *
                      static_cast<std::size_t>(surface->picture.height) * 3,
                  1));
  return surface->canvas != nullptr;
}

// Each frame is blended on the canvas, which then goes to the window whole.
bool X11BlendSplashPicture(SplashSurface* surface, int alpha) {
  if (surface->display == nullptr || surface->canvas == nullptr) {
    return false;
  }
  const RgbPicture& picture = surface->picture;
  BlendFrame(picture.rgb, surface->canvas,
             static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3,
             alpha);
  if (!surface->shown) {
    return true;
  }
  const struct sigaction brokenPipe = IgnoreBrokenPipe();
  bool ok = surface->window != 0 || MakeWindow(surface);
  if (ok) {
    PutCanvas(surface);
    surface->x.sync(surface->display, False);
    ok = !XFailed();
  }
  if (!ok) {
    TakeDown(surface);
  }
  RestoreBrokenPipe(brokenPipe);
  return ok;
}

void X11ReleaseSplashPicture(SplashSurface* surface) {
  FreeRgbPicture(&surface->picture);
  std::free(surface->canvas);
  surface->canvas = nullptr;
}

void X11CloseSplashSurface(SplashSurface* surface) {
  const struct sigaction brokenPipe = IgnoreBrokenPipe();
  TakeDown(surface);
  RestoreBrokenPipe(brokenPipe);
  X11ReleaseSplashPicture(surface);
  if (surface == gOpenSurface) {
    gOpenSurface = nullptr;
  }
  std::free(surface);
}

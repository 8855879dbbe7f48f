// The X client of the splash, in its own process (x11_client.h).
//
// libX11 is opened at run time, so a machine without it still runs the
// launcher, only without a splash; the build needs its headers alone. Pixels
// are computed from the visual's channel masks; other visual classes
// (PseudoColor, ...) and depths below 24 would need colours allocated or
// dithered, and get no splash. A request error (BadAlloc, BadMatch, ...) is
// seen at the XSync after each frame and ends the client; so does a lost
// connection, quietly: the surface then goes on without a window. Whatever
// the server does, only this process waits for it.
#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/full_io.h"
#include "platform/posix/x11_client.h"
#include "platform/posix/x11_pixels.h"

// Last, so that Xlib's macros (True, None, Status, ...) stay out of our headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// The libX11 functions the client uses, found by name in the loaded library.
struct Xlib {
  decltype(&XOpenDisplay) openDisplay;
  decltype(&XCloseDisplay) closeDisplay;
  decltype(&XSetErrorHandler) setErrorHandler;
  decltype(&XSetIOErrorHandler) setIOErrorHandler;
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
  decltype(&XCreateImage) createImage;
  decltype(&XPutImage) putImage;
  decltype(&XSync) sync;
};

struct Client {
  X11ClientSetup setup;
  Xlib x;
  Display* display;
  int screen;
  Visual* visual;
  int depth;
  PixelLayout layout;
  Window window;
  GC gc;
  XImage* image;
};

// Xlib's handlers know only the display; there is one client per process.
bool gRequestFailed = false;

int NoteRequestError(Display*, XErrorEvent*) {
  gRequestFailed = true;
  return 0;
}

// The connection is gone: end without Xlib's message on standard error.
int EndQuietly(Display*) {
  _exit(0);
}

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
  void* symbol = dlsym(library, name);
  *out = reinterpret_cast<Function>(symbol);
  return symbol != nullptr;
}

bool LoadXlib(Xlib* x) {
  void* const lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  return lib != nullptr && Resolve(lib, "XOpenDisplay", &x->openDisplay) &&
         Resolve(lib, "XCloseDisplay", &x->closeDisplay) &&
         Resolve(lib, "XSetErrorHandler", &x->setErrorHandler) &&
         Resolve(lib, "XSetIOErrorHandler", &x->setIOErrorHandler) &&
         Resolve(lib, "XDefaultScreen", &x->defaultScreen) &&
         Resolve(lib, "XDefaultVisual", &x->defaultVisual) &&
         Resolve(lib, "XDefaultDepth", &x->defaultDepth) &&
         Resolve(lib, "XDisplayWidth", &x->displayWidth) &&
         Resolve(lib, "XDisplayHeight", &x->displayHeight) &&
         Resolve(lib, "XRootWindow", &x->rootWindow) &&
         Resolve(lib, "XCreateWindow", &x->createWindow) &&
         Resolve(lib, "XStoreName", &x->storeName) && Resolve(lib, "XMapRaised", &x->mapRaised) &&
         Resolve(lib, "XDestroyWindow", &x->destroyWindow) &&
         Resolve(lib, "XCreateGC", &x->createGC) && Resolve(lib, "XCreateImage", &x->createImage) &&
         Resolve(lib, "XPutImage", &x->putImage) && Resolve(lib, "XSync", &x->sync);
}

bool Connect(Client* client, X11Hello* hello) {
  if (!LoadXlib(&client->x)) {
    return false;
  }
  const Xlib& x = client->x;
  x.setErrorHandler(NoteRequestError);
  x.setIOErrorHandler(EndQuietly);
  Display* display = x.openDisplay(nullptr);
  if (display == nullptr) {
    return false;
  }
  client->display = display;
  client->screen = x.defaultScreen(display);
  client->visual = x.defaultVisual(display, client->screen);
  client->depth = x.defaultDepth(display, client->screen);
  hello->screenWidth = x.displayWidth(display, client->screen);
  hello->screenHeight = x.displayHeight(display, client->screen);
  const Visual* visual = client->visual;
  return visual != nullptr && visual->c_class == TrueColor && client->depth >= 24 &&
         MakePixelLayout(visual->red_mask, visual->green_mask, visual->blue_mask, client->depth,
                         &client->layout);
}

// Makes the window at its place, with an image of the picture's size, and
// maps it.
bool MakeWindow(Client* client, const X11Request& request) {
  const Xlib& x = client->x;
  Display* display = client->display;
  XSetWindowAttributes attributes = {};
  attributes.background_pixel = PackPixel(client->layout, 0, 0, 0);
  attributes.border_pixel = attributes.background_pixel;
  // No window manager gets to frame or move it.
  attributes.override_redirect = True;
  client->window =
      x.createWindow(display, x.rootWindow(display, client->screen), request.left, request.top,
                     static_cast<unsigned>(client->setup.width),
                     static_cast<unsigned>(client->setup.height), 0, client->depth, InputOutput,
                     client->visual, CWBackPixel | CWBorderPixel | CWOverrideRedirect, &attributes);
  x.storeName(display, client->window, client->setup.title);
  client->gc = x.createGC(display, client->window, 0, nullptr);
  client->image = x.createImage(display, client->visual, static_cast<unsigned>(client->depth),
                                ZPixmap, 0, nullptr, static_cast<unsigned>(request.pictureWidth),
                                static_cast<unsigned>(request.pictureHeight), 32, 0);
  if (client->image == nullptr) {
    return false;
  }
  client->image->data =
      static_cast<char*>(std::malloc(static_cast<std::size_t>(client->image->bytes_per_line) *
                                     static_cast<std::size_t>(request.pictureHeight)));
  if (client->image->data == nullptr) {
    return false;
  }
  x.mapRaised(display, client->window);
  return true;
}

// Shows the canvas in the window whole, and waits until the server has.
bool Draw(Client* client, const X11Request& request) {
  if (client->window == 0 && !MakeWindow(client, request)) {
    return false;
  }
  const unsigned char* pixel = client->setup.canvas;
  for (int y = 0; y < request.pictureHeight; ++y) {
    for (int column = 0; column < request.pictureWidth; ++column, pixel += 3) {
      XPutPixel(client->image, column, y, PackPixel(client->layout, pixel[0], pixel[1], pixel[2]));
    }
  }
  client->x.putImage(client->display, client->window, client->gc, client->image, 0, 0, 0, 0,
                     static_cast<unsigned>(request.pictureWidth),
                     static_cast<unsigned>(request.pictureHeight));
  client->x.sync(client->display, False);
  return !gRequestFailed;
}

template <typename Message>
void Send(int channel, const Message& message) {
  send(channel, &message, sizeof message, MSG_NOSIGNAL);
}

}  // namespace

void RunX11Client(const X11ClientSetup& setup) {
  // The client ends with the launcher, however the launcher ends.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != setup.launcher) {
    _exit(0);
  }
  // A server that has gone raises SIGPIPE on the next write.
  signal(SIGPIPE, SIG_IGN);

  Client client = {};
  client.setup = setup;
  X11Hello hello = {};
  hello.connected = Connect(&client, &hello);
  Send(setup.channel, hello);
  if (!hello.connected) {
    _exit(0);
  }
  X11Request request;
  while (ReadFull(setup.channel, &request, sizeof request) && request.kind == kX11Draw) {
    const X11Reply reply = {Draw(&client, request)};
    Send(setup.channel, reply);
    if (reply.drawn == 0) {
      break;
    }
  }
  // The window goes before the client ends: closing the display waits until
  // the server has destroyed it.
  if (client.window != 0) {
    client.x.destroyWindow(client.display, client.window);
  }
  client.x.closeDisplay(client.display);
  _exit(0);
}

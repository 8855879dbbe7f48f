// The splash surface on X11 desktops.
//
// The X conversation happens in a child process (x11_client.cpp), which the
// surface waits for with a deadline: about two seconds in all for connecting
// and every frame's round trip together. A server that takes the connection
// and never answers (stopped, hung, or a silent socket) blocks Xlib in
// poll(), which it retries on EINTR, so no timer can free the launcher's own
// thread from it; a child can simply be killed. Past the deadline, or when
// the client fails in any way (no display, no libX11, an unsuitable visual,
// an X error, the server gone), the client is killed and the run goes on
// without a window: the splash never costs the run more than that.
//
// The surface blends the frames itself on a canvas it shares with the client
// (an anonymous shared mapping made before the fork) and asks it to show
// each one. The X window is made only with the first frame, so a splash
// without its picture never shows an empty rectangle.
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "format/resource_ids.h"
#include "platform/posix/full_io.h"
#include "platform/posix/interruptions.h"
#include "platform/posix/x11_client.h"
#include "platform/posix/x11_picture.h"

namespace {

// How long the launcher waits on the X server, all waits together.
constexpr int kPatienceMs = 2000;

// A resource claiming more than the largest acceptable picture (4096 x 4096
// at 3 bytes, about 48 MiB, plus headers) is not even read.
constexpr std::uint64_t kMaxBitmapResourceSize = 64u << 20;

}  // namespace

struct SplashSurface {
  pid_t client;    // 0 once it has gone
  int channel;     // the surface's end of the socket pair
  int patienceMs;  // what is left of kPatienceMs
  ScreenSize screen;
  int left;
  int top;
  int width;
  int height;
  bool shown;
  bool hasPicture;
  RgbPicture picture;
  unsigned char* canvas;  // width * height * 3 bytes, shared with the client
};

namespace {

// The open surface. A run that ends with a failure code leaves it to the end
// of the process; held here, it is never mistaken for a leak.
SplashSurface* gOpenSurface = nullptr;

std::int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits, within the patience left, until the channel has something to read
// (or has ended); false when the patience runs out first.
bool AwaitChannel(SplashSurface* surface) {
  for (;;) {
    const std::int64_t began = NowMs();
    pollfd channel = {surface->channel, POLLIN, 0};
    const int ready = poll(&channel, 1, surface->patienceMs);
    const std::int64_t spent = NowMs() - began;
    surface->patienceMs =
        spent >= surface->patienceMs ? 0 : surface->patienceMs - static_cast<int>(spent);
    if (ready > 0) {
      return true;
    }
    if (ready == 0 || errno != EINTR || surface->patienceMs == 0) {
      return false;
    }
  }
}

// Reads one whole message from the client within the patience left.
bool Receive(SplashSurface* surface, void* message, std::size_t size) {
  return ReadFullWhen(surface->channel, message, size, [surface] { return AwaitChannel(surface); });
}

// A request into an empty channel: the client reads each before it answers.
bool Send(SplashSurface* surface, const X11Request& request) {
  return send(surface->channel, &request, sizeof request, MSG_NOSIGNAL) ==
         static_cast<ssize_t>(sizeof request);
}

// Ends the client, at once, and reaps it.
void EndClient(SplashSurface* surface) {
  if (surface->client == 0) {
    return;
  }
  kill(surface->client, SIGKILL);
  while (waitpid(surface->client, nullptr, 0) < 0 && errno == EINTR) {
  }
  close(surface->channel);
  surface->client = 0;
}

void FreeSurface(SplashSurface* surface) {
  if (surface->canvas != nullptr) {
    munmap(surface->canvas, static_cast<std::size_t>(surface->width) *
                                static_cast<std::size_t>(surface->height) * 3);
  }
  FreeRgbPicture(&surface->picture);
  if (surface == gOpenSurface) {
    gOpenSurface = nullptr;
  }
  std::free(surface);
}

// Forks the client; false when it could not be started.
bool StartClient(SplashSurface* surface, const char* title) {
  int channels[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channels) != 0) {
    return false;
  }
  // The client leaves signals to the launcher: it gets the default actions
  // before any signal can reach it.
  const pid_t launcher = getpid();
  pid_t client = 0;
  {
    const HeldInterruptions held;
    client = fork();
    if (client == 0) {
      ForgetInterruptions();
    }
  }
  if (client == 0) {
    close(channels[0]);
    RunX11Client(X11ClientSetup{launcher, channels[1], surface->width, surface->height, title,
                                surface->canvas});
  }
  close(channels[1]);
  if (client < 0) {
    close(channels[0]);
    return false;
  }
  surface->client = client;
  surface->channel = channels[0];
  return true;
}

SplashSurface* X11OpenSplashSurface(PlatformInstance, int width, int height, const char* title) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0' || width <= 0 || height <= 0) {
    return nullptr;
  }
  SplashSurface* surface = static_cast<SplashSurface*>(std::calloc(1, sizeof(SplashSurface)));
  if (surface == nullptr) {
    return nullptr;
  }
  surface->width = width;
  surface->height = height;
  surface->patienceMs = kPatienceMs;
  void* canvas =
      mmap(nullptr, static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3,
           PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  surface->canvas = canvas != MAP_FAILED ? static_cast<unsigned char*>(canvas) : nullptr;
  X11Hello hello = {};
  if (surface->canvas == nullptr || !StartClient(surface, title) ||
      !Receive(surface, &hello, sizeof hello) || hello.connected == 0) {
    EndClient(surface);
    FreeSurface(surface);
    return nullptr;
  }
  surface->screen = ScreenSize{hello.screenWidth, hello.screenHeight};
  gOpenSurface = surface;
  return surface;
}

ScreenSize X11GetScreenSize(SplashSurface* surface) {
  return surface->screen;
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
// What lies outside the window is never seen, so it is cut off at once; the
// canvas starts as the window's black background.
bool X11LoadSplashPicture(SplashSurface* surface, PlatformInstance, int id) {
  PlatformResource resource = {};
  if (!kSystemResources.LookUpResource(kBitmapResourceType, id, &resource) ||
      resource.size > kMaxBitmapResourceSize) {
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(resource.size);
  unsigned char* bytes = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
  if (bytes == nullptr) {
    return false;
  }
  surface->hasPicture = kSystemResources.ReadResource(&resource, bytes) &&
                        DecodeRgbPicture(bytes, size, &surface->picture);
  std::free(bytes);
  if (surface->hasPicture) {
    ClipRgbPicture(&surface->picture, surface->width, surface->height);
  }
  return surface->hasPicture;
}

// Each frame is blended on the canvas, which the client then shows whole.
bool X11BlendSplashPicture(SplashSurface* surface, int alpha) {
  if (surface->client == 0 || !surface->hasPicture) {
    return false;
  }
  const RgbPicture& picture = surface->picture;
  BlendFrame(picture.rgb, surface->canvas,
             static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3,
             alpha);
  if (!surface->shown) {
    return true;
  }
  const X11Request request = {kX11Draw, surface->left, surface->top, picture.width, picture.height};
  X11Reply reply = {};
  if (Send(surface, request) && Receive(surface, &reply, sizeof reply) && reply.drawn != 0) {
    return true;
  }
  EndClient(surface);
  return false;
}

void X11ReleaseSplashPicture(SplashSurface* surface) {
  FreeRgbPicture(&surface->picture);
  surface->hasPicture = false;
}

// The client takes the window down and ends; the surface waits for that
// (the window must be gone before the installer shows anything) within the
// patience left.
void X11CloseSplashSurface(SplashSurface* surface) {
  const X11Request request = {kX11Close, 0, 0, 0, 0};
  if (surface->client != 0 && Send(surface, request)) {
    char end;
    Receive(surface, &end, sizeof end);
  }
  EndClient(surface);
  FreeSurface(surface);
}

}  // namespace

constinit const SplashOps kSystemSplash = {
    X11OpenSplashSurface, X11GetScreenSize,      X11GetSurfaceRect,       X11ShowSplashSurface,
    X11LoadSplashPicture, X11BlendSplashPicture, X11ReleaseSplashPicture, X11CloseSplashSurface};

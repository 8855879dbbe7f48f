// The X client of the splash: the whole conversation with the X server, run
// in a process of its own that the splash surface (x11_splash.cpp) forks,
// talks to over a socket pair, and kills when the server keeps it waiting.
#pragma once

// What the client says once it has connected (or failed to).
struct X11Hello {
  int connected;
  int screenWidth;
  int screenHeight;
};

enum X11RequestKind : int {
  kX11Draw,   // show the canvas in the window, making the window first
  kX11Close,  // take the window down and end
};

struct X11Request {
  int kind;
  int left;
  int top;
  int pictureWidth;
  int pictureHeight;
};

// The answer to kX11Draw; kX11Close is answered by the client's end.
struct X11Reply {
  int drawn;
};

// What the client is forked with.
struct X11ClientSetup {
  int launcher;  // the launcher's process id
  int channel;   // its end of the socket pair
  int width;     // the window's size
  int height;
  const char* title;
  const unsigned char* canvas;  // shared with the surface: the picture's bytes
};

// Connects, answers with an X11Hello, then serves requests until it is told
// to close or the channel ends; never returns.
[[noreturn]] void RunX11Client(const X11ClientSetup& setup);

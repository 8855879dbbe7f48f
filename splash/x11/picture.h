// The splash picture's pixel arithmetic, kept apart from the window system so
// that it can be tested without a display.
#pragma once

#include <cstddef>

// A decoded picture: rows of red, green, blue bytes, top row first, unpadded.
struct SplashPicture {
  int width;
  int height;
  unsigned char* rgb;  // malloc'd, width * height * 3 bytes
};

// Decodes a whole .bmp file that format/bmp.h accepts. False for any other,
// and then `out` owns nothing.
bool ParseSplashBitmap(const unsigned char* bytes, std::size_t size, SplashPicture* out);

// Cuts the picture down to at most `width` x `height`, keeping its top-left
// corner, in place.
void ClipSplashPicture(SplashPicture* picture, int width, int height);

void FreeSplashPicture(SplashPicture* picture);

// One frame of the fade at constant alpha (0..255): each byte of `canvas`
// becomes (source * alpha + canvas * (255 - alpha)) / 255, rounded to nearest.
void BlendFrame(const unsigned char* source, unsigned char* canvas, std::size_t count, int alpha);

// How red, green and blue sit in a pixel value of a TrueColor visual.
struct PixelLayout {
  unsigned long redMask;
  unsigned long greenMask;
  unsigned long blueMask;
  // Bits of the depth that no colour uses (alpha on a 32-bit visual); set in
  // every pixel so that a compositor shows the window opaque.
  unsigned long fixedBits;
};

// False unless each mask is one non-empty run of bits, the masks do not
// overlap and all lie within `depth` bits.
bool MakePixelLayout(unsigned long redMask, unsigned long greenMask, unsigned long blueMask,
                     int depth, PixelLayout* out);

// The pixel value of an 8-bit-per-channel colour, each channel scaled to its
// mask's width with rounding.
unsigned long PackPixel(const PixelLayout& layout, unsigned char red, unsigned char green,
                        unsigned char blue);

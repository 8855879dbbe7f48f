// The splash picture as plain bytes, for systems that blend it themselves
// rather than with a blending service of their own: decoded from the BMP
// resource, clipped to the window, and built up frame by frame on a canvas.
#pragma once

#include <cstddef>

// A decoded picture: rows of red, green, blue bytes, top row first, unpadded.
struct RgbPicture {
  int width;
  int height;
  unsigned char* rgb;  // malloc'd, width * height * 3 bytes
};

// Decodes a whole .bmp file that format/bmp.h accepts. False for any other,
// and then `out` owns nothing.
bool DecodeRgbPicture(const unsigned char* bytes, std::size_t size, RgbPicture* out);

// Cuts the picture down to at most `width` x `height`, keeping its top-left
// corner, in place.
void ClipRgbPicture(RgbPicture* picture, int width, int height);

void FreeRgbPicture(RgbPicture* picture);

// One frame of the fade at constant alpha (0..255): each byte of `canvas`
// becomes (source * alpha + canvas * (255 - alpha)) / 255, rounded to nearest.
void BlendFrame(const unsigned char* source, unsigned char* canvas, std::size_t count, int alpha);

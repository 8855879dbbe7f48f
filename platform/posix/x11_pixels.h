// Pixel values for a TrueColor X visual, computed from its channel masks.
#pragma once

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

#pragma once
#include <cstdint>

// A decoded picture. Each pixel is 0xAARRGGBB, so its bytes in memory are
// blue, green, red, alpha. The caller owns the pixel memory; decoders write
// into it at an offset and clip, and never allocate or free it.
struct Bitmap32 {
  uint32_t* pixels;
  int32_t width;   // pixels
  int32_t height;  // pixels
  int32_t pitch;   // bytes from one row to the next
};

#pragma once
#include <cstdint>

#include "decode/decoder.h"

// A BMP pixel stream in run-length form: 8-bit indexes (compression 1),
// 4-bit indexes (compression 2) or 24-bit B, G, R triples (the OS/2
// compression 4 at 24 bits per pixel).
struct BmpRleStream {
  const uint8_t* data;  // from the pixel data offset
  int64_t size;         // bytes from there to the end of the file
  int32_t bits;         // 4, 8 or 24
  int64_t width, height;
  bool top_down;            // the first stored row is the top row
  const uint32_t* palette;  // 256 entries, for 4 and 8 bits
};

struct BmpRleResult {
  int64_t pixels_written;  // picture pixels the stream gave a value
  bool stream_ended;       // the data ran out before the end-of-picture code or the last row
  int64_t rows_passed;     // stored rows the stream moved past, in stream order
  int64_t steps;           // codes read plus pixels given a value
};

// Decodes the stream into the target. Every picture pixel inside the target
// is first made transparent black, so the pixels the stream skips (with delta
// codes, early ends of line or of the picture) stay transparent, as browsers
// show them. The work is bounded by the stream's length, not by the sizes it
// names.
BmpRleResult decode_bmp_rle(const BmpRleStream& s, const DecodeTarget& t);

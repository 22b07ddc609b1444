#pragma once
#include <cstdint>

#include "decode/decoder.h"

// A 1-bit BMP pixel stream in the OS/2 one-dimensional Huffman form
// (compression 3 at 1 bit per pixel): each row alternates runs of index 0
// (white) and index 1 (black), starting with white, each run a
// variable-length code as fax machines send them, most significant bit
// first, rows usually introduced by an end-of-line code.
struct BmpHuffmanStream {
  const uint8_t* data;  // from the pixel data offset
  int64_t size;         // bytes from there to the end of the file
  int64_t width, height;
  bool top_down;            // the first stored row is the top row
  const uint32_t* palette;  // entries 0 and 1
};

struct BmpHuffmanResult {
  int64_t rows_decoded;  // stored rows the stream completed
  bool stream_ended;     // the data ran out, or stopped being a valid code, before the last row
  int64_t steps;         // codes read plus pixels given a value
};

// Decodes the stream into the target. A row that an end-of-line code ends
// early is white to its end. The work is bounded by the stream's length and
// the target's size, not by the sizes the header names.
BmpHuffmanResult decode_bmp_huffman(const BmpHuffmanStream& s, const DecodeTarget& t);

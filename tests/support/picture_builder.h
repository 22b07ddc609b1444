#pragma once
// Small writers for the test pictures the driver tests need: PNG files put
// together chunk by chunk (so chunk order, lengths and CRCs are the test's
// choice) and cel pictures.
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Own namespace: other test helpers have writers of the same names.
namespace testpic {

// One chunk: length, type, data, CRC.
Bytes png_chunk(const std::string& type, const Bytes& data);

// IHDR with the given size, depth and colour type, not interlaced.
Bytes ihdr_chunk(uint32_t width, uint32_t height, uint8_t bit_depth, uint8_t colour_type);

// One IDAT holding the rows (each already starting with its filter byte),
// compressed by zlib at the given level (0 = stored).
Bytes idat_chunk(const Bytes& filtered_rows, int level);

// The signature followed by the chunks in order.
Bytes png_file(const std::vector<Bytes>& chunks);

// An RGB picture, 8 bits, rows with filter 0: pixel (x, y) has the bytes
// rgb(x, y). Compressed at the given level.
Bytes rgb_png(uint32_t width, uint32_t height, int level, const std::vector<Bytes>& before_idat = {},
              const std::vector<Bytes>& after_idat = {});

// A cel picture: palette entries are (r, g, b) triples of 0..63.
Bytes cel_file(uint16_t width, uint16_t height, const Bytes& palette_768, const Bytes& indices);

// A small cel picture with a smooth pattern that any encoder shrinks a lot.
Bytes smooth_cel(uint16_t width, uint16_t height);

Bytes bytes_of(const std::string& text);

// GIF image data (2-bit codes, no sub-blocks yet) of `count` equal indices in
// the densest form LZW allows: after the first index every code names the
// entry made just before it, each string one index longer, until the table
// is full; then its last entry (4091 indices for 12 bits) over and over,
// single indices for the rest, and the end code.
Bytes lzw_run(uint8_t index, int64_t count);

struct GifImage {
  uint16_t left, top, width, height;
  bool interlaced;
  Bytes data;  // LZW codes of code size 2, cut into sub-blocks by gif_file
};

// A GIF89a of the given screen over a 4-entry global table (black, red,
// green, blue), an animation of the images when there are several (repeat
// forever, a tenth of a second each).
Bytes gif_file(uint16_t screen_width, uint16_t screen_height, const std::vector<GifImage>& images);

}  // namespace testpic

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

}  // namespace testpic

#pragma once
#include <cstdint>

// What a decoder learned about its input that the driver and the encoder may
// reuse. The caller owns the record and hands it to decode_picture, which
// resets the per-decode fields at its start; the decoder fills them in.
struct SourceInfo {
  int8_t source_color_type;      // input as a PNG colour type: 0, 2, 3, 4 or 6
  int8_t source_bit_depth;       // bits per sample in the PNG sense
  uint32_t palette[256];         // 0xAARRGGBB; entries a decode does not set keep their values
  int32_t palette_count;         // meaningful entries of palette (reset to 0)
  uint32_t background;           // 0xAARRGGBB from a PNG bKGD chunk; 0 = none (reset to 0)
  uint16_t background16[3];      // 16-bit PNG: the bKGD samples, R G B (gray in all three); reset to 0
  int8_t source_filter;          // PNG: the one filter of every row (0..4), 5 = mixed, -1 = none
  uint16_t zlib_header;          // PNG: first two zlib bytes, CMF in the low byte (reset to 0)
  int32_t deflate_block_count;   // PNG: deflate block headers read (reset to 0)
  int32_t incomplete;            // 1 when the data ended (or stopped being usable) before the
                                 // picture was complete; the pixels are then only partly decoded
  const char* refusal;           // why a refused file cannot be shown, for its message; nullptr
                                 // when the format is simply not one this program reads (reset)
  int32_t decoded_rows;          // with incomplete: whole rows the data filled, counted in the
                                 // order the file stores them (for interlaced or progressive
                                 // data, the rows its last pass reached); reset to 0
  int64_t work;                  // steps the decode took (values, runs or blocks it produced,
                                 // inside the target or not), for tests that bound the work a
                                 // file can ask for; decoders that count it say so; reset to 0
};

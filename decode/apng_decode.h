#pragma once
#include <cstdint>

#include "decode/decoder.h"

// The frames of an animated PNG as its acTL and fcTL chunks lay them out.
struct ApngFrame {
  int32_t width, height;        // pixels, inside the canvas
  int32_t x_offset, y_offset;   // on the canvas
  uint16_t delay_num, delay_den;
  uint8_t dispose_op;           // 0 none, 1 background, 2 previous
  uint8_t blend_op;             // 0 source, 1 over
  bool in_idat;                 // the frame's data is the default image's IDAT
  int64_t first_data;           // offset of its first IDAT or fdAT chunk's length field
};

struct ApngLayout {
  int32_t canvas_width, canvas_height;
  int32_t colour_type, bit_depth, interlace;
  uint32_t play_count;              // acTL: 0 = forever
  bool default_image_is_frame;      // an fcTL stands before IDAT
  int64_t first_idat;               // offset of the first IDAT's length field
  int32_t frame_count;              // frames found (fcTL chunks with data)
};

// Reads the layout and up to capacity frames (frames may be null with
// capacity 0 to count them). Returns 0, or -1 for a file that is no animated
// PNG this decoder can take apart: a second IHDR, no acTL before IDAT, an
// fcTL whose region leaves the canvas or whose ops are unknown, a first
// frame in IDAT that is not the whole canvas, a frame without data, a
// frame count that differs from acTL's, or fcTL and fdAT sequence numbers
// that do not count up from 0 in file order.
int32_t read_apng_layout(const uint8_t* data, int32_t size, ApngLayout* layout, ApngFrame* frames,
                         int32_t capacity);

// Decodes one frame (its own width x height pixels, not composed) into the
// target, as decode_png decodes a still picture. 0, or -1 when refused; a
// frame whose data ends early sets info.incomplete.
int32_t decode_apng_frame(const uint8_t* data, int32_t size, const ApngLayout& layout, const ApngFrame& frame,
                          const DecodeTarget& target, SourceInfo& info);

// The same for a 16-bit animation: four samples per pixel into wide, as
// decode_png_wide writes them. -1 for a file of any other depth.
int32_t decode_apng_frame_wide(const uint8_t* data, int32_t size, const ApngLayout& layout, const ApngFrame& frame,
                               const DecodeTarget& target, uint16_t* wide, SourceInfo& info);

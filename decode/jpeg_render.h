#pragma once
#include <cstdint>

#include "decode/decoder.h"
#include "decode/jpeg_idct.h"

// Rendering of a whole coefficient store, for the pictures the MCU-by-MCU
// path does not show: four components (CMYK and YCCK), red-green-blue
// components, sampling factors that are not powers of two, and every
// arithmetic-coded picture.

enum class JpegColour { kGray, kYcc, kRgb, kCmyk, kYcck };

struct JpegFrameView {
  int32_t width, height;  // picture pixels
  int32_t comp_count;     // 1, 3 or 4
  int32_t h_max, v_max;
  int64_t mcu_rows;
  struct Component {
    int32_t h, v;             // sampling factors, 1..4
    int64_t blocks_per_row;   // in the store
    const int16_t* coef;      // the component's first block, 64 coefficients each in zigzag order
    const int32_t* quant;     // natural-order multipliers; the transform then gives (sample - 128) << 22
    const uint16_t* raw_quant;  // natural-order quantisation values as the file gives them
  } comp[4];
  JpegColour colour;
  bool inverted;  // CMYK and YCCK as Adobe writes them: every stored ink value is 255 - ink
  bool smooth_chroma;  // subsampled components interpolated between sample centres, not repeated
};

// Writes the part of the picture inside out's clip rectangle as opaque
// pixels. Components are sampled at the nearest stored sample, as the
// MCU-by-MCU path does; with smooth_chroma, a component subsampled by whole
// factors is interpolated linearly between its sample centres (for factors
// of 2 exactly the triangle filter of the established decoders, their
// rounding included; halved components of at most two samples across are
// repeated, as there). Returns -1 when the buffers cannot be allocated.
int32_t jpeg_render_frame(const JpegFrameView& frame, const JpegOutput& out);

// The same for 12-bit samples, into wide as four 16-bit samples per pixel
// (R, G, B, A; alpha 65535), target.width * 4 samples per row, placed and
// clipped by target's size and offsets. Each 12-bit sample v becomes
// v * 65535 / 4095 (its bits repeated), so white stays white. Gray, YCbCr
// and red-green-blue pictures only. Returns -1 when the row buffers cannot
// be allocated. With smooth_chroma, subsampled components are interpolated
// as jpeg_render_frame does, on the 12-bit samples.
int32_t jpeg_render_frame_wide(const JpegFrameView& frame, const DecodeTarget& target, uint16_t* wide);

// One pixel from four ink samples as the decoder stores them, to 0xFFRRGGBB.
uint32_t jpeg_cmyk_pixel(uint32_t c, uint32_t m, uint32_t y, uint32_t k, bool inverted);

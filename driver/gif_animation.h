#pragma once
#include <cstdint>

#include "encode/encode_options.h"

// An animated GIF turned into an animated PNG. Composes every frame on the
// screen as a GIF viewer shows it (the first as decode_gif gives it; a frame
// disposed to the background leaves its rectangle transparent when the
// first or the disposed frame has a transparent index, else the background
// colour; one disposed to the previous state restores its rectangle), and
// writes frame 1 whole and every later one as the rectangle that changes on
// the screen it is drawn on, with dispose ops (to the background: cleared
// to transparent; to the previous state) where they leave less to write,
// blending over the screen where the GIF image has transparent pixels; the
// plain changed rectangles of the composed screens, replacing, are tried
// too and the smallest file kept. Delays are in hundredths of a second, the
// NETSCAPE repeat count is kept (none: play once). The result is checked by
// decoding and composing every frame again. first holds the composed first
// frame (width x height, the screen). Returns the size of the file placed in
// *png (malloc'd, freed by the caller) and the frame count in *frames, or
// kNoPng when a frame is damaged, the frames need more memory than
// memory_limit bytes, or the encode failed or was stopped.
// Under the search mode (options.deep_level > 0) every frame gets its own
// filter and, with vary_blocks, its own block settings. A colour type or
// bit depth in options (see encode_apng) that no plan's frames fit sets
// *refused, after printing why with options.print.
int32_t gif_to_apng(const uint8_t* data, int32_t size, const uint32_t* first, int32_t width, int32_t height,
                    const EncodeOptions& options, bool vary_blocks, int64_t memory_limit, uint8_t** png,
                    int32_t* frames, bool* refused);

// The check before the animated PNG replaces anything: png, decoded and
// composed again, shows every screen of the GIF (first and w x h as for
// gif_to_apng). False too for a GIF gif_to_apng would not take.
bool gif_apng_matches(const uint8_t* data, int32_t size, const uint32_t* first, int32_t w, int32_t h,
                      const uint8_t* png, int32_t png_size, int64_t memory_limit);

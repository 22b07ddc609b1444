#pragma once
#include <cstdint>

#include "deflate/callbacks.h"
#include "encode/colour_analysis.h"
#include "encode/encode_options.h"

// Looks at every sample of options' wide picture and settles the 16-bit form:
// gray when red, green and blue agree everywhere, no alpha channel when alpha
// is all opaque or one colour stands for all transparency (a tRNS key), and
// the filter. A requested colour type that can't hold the picture, a palette,
// or a depth below 16 is refused with a message. Returns 0, or -1 when
// refused or key_check asked to stop.
int32_t analyse_wide(const EncodeOptions* options, PrintFn print, KeyCheckFn key_check, ColourChoice* choice);

// The colour type analyse_wide settles on when none is requested.
int32_t suggest_wide_colour_type(const EncodeOptions* options);

// True when every sample of a width x height wide picture (4 per pixel) has
// equal high and low bytes, so 8 bits per sample hold it exactly.
bool wide_fits_8_bits(const uint16_t* samples, int32_t width, int32_t height);

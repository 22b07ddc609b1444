#pragma once
#include <cstdint>

#include "deflate/bitstream.h"
#include "deflate/callbacks.h"
#include "deflate/filters.h"
#include "encode/colour_analysis.h"
#include "encode/colour_hash.h"
#include "encode/encode_options.h"
#include "encode/passes.h"

// Everything one encoder run works with. encode_png keeps one for the
// process; every run resets what it uses, so runs never see each other.
struct EncoderContext {
  EncodeOptions* options;
  PrintFn print;         // never null during a run
  KeyCheckFn key_check;  // never null during a run
  BitWriter out;
  ColourHash hash;
  ColourChoice colours;
  int32_t capacity_estimate;  // bytes the stored layout needs at most
  FilterStage filters;
  DeflateStream* stream;  // made on the first compressing run, kept for the process
  PassState passes;
};

// The palette lookup the filter stage and the stored layout use for colour
// types 0 and 3; user is the context's ColourHash.
int32_t lookup_palette_index(void* user, uint32_t pixel);
// Row format of the run's picture in the chosen form; for types 0 and 3 it
// rebuilds the colour lookup from the palette first.
RowFormat encoder_row_format(EncoderContext* ctx);

#pragma once
#include <cstdint>

#include "deflate/bitstream.h"
#include "deflate/callbacks.h"
#include "deflate/filters.h"
#include "encode/colour_analysis.h"
#include "encode/colour_hash.h"
#include "encode/encode_options.h"
#include "encode/pass_state.h"

// Everything one encoder run works with and changes. encode_png makes one
// for each call and frees it at the end, so runs never see each other.
struct EncoderContext {
  EncodeOptions* options;
  PrintFn print;  // the caller's, from the options
  KeyCheckFn key_check;
  BitWriter out;
  ColourHash hash;
  ColourChoice colours;
  int32_t capacity_estimate;  // bytes the stored layout needs at most
  FilterStage filters;
  DeflateStream* stream;  // made by the first compressing pass, freed with the context
  PassState passes;
  int32_t idat_start;  // out_count where the IDAT length field of the current pass sits
};

// The palette lookup the filter stage and the stored layout use for colour
// types 0 and 3; user is the context's ColourHash.
int32_t lookup_palette_index(void* user, uint32_t pixel);
// Row format of the run's picture in the chosen form; for types 0 and 3 it
// rebuilds the colour lookup from the palette first.
RowFormat encoder_row_format(EncoderContext* ctx);

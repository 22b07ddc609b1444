#pragma once
#include <cstdint>

#include "encode/colour_analysis.h"
#include "encode/encode_options.h"
#include "encode/encoder_context.h"

// A stored deflate block holds at most 65535 bytes.
constexpr int32_t kStoredBlockMax = 65535;

// Worst-case size of the PNG in the stored layout, with slack for the chunks
// around IDAT. 64-bit: a picture can ask for more than a 32-bit size holds.
int64_t stored_capacity_estimate(const EncodeOptions* options, const ColourChoice* colours);

// Writes the whole PNG with every row in stored deflate blocks (filter 0);
// rows longer than one stored block continue in further blocks. Returns 1, or
// 0 when the chunks before IDAT or the row buffer failed (already reported).
int32_t write_stored_png(EncoderContext* ctx);

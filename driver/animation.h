#pragma once
#include <cstdint>

#include "driver/chunk_select.h"
#include "encode/encode_options.h"

// An animated PNG re-encoded frame by frame. Reads the input's frames (all
// must decode whole; a 16-bit file's at 16 bits, written at 8 only when
// every sample is exactly representable there), encodes them with options' engine and settings, and
// checks the result by decoding every frame again and comparing its pixels
// and frame controls with the input's. Returns the size of the file placed
// in *png (malloc'd, freed by the caller) and the frame count in *frames, or
// kNoPng when the animation can't be taken apart, would need more memory
// than memory_limit bytes, or was stopped; nothing is printed. The colour
// form is chosen by encoding each (see encode_apng); under the search mode
// (options.deep_level > 0) every frame gets its own filter and, with
// vary_blocks, its own block settings.
// A colour type or bit depth in options (see encode_apng) that can't hold
// every frame sets *refused, after printing why with options.print.
int32_t recompress_apng(const uint8_t* data, int32_t size, const EncodeOptions& options, bool vary_blocks,
                        int64_t memory_limit, uint8_t** png, int32_t* frames, bool* refused);

// The check before an animation replaces anything: png, decoded again,
// shows input's animation, every frame's controls and samples (16-bit ones
// whole) and a default image no frame shows. False too when the frames
// would need more memory than memory_limit bytes.
bool apng_output_matches(const uint8_t* input, int32_t input_size, const uint8_t* png, int32_t size,
                         int64_t memory_limit);

// Drops the chunks that frame the animation (acTL, fcTL, fdAT) from a
// selection: the encoder writes them afresh.
void drop_animation_chunks(ChunkSelection* selection);

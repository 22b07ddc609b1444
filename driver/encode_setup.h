#pragma once
#include <cstdint>

#include "decode/source_info.h"
#include "driver/chunk_select.h"
#include "driver/options.h"
#include "encode/encode_options.h"

// Completes the encoder's record once the picture is decoded and its chunks
// chosen: the picture itself, the kept chunks, and every field the command
// line left open defaulted from what the decoder learned about the input.
void fill_encode_options(const CommandLine& cmd, const SourceInfo& info, const ChunkSelection& chunks,
                         uint32_t* pixels, int32_t width, int32_t height, EncodeOptions* options);

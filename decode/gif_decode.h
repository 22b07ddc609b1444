#pragma once
#include <cstdint>

#include "decode/decoder.h"

// Decodes a GIF file image into the target. 0 = success, -1 = refused.
int32_t decode_gif(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info);

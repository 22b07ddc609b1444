#pragma once
#include <cstdint>

#include "decode/decoder.h"

// The screen size of a GIF file; a screen dimension stored as 0 is taken
// from the first image's extent, as the decoder does. Leaves both outputs
// untouched when the header is cut short.
void probe_gif(const uint8_t* data, int32_t size, int32_t* width, int32_t* height);

// Decodes a GIF file image into the target. 0 = success, -1 = refused.
int32_t decode_gif(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info);

// Images stored in a GIF file (each a frame of an animation), counted up to
// the trailer or the end of the data; 0 when the header is cut short. An
// image whose data is cut short still counts.
int32_t gif_image_count(const uint8_t* data, int32_t size);

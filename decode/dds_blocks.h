#pragma once
#include <cstdint>

// The block codings of DXT1 to DXT5 (BC1 to BC3) and of the one- and
// two-channel BC4 and BC5. Each call decodes one 4 x 4 block into 16 values,
// row-major; pixels are 0xAARRGGBB.

// An 8-byte colour part. With `three_colour_mode` (DXT1 alone) endpoint
// order c0 <= c1 selects three colours and transparent black.
void decode_colour_block(const uint8_t* part, bool three_colour_mode, uint32_t pixels[16]);

// Replaces the alpha of 16 pixels from an 8-byte explicit (DXT2, DXT3) or
// interpolated (DXT4, DXT5) alpha part.
void apply_explicit_alpha(const uint8_t* part, uint32_t pixels[16]);
void apply_interpolated_alpha(const uint8_t* part, uint32_t pixels[16]);

// One 8-byte BC4 channel part as 8-bit values. A signed part's values
// -128..127 are given back offset by 128, so that zero is the middle grey.
void decode_channel_block(const uint8_t* part, bool is_signed, uint8_t values[16]);

// Undoes premultiplied alpha (DXT2, DXT4) in place.
void unpremultiply_block(uint32_t pixels[16]);

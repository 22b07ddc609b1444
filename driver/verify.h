#pragma once
#include <cstdint>

// Decodes a finished PNG with the tool's own decoder and compares it, pixel
// for pixel, with the picture it was made from. True only for an exact match;
// the decoder's record of the input (source_info) is left as it was.
bool verify_png_output(const uint8_t* png, int32_t size, const uint32_t* pixels, int32_t width,
                       int32_t height);

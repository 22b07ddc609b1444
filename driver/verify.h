#pragma once
#include <cstdint>

// Decodes a finished PNG with the tool's own decoder and compares it, pixel
// for pixel, with the picture it was made from. True only for an exact match;
// the decoder's record of the input (source_info) is left as it was.
bool verify_png_output(const uint8_t* png, int32_t size, const uint32_t* pixels, int32_t width,
                       int32_t height);
// The same, where with clear_colour_free two pixels of alpha 0 match whatever
// their colour ("-a"); every other pixel must still match exactly.
bool verify_png_output(const uint8_t* png, int32_t size, const uint32_t* pixels, int32_t width, int32_t height,
                       bool clear_colour_free);

// The check of a 16-bit PNG: its samples against the wide picture it was
// made from (R, G, B, A per pixel, width * 4 per row), every one exactly.
bool verify_png_output_wide(const uint8_t* png, int32_t size, const uint16_t* samples, int32_t width,
                            int32_t height);

#pragma once
#include <cstdint>

#include "decode/bitmap.h"
#include "decode/decoder.h"
#include "decode/source_info.h"

// Reads width and height from the header alone; both are 0 when the format
// is not recognised or the header is cut short. Never fails otherwise.
void probe_picture(const uint8_t* data, int32_t size, int32_t* width, int32_t* height);

// Recognises the format by content and decodes it into the target at its
// offset, clipping to the target. Returns 0 on success and -1 for a refused
// file. Resets the per-decode fields of info first, then the decoder fills
// them in; the caller owns both records.
int32_t decode_picture(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info);

// 16 for the files decode_picture refuses because they hold more than 8
// bits per sample and decode_picture_wide reads (16-bit PNGs, JPEGs of 9 to
// 16 bits), 8 for every other file.
int32_t picture_sample_depth(const uint8_t* data, int32_t size);

// The decode of those files: four 16-bit samples per pixel into wide, as
// decode_png_wide and decode_jpeg_wide say; target.pixels is not written.
// Resets the per-decode fields of info first. 0 = success, -1 = refused.
int32_t decode_picture_wide(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                            SourceInfo& info);

uint16_t byte_swap16(uint16_t x);

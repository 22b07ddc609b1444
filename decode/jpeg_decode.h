#pragma once
#include <cstdint>

#include "decode/decoder.h"

// Decodes a JPEG file image into the target. 0 = success, -1 = refused.
int32_t decode_jpeg(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info);

// Bits per sample the file's first frame header gives (8 for nearly every
// picture, up to 16 for lossless ones), 0 when no frame header comes before
// the first scan.
int32_t jpeg_sample_depth(const uint8_t* data, int32_t size);

// The decode of pictures of more than 8 bits per sample, which decode_jpeg
// refuses (lossless ones of 9 to 16 bits, transform-coded ones of 12): four samples per pixel (R, G, B, A; gray spread over R, G and B,
// alpha 65535) into wide, target.width * 4 samples per row, placed and
// clipped by target's size and offsets; target.pixels is not written.
// Lossless pictures keep the sample values the file codes (0..4095 for 12
// bits); 12-bit transform-coded ones are scaled to the full 16-bit range.
// 0 = success, -1 = refused.
int32_t decode_jpeg_wide(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                         SourceInfo& info);

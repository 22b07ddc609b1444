#pragma once
#include <cstdint>

#include "decode/decoder.h"

// Decodes a PNG file image into the target. 0 = success, -1 = refused.
// Rows longer than 65535 bytes are refused.
int32_t decode_png(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info);

// Decodes a PNG the tool wrote, to check it before it replaces a file: the
// same decoding, with row buffers sized from the file's own header, so wide
// pictures pass too. Checks the signature itself, keeps what it learns about
// the file to itself, and fails (-1) for data that decode only in part.
int32_t decode_png_verify(const uint8_t* data, int32_t size, const DecodeTarget& target);

// The 16-bit decode: takes only PNGs of 16 bits per sample and writes four
// samples per pixel (R, G, B, A, gray spread over R, G and B, the tRNS key
// made alpha 0) into wide, target.width * 4 samples per row, placed and
// clipped by target's size and offsets; target.pixels is not written.
// 0 = success, -1 = refused.
int32_t decode_png_wide(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                        SourceInfo& info);
// The check of a 16-bit PNG the tool wrote, as decode_png_verify.
int32_t decode_png_verify_wide(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide);

// Bits per sample in a PNG's IHDR (the first chunk), 0 when there is none.
int32_t png_sample_depth(const uint8_t* data, int32_t size);

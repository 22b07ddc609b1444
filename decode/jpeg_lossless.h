#pragma once
#include <cstdint>

#include "decode/decoder.h"

// Decodes a predictive (lossless) JPEG picture, Huffman-coded, of 2 to 16
// bits per sample: one component as gray, three as red, green and blue, any
// sampling factors (each component read at the nearest stored sample).
// Samples keep the values the file codes (a 12-bit picture stays 0..4095),
// shifted left by the scan's point transform.
//
// With wide null, the picture must have at most 8 bits per sample and goes
// into target.pixels as opaque pixels. With wide set, it must have more,
// and goes into wide as four samples per pixel (R, G, B, A; alpha 65535),
// target.width * 4 samples per row, placed and clipped by target's size and
// offsets; target.pixels is not written. Pixels of rows the data does not
// reach are left as they are, and info says the picture is incomplete.
// Returns 0 on success, -1 for a refused file.
int32_t decode_jpeg_lossless(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                             SourceInfo& info);

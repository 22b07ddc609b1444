#pragma once
#include <cstdint>

#include "decode/decoder.h"

// True for the first bytes of a PCX file: 0x0A, version 0 or 2..5, run-length
// encoding 1, and 1, 2, 4 or 8 bits per plane value.
bool is_pcx(const uint8_t* data, int32_t size);

// Decodes a PCX file image into the target. 0 = success, -1 = refused.
int32_t decode_pcx(const uint8_t* data, int32_t size, const DecodeTarget& target);

// A DCX file: a table of PCX pages. Only the first page is read.
bool is_dcx(const uint8_t* data, int32_t size);
void probe_dcx(const uint8_t* data, int32_t size, int32_t* width, int32_t* height);
int32_t decode_dcx(const uint8_t* data, int32_t size, const DecodeTarget& target);

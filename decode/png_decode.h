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

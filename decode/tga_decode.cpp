#include "decode/tga_decode.h"

// Not decoded yet: the format is recognised by the dispatcher and refused.
int32_t decode_tga(const uint8_t*, int32_t, const DecodeTarget&) { return -1; }

#pragma once
#include <cstdint>

// Decodes one 16-byte BC7 block into 16 pixels (0xAARRGGBB, row-major).
// Every bit pattern decodes: the reserved mode (a zero first byte) gives
// transparent black, as the format prescribes.
void decode_bc7_block(const uint8_t* block, uint32_t pixels[16]);

#pragma once
// Decoding a whole file the way the driver does, for the format decoder tests.
#include <cstdint>
#include <vector>

#include "tests/support/oracle.h"

namespace decodecheck {

// What every target pixel holds before a decode, so that untouched pixels show.
constexpr uint32_t kUntouched = 0x5A5A5A5Au;

struct Decoded {
  int32_t result = -2;
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, top row first
};

// Probes, allocates a target of the probed size filled with kUntouched, presets
// the colour type to 2 and decodes. The input is copied into a buffer of its
// exact size so that the sanitizers catch any read past it. A probe of no
// size, or of more than 2^26 pixels, decodes into an empty target.
Decoded decode_file(const std::vector<uint8_t>& file);

// Pixels whose bits under `mask` differ from the rendering; with
// `opaque_only` the rendering's translucent pixels are skipped. -1 when the
// sizes differ.
int64_t mismatches(const Decoded& d, const OraclePicture& ref, uint32_t mask, bool opaque_only = false);

// n pseudo-random values below `modulo` (0: any 32-bit value); each value is
// repeated `repeat` times in a row, so that run-length coders find runs.
std::vector<uint32_t> random_values(size_t n, uint32_t modulo, uint32_t seed, int repeat = 1);

}  // namespace decodecheck

#pragma once
// libpng's reading of a PNG at 16 bits per sample, the reference the wide
// decode and the 16-bit output are judged by.
#include <cstdint>
#include <string>
#include <vector>

struct OraclePicture16 {
  int32_t width = 0;
  int32_t height = 0;
  int32_t colour_type = -1;  // as stored in the file
  int32_t bit_depth = 0;
  bool has_trns = false;
  std::vector<uint16_t> samples;  // R, G, B, A per pixel; gray spread, tRNS key made alpha 0
};

// Every file is widened to 16 bits (8-bit samples times 257), so an 8-bit
// output and its 16-bit input compare sample for sample.
bool libpng_decode16(const std::vector<uint8_t>& png, OraclePicture16* out, std::string* error = nullptr);

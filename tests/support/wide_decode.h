#pragma once
// 16-bit test inputs shared by the tests of the wide path: the PNG suite's
// 16-bit files, and the program's own wide decode of a file into a target.
#include <cstdint>
#include <string>
#include <vector>

#include "decode/decoder.h"

// The path of a file of the PNG suite in the test data.
std::string suite_path(const std::string& name);

// The PNG suite's files (not the x* ones, which must be refused) that
// libpng reads at 16 bits per sample, sorted by name.
std::vector<std::string> wide_suite_files();

struct WideDecode {
  int32_t result = -1;
  SourceInfo info{};
  std::vector<uint16_t> samples;  // R, G, B, A per pixel, zero where nothing was decoded
};

// decode_picture_wide into a zeroed width x height target placed at (x, y)
// (or, with png_only, decode_png_wide on a freshly reset record).
WideDecode decode_wide(const std::vector<uint8_t>& file, int32_t width, int32_t height, int32_t x = 0,
                       int32_t y = 0, bool png_only = false);

#pragma once
// Independent decoders and small file helpers shared by the tests. The
// oracles (libpng, zlib) are linked into tests only.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> read_file(const std::string& path);
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

struct OraclePicture {
  int32_t width = 0;
  int32_t height = 0;
  int32_t colour_type = -1;  // as stored in the file
  int32_t bit_depth = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, palette, gray and tRNS expanded
};

// Decodes a PNG with libpng; false (and a message in *error) when libpng refuses it.
bool libpng_decode(const std::vector<uint8_t>& png, OraclePicture* out, std::string* error = nullptr);

// libpng reads png as a width x height picture of exactly these pixels.
::testing::AssertionResult png_shows(const std::vector<uint8_t>& png, int32_t width, int32_t height,
                                     const std::vector<uint32_t>& pixels);
// libpng reads both files as the same picture.
::testing::AssertionResult same_png_pixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// Inflates a zlib stream with zlib; false when zlib reports an error or the stream is incomplete.
bool zlib_inflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

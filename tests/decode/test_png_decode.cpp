#include "decode/png_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "decode/picture.h"
#include "tests/support/oracle.h"
#include "tests/support/png_build.h"

namespace {

constexpr uint32_t kUntouched = 0x12345678;

struct Decoded {
  int32_t result = -1;
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
};

// Decodes through the dispatcher, as the tool does, into a target of the
// given size (the probed size when 0) prefilled with kUntouched.
Decoded decode(const Bytes& png, int32_t x_offset = 0, int32_t y_offset = 0, int32_t width = 0, int32_t height = 0) {
  Decoded d;
  probe_picture(png.data(), int32_t(png.size()), &d.width, &d.height);
  if (width > 0) d.width = width;
  if (height > 0) d.height = height;
  if (d.width <= 0 || d.height <= 0 || int64_t(d.width) * d.height > (int64_t(1) << 26)) {
    uint32_t none = 0;
    d.result = decode_picture(png.data(), int32_t(png.size()), &none, 0, 0, 0, 0, 0);
    return d;
  }
  d.pixels.assign(size_t(d.width) * size_t(d.height), kUntouched);
  d.result = decode_picture(png.data(), int32_t(png.size()), d.pixels.data(), d.width * 4, d.width, d.height,
                            x_offset, y_offset);
  return d;
}

std::vector<std::string> suite_files() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/pngsuite"))
    if (e.path().extension() == ".png") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string suite_path(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/pngsuite/" + name; }

class PngSuite : public ::testing::TestWithParam<std::string> {};

// Every picture of depth 8 or less decodes to libpng's pixels; 16-bit ones
// are refused; the damaged ones (x...) are refused or decoded, and the
// sanitizer build watches every access.
TEST_P(PngSuite, AgreesWithLibpng) {
  const std::string& name = GetParam();
  const Bytes png = read_file(suite_path(name));
  ASSERT_FALSE(png.empty());
  const Decoded ours = decode(png);
  if (name[0] == 'x') {
    EXPECT_TRUE(ours.result == 0 || ours.result == -1);
    decode(png, -3, 5);
    return;
  }
  OraclePicture oracle;
  std::string error;
  ASSERT_TRUE(libpng_decode(png, &oracle, &error)) << error;
  if (oracle.bit_depth == 16) {
    EXPECT_EQ(ours.result, -1);
    return;
  }
  ASSERT_EQ(ours.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  EXPECT_EQ(source_info.source_bit_depth, oracle.bit_depth);
  EXPECT_EQ(source_info.source_color_type, oracle.colour_type);
  ASSERT_EQ(ours.width, oracle.width);
  ASSERT_EQ(ours.height, oracle.height);
  for (size_t i = 0; i < ours.pixels.size(); ++i)
    ASSERT_EQ(ours.pixels[i], oracle.pixels[i]) << "pixel " << i % size_t(ours.width) << ", " << i / size_t(ours.width);
}

INSTANTIATE_TEST_SUITE_P(Files, PngSuite, ::testing::ValuesIn(suite_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param.substr(0, info.param.size() - 4);
                         });

TEST(PngSuiteTwins, InterlacedEqualsPlain) {
  int pairs = 0;
  for (const std::string& name : suite_files()) {
    const size_t i = name.find('i');
    if (!(name.rfind("basi", 0) == 0 || (name[0] == 's' && i == 3))) continue;
    std::string twin = name;
    twin[3] = 'n';
    const Decoded a = decode(read_file(suite_path(name)));
    const Decoded b = decode(read_file(suite_path(twin)));
    if (b.result != 0) continue;  // 16-bit
    ASSERT_EQ(a.result, 0) << name;
    EXPECT_EQ(a.pixels, b.pixels) << name;
    ++pairs;
  }
  EXPECT_GT(pairs, 20);
}

// Random pictures of every colour type and depth, with and without
// interlacing, every filter in turn: built here, checked against libpng.
struct PictureSpec {
  uint32_t width, height;
  int depth, colour_type, interlace;
};

int channels(int colour_type) { return colour_type == 2 ? 3 : colour_type == 4 ? 2 : colour_type == 6 ? 4 : 1; }

// Image data for a picture whose samples are given per pixel, packed and
// filtered (filters cycle per row, counting all passes' rows together).
Bytes image_data(const PictureSpec& p, const std::vector<uint32_t>& samples, const std::vector<int>& filters) {
  static const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                   {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  const int ch = channels(p.colour_type);
  const size_t stride = size_t(std::max(1, ch * p.depth / 8));
  Bytes out;
  size_t row_index = 0;
  for (int pass = 0; pass < (p.interlace ? 7 : 1); ++pass) {
    const uint32_t x0 = p.interlace ? passes[pass][0] : 0, y0 = p.interlace ? passes[pass][1] : 0;
    const uint32_t dx = p.interlace ? passes[pass][2] : 1, dy = p.interlace ? passes[pass][3] : 1;
    if (x0 >= p.width || y0 >= p.height) continue;
    const uint32_t pass_width = (p.width - x0 + dx - 1) / dx;
    const size_t row_bytes = (size_t(pass_width) * ch * p.depth + 7) / 8;
    Bytes rows;
    for (uint32_t y = y0; y < p.height; y += dy) {
      Bytes row(row_bytes, 0);
      size_t bit = 0;
      for (uint32_t x = x0; x < p.width; x += dx) {
        for (int c = 0; c < ch; ++c, bit += size_t(p.depth)) {
          const uint32_t v = samples[(size_t(y) * p.width + x) * size_t(ch) + size_t(c)];
          row[bit / 8] |= uint8_t(v << (8 - p.depth - int(bit % 8)));
        }
      }
      rows.insert(rows.end(), row.begin(), row.end());
    }
    std::vector<int> pass_filters;
    for (size_t r = 0; r < rows.size() / row_bytes; ++r) pass_filters.push_back(filters[row_index++ % filters.size()]);
    const Bytes f = filter_rows(rows, row_bytes, stride, pass_filters);
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

Bytes random_png(const PictureSpec& p, uint32_t seed, std::vector<int> filters = {0, 1, 2, 3, 4},
                 std::vector<Bytes> chunks = {}, size_t idat_size = 0) {
  std::mt19937 rng(seed);
  const int ch = channels(p.colour_type);
  std::vector<uint32_t> samples(size_t(p.width) * p.height * size_t(ch));
  // Few distinct values, so that transparency keys and matches occur.
  for (uint32_t& v : samples) v = rng() % 5 == 0 ? rng() & ((1u << p.depth) - 1) : (rng() % 3) * ((1u << p.depth) - 1) / 2;
  if (p.colour_type == 3 && chunks.empty()) {
    Bytes plte;
    for (int i = 0; i < (1 << p.depth); ++i)
      for (int c = 0; c < 3; ++c) plte.push_back(uint8_t(rng()));
    chunks.push_back(png_chunk("PLTE", plte));
  }
  return build_png(ihdr_payload(p.width, p.height, p.depth, p.colour_type, p.interlace), chunks,
                   zlib_compress(image_data(p, samples, filters), 6), idat_size);
}

class GeneratedPicture : public ::testing::TestWithParam<PictureSpec> {};

TEST_P(GeneratedPicture, AgreesWithLibpngAtEveryLayout) {
  const PictureSpec p = GetParam();
  PictureSpec plain = p;
  plain.interlace = 0;
  const Bytes png = random_png(p, p.width * 7 + p.height);
  OraclePicture oracle;
  ASSERT_TRUE(libpng_decode(png, &oracle));
  const Decoded ours = decode(png);
  ASSERT_EQ(ours.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  EXPECT_EQ(ours.pixels, oracle.pixels);
  // The same samples without interlacing, and cut into 3-byte IDAT chunks.
  EXPECT_EQ(decode(random_png(plain, p.width * 7 + p.height)).pixels, ours.pixels);
  EXPECT_EQ(decode(random_png(p, p.width * 7 + p.height, {0, 1, 2, 3, 4}, {}, 3)).pixels, ours.pixels);
}

std::vector<PictureSpec> picture_specs() {
  std::vector<PictureSpec> specs;
  const std::pair<int, int> kinds[] = {{1, 0}, {2, 0}, {4, 0}, {8, 0}, {1, 3}, {2, 3}, {4, 3}, {8, 3},
                                       {8, 2}, {8, 4}, {8, 6}};
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {5, 3}, {3, 5}, {9, 17}, {33, 2}, {64, 40}};
  for (auto [depth, type] : kinds)
    for (auto [w, h] : sizes)
      for (int interlace : {0, 1}) specs.push_back({w, h, depth, type, interlace});
  return specs;
}

INSTANTIATE_TEST_SUITE_P(Layouts, GeneratedPicture, ::testing::ValuesIn(picture_specs()),
                         [](const ::testing::TestParamInfo<PictureSpec>& info) {
                           const PictureSpec& p = info.param;
                           return "t" + std::to_string(p.colour_type) + "d" + std::to_string(p.depth) + "_" +
                                  std::to_string(p.width) + "x" + std::to_string(p.height) + (p.interlace ? "i" : "n");
                         });

}  // namespace

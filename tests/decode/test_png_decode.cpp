#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "decode/picture.h"
#include "decode/png_decode.h"
#include "tests/support/decode_check.h"
#include "tests/support/oracle.h"
#include "tests/support/png_build.h"

namespace {

using namespace decodecheck;

std::vector<std::string> suite_files() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/pngsuite"))
    if (e.path().extension() == ".png") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string suite_path(const std::string& name) {
  return std::string(TESSEL_CORPUS_DIR) + "/pngsuite/" + name;
}

class PngSuite : public ::testing::TestWithParam<std::string> {};

// Every picture of depth 8 or less decodes to libpng's pixels; 16-bit ones
// are refused; the damaged ones (x...) are refused or decoded, and the
// sanitizer build watches every access.
TEST_P(PngSuite, AgreesWithLibpng) {
  const std::string& name = GetParam();
  const Bytes png = read_file(suite_path(name));
  ASSERT_FALSE(png.empty());
  const Decoded ours = decode_file(png);
  if (name[0] == 'x') {
    EXPECT_TRUE(ours.result == 0 || ours.result == -1);
    decode_at(png, ours.width, ours.height, -3, 5);
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
    ASSERT_EQ(ours.pixels[i], oracle.pixels[i])
        << "pixel " << i % size_t(ours.width) << ", " << i / size_t(ours.width);
}

INSTANTIATE_TEST_SUITE_P(Files, PngSuite, ::testing::ValuesIn(suite_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param.substr(0, info.param.size() - 4);
                         });

// Random pictures of every colour type and depth, with and without
// interlacing, every filter in turn: built here, checked against libpng.
struct PictureLayout {
  uint32_t width, height;
  int depth, colour_type, interlace;
};

int channels(int colour_type) {
  return colour_type == 2 ? 3 : colour_type == 4 ? 2 : colour_type == 6 ? 4 : 1;
}

// Image data for a picture whose samples are given per pixel, packed and
// filtered (filters cycle per row, counting all passes' rows together).
Bytes image_data(const PictureLayout& p, const std::vector<uint32_t>& samples,
                 const std::vector<int>& filters) {
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
    for (size_t r = 0; r < rows.size() / row_bytes; ++r)
      pass_filters.push_back(filters[row_index++ % filters.size()]);
    const Bytes f = filter_rows(rows, row_bytes, stride, pass_filters);
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

Bytes random_png(const PictureLayout& p, uint32_t seed, std::vector<int> filters = {0, 1, 2, 3, 4},
                 std::vector<Bytes> chunks = {}, size_t idat_size = 0) {
  std::mt19937 rng(seed);
  const int ch = channels(p.colour_type);
  std::vector<uint32_t> samples(size_t(p.width) * p.height * size_t(ch));
  // Few distinct values, so that transparency keys and matches occur.
  for (uint32_t& v : samples)
    v = rng() % 5 == 0 ? rng() & ((1u << p.depth) - 1) : (rng() % 3) * ((1u << p.depth) - 1) / 2;
  if (p.colour_type == 3 && chunks.empty()) {
    Bytes plte;
    for (int i = 0; i < (1 << p.depth); ++i)
      for (int c = 0; c < 3; ++c) plte.push_back(uint8_t(rng()));
    chunks.push_back(png_chunk("PLTE", plte));
  }
  return build_png(ihdr_payload(p.width, p.height, p.depth, p.colour_type, p.interlace), chunks,
                   zlib_compress(image_data(p, samples, filters), 6), idat_size);
}

class GeneratedPicture : public ::testing::TestWithParam<PictureLayout> {};

TEST_P(GeneratedPicture, AgreesWithLibpngAtEveryLayout) {
  const PictureLayout p = GetParam();
  PictureLayout plain = p;
  plain.interlace = 0;
  const Bytes png = random_png(p, p.width * 7 + p.height);
  OraclePicture oracle;
  ASSERT_TRUE(libpng_decode(png, &oracle));
  const Decoded ours = decode_file(png);
  ASSERT_EQ(ours.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  EXPECT_EQ(ours.pixels, oracle.pixels);
  // The same samples without interlacing, and cut into 3-byte IDAT chunks.
  EXPECT_EQ(decode_file(random_png(plain, p.width * 7 + p.height)).pixels, ours.pixels);
  EXPECT_EQ(decode_file(random_png(p, p.width * 7 + p.height, {0, 1, 2, 3, 4}, {}, 3)).pixels, ours.pixels);
}

std::vector<PictureLayout> picture_layouts() {
  std::vector<PictureLayout> layouts;
  const std::pair<int, int> kinds[] = {{1, 0}, {2, 0}, {4, 0}, {8, 0}, {1, 3}, {2, 3},
                                       {4, 3}, {8, 3}, {8, 2}, {8, 4}, {8, 6}};
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {5, 3}, {3, 5}, {9, 17}, {33, 2}, {64, 40}};
  for (auto [depth, type] : kinds)
    for (auto [w, h] : sizes)
      for (int interlace : {0, 1}) layouts.push_back({w, h, depth, type, interlace});
  return layouts;
}

INSTANTIATE_TEST_SUITE_P(Layouts, GeneratedPicture, ::testing::ValuesIn(picture_layouts()),
                         [](const ::testing::TestParamInfo<PictureLayout>& info) {
                           const PictureLayout& p = info.param;
                           return "t" + std::to_string(p.colour_type) + "d" + std::to_string(p.depth) + "_" +
                                  std::to_string(p.width) + "x" + std::to_string(p.height) +
                                  (p.interlace ? "i" : "n");
                         });

// Decodes pixel by pixel with libpng's help: the expected target after a
// decode at an offset, everything outside the picture untouched.
std::vector<uint32_t> placed(const OraclePicture& o, int32_t tw, int32_t th, int32_t xo, int32_t yo) {
  std::vector<uint32_t> t(size_t(tw) * size_t(th), kUntouched);
  for (int32_t y = 0; y < o.height; ++y)
    for (int32_t x = 0; x < o.width; ++x)
      if (x + xo >= 0 && x + xo < tw && y + yo >= 0 && y + yo < th)
        t[size_t(y + yo) * size_t(tw) + size_t(x + xo)] = o.pixels[size_t(y) * size_t(o.width) + size_t(x)];
  return t;
}

struct Placement {
  int32_t x_offset, y_offset, width, height;
};

class PngPlacement : public ::testing::TestWithParam<Placement> {};

TEST_P(PngPlacement, ClipsToTheTarget) {
  const Placement c = GetParam();
  for (int interlace : {0, 1}) {
    for (auto [depth, type] : {std::pair{8, 6}, std::pair{2, 3}}) {
      const Bytes png = random_png({19, 13, depth, type, interlace}, 42);
      OraclePicture oracle;
      ASSERT_TRUE(libpng_decode(png, &oracle));
      const Decoded ours = decode_at(png, c.width, c.height, c.x_offset, c.y_offset);
      ASSERT_EQ(ours.result, 0);
      EXPECT_EQ(ours.pixels, placed(oracle, c.width, c.height, c.x_offset, c.y_offset))
          << "interlace " << interlace << " type " << type;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Offsets, PngPlacement,
                         ::testing::Values(Placement{0, -3, 19, 13}, Placement{-3, 0, 19, 13},
                                           Placement{2, 0, 19, 13}, Placement{-7, 5, 19, 13},
                                           Placement{5, 5, 40, 30}, Placement{-9, -11, 4, 3},
                                           Placement{30, 2, 19, 13}, Placement{0, 20, 19, 13},
                                           Placement{-1000, -1000, 19, 13}));

// Rows of a one-filter-per-row grey picture, with the filter bytes given.
Bytes grey_png(uint32_t width, const std::vector<int>& filters, std::vector<Bytes> chunks = {},
               Bytes* raw_out = nullptr) {
  std::mt19937 rng(width);
  Bytes rows(size_t(width) * filters.size());
  for (uint8_t& b : rows) b = uint8_t(rng() % 7 * 40);
  const Bytes raw = filter_rows(rows, width, 1, filters);
  if (raw_out) *raw_out = raw;
  return build_png(ihdr_payload(width, uint32_t(filters.size()), 8, 0, 0), chunks, zlib_compress(raw));
}

struct FilterCase {
  std::vector<int> filters;
  int expected;
};

class FilterStatistics : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterStatistics, SummarisesTheRowFilters) {
  const Decoded d = decode_file(grey_png(6, GetParam().filters));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(source_info.source_filter, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, FilterStatistics,
                         ::testing::Values(FilterCase{{1, 3, 3, 3}, 3}, FilterCase{{4, 4, 4}, 4},
                                           FilterCase{{0, 1}, 5}, FilterCase{{2}, 2},
                                           FilterCase{{1, 1, 3}, 5}, FilterCase{{3, 1}, 5},
                                           FilterCase{{0, 0, 0, 0}, 0}, FilterCase{{5, 5}, 5}));

// Paeth picks a, then b, then c on ties; every (a, b, c) is checked against
// the definition through one-pixel-wide rows.
TEST(PngFilters, PaethTieOrderOverAllNeighbours) {
  // Two-pixel rows: pixel 0 sets a for pixel 1; the row above sets b and c.
  const int values[] = {0, 1, 2, 100, 127, 128, 200, 254, 255};
  Bytes rows;
  std::vector<int> filters;
  for (int a : values)
    for (int b : values)
      for (int c : values) {
        rows.insert(rows.end(), {uint8_t(c), uint8_t(b), uint8_t(a), uint8_t((a + b + c) * 7)});
        // Rows alternate: (c, b) then (a, x) with Paeth on the second.
        filters.insert(filters.end(), {0, 4});
      }
  const Bytes ihdr = ihdr_payload(2, uint32_t(filters.size()), 8, 0, 0);
  const Bytes png = build_png(ihdr, {}, zlib_compress(filter_rows(rows, 2, 1, filters)));
  OraclePicture oracle;
  ASSERT_TRUE(libpng_decode(png, &oracle));
  const Decoded d = decode_file(png);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.pixels, oracle.pixels);
  // Filter byte 5 is Paeth on every machine.
  for (size_t i = 1; i < filters.size(); i += 2) filters[i] = 5;
  const Decoded five = decode_file(build_png(ihdr, {}, zlib_compress(filter_rows(rows, 2, 1, filters))));
  EXPECT_EQ(five.incomplete, 0);
  EXPECT_EQ(five.pixels, oracle.pixels);
}

TEST(PngFilters, UnknownFilterStopsTheDataAndMarksTheDecode) {
  const std::vector<int> filters = {1, 2, 9, 0, 0};
  const Decoded good = decode_file(grey_png(8, {1, 2, 0, 0, 0}));
  const Decoded bad = decode_file(grey_png(8, filters));
  ASSERT_EQ(bad.result, 0);
  EXPECT_EQ(source_info.incomplete, 1);
  EXPECT_EQ(source_info.source_filter, 5);  // rows 1 and 2 only
  for (size_t i = 0; i < bad.pixels.size(); ++i)
    EXPECT_EQ(bad.pixels[i], i < 16 ? good.pixels[i] : kUntouched) << i;
}

TEST(PngStream, CutStreamLeavesMissingRowsAndMarksTheDecode) {
  Bytes raw;
  grey_png(50, std::vector<int>(40, 1), {}, &raw);
  const Bytes stream = zlib_compress(raw, 0);
  const Decoded whole = decode_file(build_png(ihdr_payload(50, 40, 8, 0, 0), {}, stream));
  ASSERT_EQ(whole.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  // Stored data: the cut falls inside row 10 (51 bytes per row with the filter byte).
  const Bytes cut(stream.begin(), stream.begin() + 2 + 5 + 51 * 10 + 20);
  const Decoded part = decode_file(build_png(ihdr_payload(50, 40, 8, 0, 0), {}, cut));
  ASSERT_EQ(part.result, 0);
  EXPECT_EQ(source_info.incomplete, 1);
  for (size_t i = 0; i < part.pixels.size(); ++i)
    ASSERT_EQ(part.pixels[i], i < 500 ? whole.pixels[i] : kUntouched) << i;
}

// The picture ends with the first 16 KiB of data; a second block follows.
TEST(PngStream, StopsWhenThePictureIsComplete) {
  Bytes raw;
  grey_png(127, std::vector<int>(128, 0), {}, &raw);
  ASSERT_EQ(raw.size(), 16384u);
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  w.block_header(false, 1);
  for (uint8_t b : raw) w.put_fixed(b);
  w.put_fixed(256);
  w.block_header(true, 1);
  for (int i = 0; i < 200; ++i) w.put_fixed(3);  // data past the picture, never used
  w.put_fixed(256);
  const Decoded d = decode_file(build_png(ihdr_payload(127, 128, 8, 0, 0), {}, w.finish()));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(source_info.deflate_block_count, 1);
  EXPECT_EQ(source_info.zlib_header, 0x0178);
  EXPECT_EQ(source_info.incomplete, 0);
}

// Extra data after the last row of the last pass must not be painted over
// the picture as if they were more rows.
TEST(PngStream, DataAfterTheLastRowAreIgnored) {
  for (int interlace : {0, 1}) {
    const PictureLayout p{6, 5, 8, 0, interlace};
    std::vector<uint32_t> samples(30);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint32_t(i * 8);
    Bytes raw = image_data(p, samples, {0});
    const Bytes png = build_png(ihdr_payload(6, 5, 8, 0, uint8_t(interlace)), {}, zlib_compress(raw));
    raw.insert(raw.end(), 200, 0x01);
    const Bytes longer = build_png(ihdr_payload(6, 5, 8, 0, uint8_t(interlace)), {}, zlib_compress(raw));
    // A target taller than the picture shows any stray row.
    const Decoded a = decode_at(png, 6, 12);
    const Decoded b = decode_at(longer, 6, 12);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(a.pixels, b.pixels) << "interlace " << interlace;
    EXPECT_EQ(b.pixels[6 * 6], kUntouched);
  }
}

// Chunk walks that must be refused.
struct BadFile {
  const char* name;
  Bytes bytes;
};

Bytes signature() { return {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }
Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<BadFile> bad_files() {
  const Bytes stream = zlib_compress(Bytes(20, 0));
  const Bytes idat = png_chunk("IDAT", stream);
  const Bytes iend = png_chunk("IEND", {});
  auto with_ihdr = [&](Bytes ihdr) { return join({signature(), png_chunk("IHDR", ihdr), idat, iend}); };
  auto ihdr_with = [](size_t size, size_t at, uint8_t value) {
    Bytes ihdr = ihdr_payload(4, 4, 8, 0, 0);
    ihdr[at] = value;
    return ihdr.resize(size), ihdr;
  };
  // An IHDR chunk cut by the end of the file, then nothing.
  Bytes cut_ihdr = join({signature(), png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0))});
  cut_ihdr.resize(8 + 8 + 10);
  return {
      {"no_ihdr", join({signature(), idat, iend})},
      {"idat_before_ihdr", join({signature(), idat, png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0)), iend})},
      {"no_idat", join({signature(), png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0)), iend})},
      {"only_signature", signature()},
      {"huge_chunk_length", join({signature(), png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0)),
                                  Bytes{0xFF, 0xFF, 0xFF, 0xF0, 't', 'E', 'X', 't', 1, 2, 3}})},
      {"cut_ihdr", cut_ihdr},
      {"short_ihdr", with_ihdr(ihdr_with(12, 0, 0))},
      {"depth_16", with_ihdr(ihdr_payload(4, 4, 16, 0, 0))},
      {"depth_3", with_ihdr(ihdr_payload(4, 4, 3, 0, 0))},
      {"colour_type_1", with_ihdr(ihdr_payload(4, 4, 8, 1, 0))},
      {"colour_type_7", with_ihdr(ihdr_payload(4, 4, 8, 7, 0))},
      {"rgb_depth_4", with_ihdr(ihdr_payload(4, 4, 4, 2, 0))},
      {"grey_alpha_depth_2", with_ihdr(ihdr_payload(4, 4, 2, 4, 0))},
      {"rgba_depth_1", with_ihdr(ihdr_payload(4, 4, 1, 6, 0))},
      {"width_0", with_ihdr(ihdr_payload(0, 4, 8, 0, 0))},
      {"height_0", with_ihdr(ihdr_payload(4, 0, 8, 0, 0))},
      {"width_negative", with_ihdr(ihdr_payload(0x80000000u, 4, 8, 0, 0))},
      {"interlace_2", with_ihdr(ihdr_payload(4, 4, 8, 0, 2))},
      {"compression_1", with_ihdr(ihdr_with(13, 10, 1))},
      {"filter_method_1", with_ihdr(ihdr_with(13, 11, 1))},
      // Buffers are sized and the memory limit checked from the first
      // header; a later one claiming 268435461 x 5 once reached the rows.
      {"second_ihdr_larger",
       join({signature(), png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0)),
             png_chunk("IHDR", ihdr_payload(268435461u, 5, 8, 0, 0)), idat, iend})},
      {"second_ihdr_same", join({signature(), png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0)),
                                 png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0)), idat, iend})},
      {"corrupt_stream",
       join({signature(), png_chunk("IHDR", ihdr_payload(4, 4, 8, 0, 0)),
             png_chunk("IDAT", {0x78, 0x01, 0x01, 0x05, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5}), iend})},
  };
}

class PngRefused : public ::testing::TestWithParam<BadFile> {};

TEST_P(PngRefused, FailsCleanly) {
  const Bytes& file = GetParam().bytes;
  EXPECT_EQ(decode_at(file, 8, 8).result, -1);
  // Every prefix of the file is refused or decoded, never read past.
  for (size_t n = 8; n < file.size(); ++n) decode_at(Bytes(file.begin(), file.begin() + long(n)), 8, 8);
}

INSTANTIATE_TEST_SUITE_P(Files, PngRefused, ::testing::ValuesIn(bad_files()),
                         [](const ::testing::TestParamInfo<BadFile>& info) {
                           return std::string(info.param.name);
                         });

// Ancillary and palette chunks: pixels (when given), the palette count (when
// not -1) and the background left in source_info. A palette sample beyond
// PLTE uses the entry as an earlier picture left it; a transparency key too
// short for its fields is ignored, never read past (PngSuite covers the
// others); grey and alpha follows a 256-entry palette and reports none.
struct ChunkCase {
  const char* what;
  uint32_t width;
  int depth, colour_type;
  std::vector<Bytes> chunks;
  std::vector<uint32_t> samples, pixels;
  int palette_count = -1;
  uint32_t background = 0;
};

std::vector<ChunkCase> chunk_cases() {
  const Bytes plte2 = png_chunk("PLTE", {1, 2, 3, 4, 5, 6}), trns = png_chunk("tRNS", {0x80});
  auto bkgd = [](Bytes payload) { return png_chunk("bKGD", payload); };
  const std::vector<uint32_t> none(4, 0), none_rgb(6, 0), none_rgba(8, 0);
  // clang-format off
  return {
      {"sample beyond PLTE", 4, 2, 3, {png_chunk("PLTE", {10, 20, 30, 40, 50, 60, 70, 80, 90})}, {0, 1, 2, 3},
       {0xFF0A141E, 0xFF28323C, 0xFF46505A, 0x11223344}, 3},
      {"short tRNS", 2, 8, 2, {png_chunk("tRNS", {0, 0, 0})}, {0, 0, 0, 1, 1, 1}, {0xFF000000, 0xFF010101}},
      {"oversized PLTE and tRNS", 2, 8, 3, {png_chunk("PLTE", Bytes(900, 0x7F)), png_chunk("tRNS", Bytes(300, 9))},
       {0, 255}, {0x097F7F7F, 0x097F7F7F}, 256},
      {"grey and alpha", 2, 8, 4, {}, none, {}, 0},
      {"bKGD 4-bit grey 15", 2, 4, 0, {bkgd({0, 15})}, none, {}, -1, 0xFFFFFFFF},
      {"bKGD 4-bit grey 5", 2, 4, 0, {bkgd({0, 5})}, none, {}, -1, 0xFF555555},
      {"bKGD 1-bit grey", 2, 1, 0, {bkgd({0, 1})}, none, {}, -1, 0xFFFFFFFF},
      {"bKGD grey and alpha", 2, 8, 4, {bkgd({0, 0x42})}, none, {}, -1, 0xFF424242},
      {"bKGD RGB", 2, 8, 2, {bkgd({0, 1, 0, 2, 0, 3})}, none_rgb, {}, -1, 0xFF010203},
      {"bKGD RGBA", 2, 8, 6, {bkgd({0, 0xA, 0, 0xB, 0, 0xC})}, none_rgba, {}, -1, 0xFF0A0B0C},
      {"bKGD palette index 0", 2, 8, 3, {plte2, trns, bkgd({0})}, {0, 0}, {}, -1, 0x80010203},
      {"bKGD palette index 1", 2, 8, 3, {plte2, trns, bkgd({1})}, {0, 0}, {}, -1, 0xFF040506},
      {"bKGD RGB too short", 2, 8, 2, {bkgd({0, 1})}, none_rgb, {}, -1, 0},
      {"bKGD grey too short", 2, 8, 0, {bkgd({7})}, {0, 0}, {}, -1, 0}};
  // clang-format on
}

class PngChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(PngChunks, ReadIntoSourceInfo) {
  const ChunkCase& c = GetParam();
  source_info.palette[3] = 0x11223344;
  const PictureLayout p{c.width, 1, c.depth, c.colour_type, 0};
  const Bytes png = build_png(ihdr_payload(c.width, 1, c.depth, c.colour_type, 0), c.chunks,
                              zlib_compress(image_data(p, c.samples, {0})));
  const Decoded d = decode_file(png);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.colour_type, c.colour_type);
  if (!c.pixels.empty()) {
    EXPECT_EQ(d.pixels, c.pixels);
  }
  if (c.palette_count >= 0) {
    EXPECT_EQ(source_info.palette_count, c.palette_count);
  }
  EXPECT_EQ(source_info.background, c.background);
}

INSTANTIATE_TEST_SUITE_P(Chunks, PngChunks, ::testing::ValuesIn(chunk_cases()));

// A row may hold at most 65535 bytes; the checking decode sizes its rows from
// the file and leaves source_info as it found it.
struct RowLimitCase {
  uint32_t width;
  int colour_type;
  int32_t expected;
};

class RowLimit : public ::testing::TestWithParam<RowLimitCase> {};

Bytes wide_png(uint32_t width, int colour_type) {
  const size_t row = size_t(width) * size_t(channels(colour_type));
  Bytes raw(row + 1, 0);
  for (size_t i = 1; i < raw.size(); ++i) raw[i] = uint8_t(i * 13);
  return build_png(ihdr_payload(width, 1, 8, colour_type, 0), {}, zlib_compress(raw));
}

TEST_P(RowLimit, RefusesRowsOver65535Bytes) {
  const RowLimitCase c = GetParam();
  const Bytes png = wide_png(c.width, c.colour_type);
  EXPECT_EQ(decode_file(png).result, c.expected);

  std::vector<uint32_t> pixels(c.width, kUntouched);
  const SourceInfo before = source_info;
  const DecodeTarget target{pixels.data(), int32_t(c.width * 4), int32_t(c.width), 1, 0, 0};
  EXPECT_EQ(decode_png_verify(png.data(), int32_t(png.size()), target), 0);
  EXPECT_EQ(std::memcmp(&before, &source_info, sizeof before), 0);
  OraclePicture oracle;
  ASSERT_TRUE(libpng_decode(png, &oracle));
  EXPECT_EQ(pixels, oracle.pixels);
}

INSTANTIATE_TEST_SUITE_P(Widths, RowLimit,
                         ::testing::Values(RowLimitCase{16383, 6, 0}, RowLimitCase{16384, 6, -1},
                                           RowLimitCase{21845, 2, 0}, RowLimitCase{21846, 2, -1},
                                           RowLimitCase{65535, 0, 0}, RowLimitCase{65536, 0, -1},
                                           RowLimitCase{100000, 6, -1}));

TEST(PngVerify, RefusesWhatDoesNotDecodeWhole) {
  Bytes raw;
  const Bytes good = grey_png(30, std::vector<int>(30, 2), {}, &raw);
  std::vector<uint32_t> pixels(900);
  const DecodeTarget target{pixels.data(), 120, 30, 30, 0, 0};
  source_info.incomplete = 0;
  source_info.source_filter = 3;
  const SourceInfo before = source_info;
  EXPECT_EQ(decode_png_verify(good.data(), int32_t(good.size()), target), 0);
  const Bytes stream = zlib_compress(raw);
  const Bytes cut = build_png(ihdr_payload(30, 30, 8, 0, 0), {}, Bytes(stream.begin(), stream.end() - 30));
  EXPECT_EQ(decode_png_verify(cut.data(), int32_t(cut.size()), target), -1);
  const Bytes not_png(good.begin() + 1, good.end());
  EXPECT_EQ(decode_png_verify(not_png.data(), int32_t(not_png.size()), target), -1);
  EXPECT_EQ(decode_png_verify(good.data(), 7, target), -1);
  EXPECT_EQ(std::memcmp(&before, &source_info, sizeof before), 0);
}

}  // namespace

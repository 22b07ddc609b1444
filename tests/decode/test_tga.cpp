// TGA input: storage orders, run-length packets, colour maps and value sizes,
// checked against known pixels, stb_image and reference renderings; hostile
// headers and cut files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/picture.h"
#include "tests/support/decode_check.h"
#include "tests/support/oracle.h"

namespace {

using namespace decodecheck;

struct TgaSpec {
  uint8_t id_length = 0;
  uint8_t map_type = 0;
  uint8_t image_type = 2;
  uint16_t map_first = 0;
  uint16_t map_length = 0;
  uint8_t map_bits = 0;
  uint16_t width = 1;
  uint16_t height = 1;
  uint8_t depth = 24;
  uint8_t descriptor = 0;
};

Bytes make_tga(const TgaSpec& s, const Bytes& map, const Bytes& pixel_data) {
  Bytes b(18, 0);
  b[0] = s.id_length;
  b[1] = s.map_type;
  b[2] = s.image_type;
  b[3] = uint8_t(s.map_first), b[4] = uint8_t(s.map_first >> 8);
  b[5] = uint8_t(s.map_length), b[6] = uint8_t(s.map_length >> 8);
  b[7] = s.map_bits;
  b[12] = uint8_t(s.width), b[13] = uint8_t(s.width >> 8);
  b[14] = uint8_t(s.height), b[15] = uint8_t(s.height >> 8);
  b[16] = s.depth;
  b[17] = s.descriptor;
  for (int i = 0; i < s.id_length; ++i) b.push_back(uint8_t('A' + i % 26));
  b.insert(b.end(), map.begin(), map.end());
  b.insert(b.end(), pixel_data.begin(), pixel_data.end());
  return b;
}

// Values of a picture (top row first) in the order a descriptor stores them.
std::vector<uint32_t> file_order(const std::vector<uint32_t>& picture, int w, int h, uint8_t descriptor) {
  std::vector<uint32_t> out;
  for (int r = 0; r < h; ++r) {
    const int y = (descriptor & 0x20) ? r : h - 1 - r;
    for (int c = 0; c < w; ++c) {
      const int x = (descriptor & 0x10) ? w - 1 - c : c;
      out.push_back(picture[size_t(y * w + x)]);
    }
  }
  return out;
}

void append_value(Bytes& b, uint32_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) b.push_back(uint8_t(v >> (8 * k)));
}

Bytes raw(const std::vector<uint32_t>& values, int bytes) {
  Bytes b;
  for (uint32_t v : values) append_value(b, v, bytes);
  return b;
}

// Runs of 2 or more become run packets, the rest raw packets; packets
// ignore row ends, as the format allows.
Bytes rle(const std::vector<uint32_t>& values, int bytes) {
  Bytes b;
  size_t i = 0;
  while (i < values.size()) {
    size_t run = 1;
    while (i + run < values.size() && run < 128 && values[i + run] == values[i]) ++run;
    if (run >= 2) {
      b.push_back(uint8_t(127 + run));
      append_value(b, values[i], bytes);
      i += run;
      continue;
    }
    size_t n = 1;
    while (i + n < values.size() && n < 128 &&
           (i + n + 1 >= values.size() || values[i + n + 1] != values[i + n]))
      ++n;
    b.push_back(uint8_t(n - 1));
    for (size_t k = 0; k < n; ++k) append_value(b, values[i + k], bytes);
    i += n;
  }
  return b;
}

uint32_t bgr24(uint32_t v) { return 0xFF000000u | (v & 0xFFFFFF); }

TEST(TgaOrder, EveryStorageOrderAndCodingGivesTheSamePicture) {
  const int w = 7, h = 5;
  // Repeats make runs, some of them across row ends.
  const auto picture = random_values(size_t(w * h), 0x1000000, 4, 3);
  for (uint8_t descriptor : {0x00, 0x10, 0x20, 0x30}) {
    for (uint8_t type : {2, 10}) {
      SCOPED_TRACE(testing::Message() << "descriptor " << int(descriptor) << ", type " << int(type));
      const TgaSpec s{.image_type = type, .width = w, .height = h, .descriptor = descriptor};
      const auto values = file_order(picture, w, h, descriptor);
      const Decoded d = decode_file(make_tga(s, {}, type == 10 ? rle(values, 3) : raw(values, 3)));
      ASSERT_EQ(d.result, 0);
      for (size_t i = 0; i < picture.size(); ++i) ASSERT_EQ(d.pixels[i], bgr24(picture[i])) << i;
      EXPECT_EQ(d.incomplete, 0);
    }
  }
}

TEST(TgaOrder, LongestPacketsCrossRowEnds) {
  // 300 positions: a run of 128 (header 0xFF), 128 raw values (0x7F), 44 raw.
  const TgaSpec s{.image_type = 10, .width = 100, .height = 3, .descriptor = 0x20};
  Bytes data = {0xFF, 0x11, 0x22, 0x33, 0x7F};
  for (uint32_t i = 0; i < 128; ++i) append_value(data, i * 0x010203u, 3);
  data.push_back(43);
  for (uint32_t i = 0; i < 44; ++i) append_value(data, 0xABCD00u + i, 3);
  const Decoded d = decode_file(make_tga(s, {}, data));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  for (size_t i = 0; i < 300; ++i) {
    const uint32_t want = i < 128   ? 0x332211u
                          : i < 256 ? uint32_t(i - 128) * 0x010203u
                                    : 0xABCD00u + uint32_t(i - 256);
    ASSERT_EQ(d.pixels[i], bgr24(want)) << i;
  }
}

TEST(TgaValues, EachValueSize) {
  struct Case {
    const char* what;
    uint8_t type;
    uint8_t depth;
    uint32_t value;
    uint32_t expected;
    int colour_type;
  };
  const Case cases[] = {
      {"8-bit gray", 3, 8, 0x7B, 0xFF7B7B7B, 0},
      {"5-5-5 white is white: five-bit channels repeat their top bits", 2, 16, 0x7FFF, 0xFFFFFFFF, 2},
      {"5-5-5 ignores bit 15", 2, 16, 0xFFFF, 0xFFFFFFFF, 2},
      {"5-5-5 one step each", 2, 16, 0x0421, 0xFF080808, 2},
      {"5-5-5 half of each: 16 gives 132", 10, 16, 0x4210, 0xFF848484, 2},
      {"5-5-5 distinct channels", 2, 16, 0x7A3E, 0xFFF78CF7, 2},
      {"16-bit gray type is 5-5-5 colour too", 3, 16, 0x7C00, 0xFFFF0000, 2},
      {"24-bit B G R", 2, 24, 0x123456, 0xFF123456, 2},
      {"32-bit keeps its alpha", 2, 32, 0x40123456, 0x40123456, 6},
      {"32-bit zero alpha stays zero", 10, 32, 0x00FFFFFF, 0x00FFFFFF, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TgaSpec s{.image_type = c.type, .width = 2, .depth = c.depth};
    const std::vector<uint32_t> values = {c.value, c.value};
    const Bytes data = c.type >= 8 ? rle(values, c.depth / 8) : raw(values, c.depth / 8);
    const Decoded d = decode_file(make_tga(s, {}, data));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.pixels[0], c.expected) << std::hex << d.pixels[0];
    EXPECT_EQ(d.pixels[1], c.expected) << std::hex << d.pixels[1];
    EXPECT_EQ(source_info.source_color_type, c.colour_type);
    if (c.colour_type == 0) {
      EXPECT_EQ(source_info.source_bit_depth, 8);
      for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(source_info.palette[i], 0xFF000000u + i * 0x010101u);
    }
  }
}

// Indexes before and after the map's entries are transparent black, so such a
// picture is reported with alpha (gray maps as gray with alpha), and a plain
// run can write it; entries of 32 bits keep their alpha and make the picture
// RGBA. A map that stops
// short of its length leaves no room for the pixels, and entry sizes without
// a colour are refused. True-colour images may carry a map that nothing uses:
// it is only skipped, whatever its entry size.
TEST(TgaMap, IndexedAndSkippedMaps) {
  struct Case {
    const char* what;
    uint8_t image_type, depth;
    uint16_t map_first, map_length;
    uint8_t map_bits;
    Bytes map, data;
    std::vector<uint32_t> expected;  // empty: refused
    int colour_type = 2;
  };
  // clang-format off
  const Case cases[] = {
      {"8-bit indexes from entry 5", 1, 8, 5, 3, 24, raw({0x0000FF, 0x00FF00, 0xFF0000}, 3), {5, 6, 7, 4, 8},
       {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0, 0}, 6},
      {"every index inside the map", 1, 8, 5, 3, 24, raw({0x0000FF, 0x00FF00, 0xFF0000}, 3), {5, 6, 7, 7},
       {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFF0000}},
      {"gray entries and an index past them", 1, 8, 0, 2, 8, Bytes{0x00, 0x80}, {0, 1, 2},
       {0xFF000000, 0xFF808080, 0}, 4},
      {"16-bit run-length indexes into 5-5-5 entries", 9, 16, 300, 2, 15, raw({0x001F, 0x83E0}, 2),
       rle({300, 300, 301, 302, 1}, 2), {0xFF0000FF, 0xFF0000FF, 0xFF00FF00, 0, 0}, 6},
      {"32-bit entries", 1, 8, 0, 1, 32, raw({0x80102030}, 4), {0, 0, 0, 0, 0}, std::vector(5, 0x80102030u), 6},
      {"map stops short", 1, 8, 0, 200, 24, raw({0x010203, 0x040506}, 3), {0, 1, 0}, {}},
      {"entries of 0 bits", 1, 8, 0, 1, 0, {}, {0, 0, 0}, {}},
      {"entries of 33 bits", 1, 8, 0, 1, 33, Bytes(5, 0x55), {0, 0, 0}, {}},
      {"entries of 40 bits", 1, 8, 0, 1, 40, Bytes(5, 0x55), {0, 0, 0}, {}},
      {"entries of 64 bits", 1, 8, 0, 1, 64, Bytes(8, 0x55), {0, 0, 0}, {}},
      {"unused map of a true-colour image", 2, 24, 0, 4, 40, Bytes(20, 0xEE), raw({0x010203, 0x0A0B0C}, 3),
       {0xFF010203, 0xFF0A0B0C}}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TgaSpec s{.id_length = 3,
                    .map_type = 1,
                    .image_type = c.image_type,
                    .map_first = c.map_first,
                    .map_length = c.map_length,
                    .map_bits = c.map_bits,
                    .width = uint16_t(c.expected.empty() ? 1 : c.expected.size()),
                    .depth = c.depth};
    const Decoded d = decode_file(make_tga(s, c.map, c.data));
    if (c.expected.empty()) {
      EXPECT_EQ(d.result, -1);
      continue;
    }
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.pixels, c.expected);
    EXPECT_EQ(d.colour_type, c.colour_type);
  }
}

TEST(TgaRefusal, HeadersThatCannotBeDecoded) {
  TgaSpec s{.width = 2};
  expect_refused(make_tga(s, {}, raw({1, 2}, 3)), {{"map type 2", 1, 2},
                                                   {"image type 0", 2, 0},
                                                   {"image type 4", 2, 4},
                                                   {"image type 8", 2, 8},
                                                   {"image type 12", 2, 12},
                                                   {"depth 0", 16, 0},
                                                   {"depth 12", 16, 12},
                                                   {"depth 40", 16, 40},
                                                   {"descriptor 64", 17, 64},
                                                   {"width 0", 12, 0},
                                                   {"height 0", 14, 0}});
  // Nineteen bytes are too few even for a one-pixel gray picture.
  s.depth = 8;
  s.image_type = 3;
  const Bytes tiny = make_tga(s, {}, {7});
  ASSERT_EQ(tiny.size(), 19u);
  EXPECT_EQ(decode_file(tiny).result, -1);
}

TEST(TgaTruncation, EveryCutIsSafeAndKeepsWhatWasRead) {
  const int w = 6, h = 4;
  const auto picture = random_values(size_t(w * h), 0x1000000, 8, 2);
  for (uint8_t type : {2, 10}) {
    const TgaSpec s{.id_length = 5, .image_type = type, .width = w, .height = h, .descriptor = 0x20};
    const Bytes data = type == 10 ? rle(picture, 3) : raw(picture, 3);
    const Bytes file = make_tga(s, {}, data);
    const Decoded whole = decode_file(file);
    ASSERT_EQ(whole.result, 0);
    for (size_t cut = 20; cut < file.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << "type " << int(type) << ", cut at " << cut);
      const Decoded d = decode_file(Bytes(file.begin(), file.begin() + long(cut)));
      if (d.result == -1) {
        // Only when not one value was there.
        EXPECT_LT(cut, 18 + 5 + 4u);
        continue;
      }
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(source_info.incomplete, 1);
      size_t decoded = 0;
      while (decoded < d.pixels.size() && d.pixels[decoded] != kUntouched) ++decoded;
      EXPECT_GT(decoded, 0u);
      for (size_t i = 0; i < d.pixels.size(); ++i)
        ASSERT_EQ(d.pixels[i], i < decoded ? whole.pixels[i] : kUntouched) << i;
    }
  }
}

TEST(TgaClip, OffsetsClipAndLeaveTheRestAlone) {
  const TgaSpec s{.image_type = 10, .width = 3, .height = 3, .descriptor = 0x30};  // top-down, right to left
  const Bytes file = make_tga(s, {}, rle(random_values(9, 0x1000000, 12), 3));
  expect_offsets_clip(file, 3, 3, {{2, -1}, {-1, 1}, {5, 0}});
}

TEST(TgaAgainstStb, RandomPicturesAgree) {
  struct Case {
    uint8_t type;
    uint8_t depth;
    uint8_t map_bits;
    int tolerance;  // stb_image widens 5-bit channels by rounding down: 1 apart from repeated bits
  };
  const Case cases[] = {
      {1, 8, 24, 0}, {9, 8, 24, 0},  {1, 8, 32, 0}, {1, 8, 16, 1},  {2, 24, 0, 0}, {10, 24, 0, 0},
      {2, 32, 0, 0}, {10, 32, 0, 0}, {2, 16, 0, 1}, {10, 16, 0, 1}, {3, 8, 0, 0},  {11, 8, 0, 0},
  };
  for (const Case& c : cases) {
    for (uint8_t descriptor : {0x00, 0x20}) {
      SCOPED_TRACE(testing::Message() << "type " << int(c.type) << ", depth " << int(c.depth) << ", map "
                                      << int(c.map_bits) << ", descriptor " << int(descriptor));
      const int w = 13, h = 6;
      TgaSpec s{.image_type = c.type, .width = w, .height = h, .depth = c.depth, .descriptor = descriptor};
      Bytes map;
      uint32_t modulo = c.depth == 32 ? 0 : c.depth == 8 ? 256 : 1u << c.depth;
      if (c.map_bits != 0) {
        s.map_type = 1;
        s.map_length = 40;
        s.map_bits = c.map_bits;
        map = raw(random_values(40, 0, 31), c.map_bits / 8);
        modulo = 40;
      }
      const auto values = random_values(size_t(w * h), modulo, 32, 2);
      const Bytes data = c.type >= 8 ? rle(values, c.depth / 8) : raw(values, c.depth / 8);
      const Bytes file = make_tga(s, map, data);
      const Decoded d = decode_file(file);
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(stb_mismatches(d, file, Likeness{.tolerance = c.tolerance}), 0);
    }
  }
}

std::string corpus(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/tga/" + name; }

struct CorpusCase {
  std::string file;
  std::string reference;  // a PNG rendering, or empty to compare with stb_image
  int tolerance;          // 1 for 5-bit channels, which the references widen by rounding
};

class TgaCorpus : public testing::TestWithParam<CorpusCase> {};

TEST_P(TgaCorpus, MatchesItsRendering) {
  const CorpusCase& c = GetParam();
  const Bytes file = read_file(corpus(c.file));
  const Decoded d = decode_file(file);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 0);
  if (c.reference.empty()) {
    EXPECT_EQ(stb_mismatches(d, file, Likeness{.tolerance = c.tolerance}), 0);
    return;
  }
  EXPECT_EQ(rendering_mismatches(d, corpus(c.reference), Likeness{.tolerance = c.tolerance}), 0);
}

constexpr int kAll = 0;
constexpr int k555 = 1;
// The Truevision samples with a rendering, then those compared with stb_image;
// Pillow's grid (every mode in both row orders, plain and run-length) and
// Pillow's own files.
std::vector<CorpusCase> corpus_cases() {
  std::vector<CorpusCase> cases;
  for (const char* name : {"b5-attrib", "b5-cmap", "b5-noattrib", "b5-unused-cmap", "bottom_left",
                           "bottom_right", "top_left", "top_right", "cbw8", "ubw8", "cmap_offset", "ctc24",
                           "utc24", "utc32", "ctc32", "ctc16", "utc16", "ccm8", "ucm8"}) {
    const std::string n = name;
    const bool rendered = cases.size() < 14;
    // 5-5-5 colours: the b5 files, 16-bit values and maps of 16-bit entries.
    const bool narrow = n.find("b5") == 0 || n.find("16") != std::string::npos || n.find("cm8") == 1;
    cases.push_back({"truevision-suite/" + n + ".tga",
                     rendered ? "truevision-suite/reference-png/" + n + ".tga.png" : "",
                     narrow ? k555 : kAll});
  }
  for (const char* picture : {"1x1_l", "200x32_l", "200x32_p", "200x32_rgb", "200x32_rgba"})
    for (const char* form : {"bl_raw", "bl_rle", "tl_raw", "tl_rle"})
      cases.push_back({std::string("pillow-common/") + picture + "_" + form + ".tga",
                       std::string("pillow-common/") + picture + ".png", kAll});
  cases.push_back({"pillow/200x32_p_bl_raw_origin.tga", "pillow-common/200x32_p.png", kAll});
  cases.push_back({"pillow/cross_scan_line.tga", "pillow/reference-png/cross_scan_line.png", kAll});
  cases.push_back({"pillow/p_16.tga", "pillow/reference-png/p_16.png", k555});
  cases.push_back({"pillow/rgb32rle.tga", "", kAll});
  cases.push_back({"pillow/tga_id_field.tga", "", kAll});
  return cases;
}
INSTANTIATE_TEST_SUITE_P(Files, TgaCorpus, testing::ValuesIn(corpus_cases()));

// The remaining files: a 16-bit gray-and-alpha image is 5-5-5 colour here (the
// value size alone decides the colours), a cut one is partial, an 18-byte one
// is refused; none reads outside its data.
TEST(TgaCorpusRest, DecodedOrRefusedSafely) {
  for (const char* f : {"pillow-common/200x32_la_bl_raw.tga", "pillow-common/200x32_la_tl_rle.tga",
                        "pillow/la.tga", "pillow/rgba16.tga", "pillow/cross_scan_line_truncated.tga"}) {
    SCOPED_TRACE(f);
    EXPECT_EQ(decode_file(read_file(corpus(f))).result, 0);
  }
  EXPECT_EQ(source_info.incomplete, 1);
  EXPECT_EQ(decode_file(read_file(corpus("pillow/p_8.tga"))).result, -1);

  // The same stored data under three descriptors: mirror images.
  const Decoded left = decode_file(read_file(corpus("pillow/rgb32rle.tga")));
  const Decoded right = decode_file(read_file(corpus("pillow/rgb32rle_bottom_right.tga")));
  const Decoded top_right = decode_file(read_file(corpus("pillow/rgb32rle_top_right.tga")));
  ASSERT_EQ(left.result, 0);
  ASSERT_EQ(right.result, 0);
  ASSERT_EQ(top_right.result, 0);
  const int32_t w = left.width, h = left.height;
  size_t differ = 0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t p = left.pixels[size_t(y * w + x)];
      if (right.pixels[size_t(y * w + (w - 1 - x))] != p) ++differ;
      if (top_right.pixels[size_t((h - 1 - y) * w + (w - 1 - x))] != p) ++differ;
    }
  EXPECT_EQ(differ, 0u);
}

}  // namespace

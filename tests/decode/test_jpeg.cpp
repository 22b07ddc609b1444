// The JPEG decoder against libjpeg on pictures libjpeg makes, on the test
// pictures, and on damaged and hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decode/jpeg_render.h"
#include "decode/picture.h"
#include "tests/support/decode_check.h"
#include "tests/support/jpeg_oracle.h"
#include "tests/support/oracle.h"

namespace {

using namespace decodecheck;

struct Marker {
  uint8_t code;
  size_t pos;     // of the 0xFF
  size_t length;  // of the segment, marker included
};

// The marker segments before the first scan's data and, for progressive
// files, every later one (entropy data is skipped by looking for markers).
std::vector<Marker> markers(const std::vector<uint8_t>& f) {
  std::vector<Marker> out;
  size_t p = 2;
  while (p + 1 < f.size()) {
    if (f[p] != 0xFF || f[p + 1] == 0x00 || f[p + 1] == 0xFF || (f[p + 1] >= 0xD0 && f[p + 1] <= 0xD7)) {
      p++;
      continue;
    }
    const uint8_t code = f[p + 1];
    if (code == 0xD9) {
      out.push_back({code, p, 2});
      break;
    }
    if (p + 3 >= f.size()) break;
    const size_t len = size_t(f[p + 2]) << 8 | f[p + 3];
    out.push_back({code, p, len + 2});
    p += len + 2;
  }
  return out;
}

std::vector<uint8_t> cut(const std::vector<uint8_t>& f, size_t size) {
  return std::vector<uint8_t>(f.begin(), f.begin() + std::min(size, f.size()));
}

// Rewrites every 8-bit quantisation table with 16-bit entries of the same values.
std::vector<uint8_t> widen_quant_tables(const std::vector<uint8_t>& f) {
  std::vector<uint8_t> out(f.begin(), f.begin() + 2);
  size_t copied = 2;
  for (const Marker& m : markers(f)) {
    if (m.code != 0xDB) continue;
    out.insert(out.end(), f.begin() + long(copied), f.begin() + long(m.pos));
    std::vector<uint8_t> body;
    for (size_t p = m.pos + 4; p < m.pos + m.length;) {
      const uint8_t pq = f[p];
      body.push_back(uint8_t(0x10 | (pq & 15)));
      const bool wide = pq >> 4;
      for (size_t k = 0; k < 64; k++)
        body.insert(body.end(),
                    {wide ? f[p + 1 + 2 * k] : uint8_t(0), wide ? f[p + 2 + 2 * k] : f[p + 1 + k]});
      p += wide ? 129 : 65;
    }
    const size_t len = body.size() + 2;
    out.insert(out.end(), {0xFF, 0xDB, uint8_t(len >> 8), uint8_t(len)});
    out.insert(out.end(), body.begin(), body.end());
    copied = m.pos + m.length;
  }
  out.insert(out.end(), f.begin() + long(copied), f.end());
  return out;
}

struct MadeCase {
  const char* name;
  int width, height, components, h0, v0, restart, quality;
  bool progressive, force_baseline;
  int h1 = 1, v1 = 1, h2 = 1, v2 = 1;  // chroma sampling
};

const MadeCase kMadeCases[] = {
    {"gray", 67, 45, 1, 1, 1, 0, 90, false, true},
    {"gray_2x2_sampling", 40, 23, 1, 2, 2, 0, 90, false, true},
    {"ycc444", 64, 48, 3, 1, 1, 0, 90, false, true},
    {"ycc422", 64, 48, 3, 2, 1, 0, 90, false, true},
    {"ycc420", 64, 48, 3, 2, 2, 0, 90, false, true},
    {"ycc440", 50, 38, 3, 1, 2, 0, 85, false, true},
    {"odd_420", 37, 29, 3, 2, 2, 0, 75, false, true},
    {"one_pixel", 1, 1, 3, 2, 2, 0, 90, false, true},
    {"thin_row", 131, 1, 3, 2, 2, 0, 90, false, true},
    {"thin_column", 1, 77, 3, 2, 1, 0, 90, false, true},
    {"restart_every_mcu", 45, 33, 3, 2, 2, 1, 90, false, true},
    {"restart_every_3", 61, 40, 3, 1, 1, 3, 90, false, true},
    {"restart_gray", 70, 20, 1, 1, 1, 2, 90, false, true},
    {"quality_100", 48, 40, 3, 2, 2, 0, 100, false, true},
    {"quant_16bit", 48, 40, 3, 2, 2, 0, 3, false, false},
    {"progressive_420", 77, 53, 3, 2, 2, 0, 90, true, true},
    {"progressive_444", 64, 40, 3, 1, 1, 0, 90, true, true},
    {"progressive_422_restart", 70, 41, 3, 2, 1, 2, 90, true, true},
    {"progressive_gray", 53, 37, 1, 1, 1, 0, 90, true, true},
    {"progressive_odd", 9, 13, 3, 2, 2, 0, 60, true, true},
    // Chroma with more than one block per MCU.
    {"all_2x1", 35, 27, 3, 2, 1, 0, 90, false, true, 2, 1, 2, 1},
    {"cb_2x1_cr_1x1", 43, 29, 3, 2, 2, 0, 90, false, true, 2, 1, 1, 1},
    {"luma_4x1_cb_2x1", 70, 20, 3, 4, 1, 0, 90, false, true, 2, 1, 1, 1},
    {"progressive_cb_1x2", 33, 41, 3, 2, 2, 0, 90, true, true, 1, 2, 1, 1},
};

JpegMakeOptions options_of(const MadeCase& c) {
  // In the record's order: quality, baseline, components, sampling, tables,
  // restart interval, progression, scans.
  return {c.quality, c.force_baseline, c.components,  c.h0, c.v0, c.h1, c.v1, c.h2, c.v2, 0,
          1,         c.restart,        c.progressive, {}};
}

std::vector<uint8_t> make(const MadeCase& c) {
  return jpeg_make(jpeg_test_samples(c.width, c.height, c.components), c.width, c.height, options_of(c));
}

class MadeByLibjpeg : public testing::TestWithParam<MadeCase> {};

TEST_P(MadeByLibjpeg, MatchesTheReferenceDecode) {
  const MadeCase& c = GetParam();
  const std::vector<uint8_t> file = make(c);
  ASSERT_FALSE(file.empty());
  JpegReference ref;
  ASSERT_TRUE(jpeg_reference_decode(file, &ref));
  const Decoded d = decode_file(file);
  ASSERT_EQ(d.result, 0);
  ASSERT_EQ(d.width, c.width);
  ASSERT_EQ(d.height, c.height);
  EXPECT_EQ(d.colour_type, c.components == 1 ? 0 : 2);
  EXPECT_EQ(d.incomplete, 0);
  for (uint32_t p : d.pixels) {
    ASSERT_EQ(p >> 24, 0xFFu);
    if (c.components == 1) {
      ASSERT_EQ(p & 0xFF, (p >> 8) & 0xFF);
      ASSERT_EQ(p & 0xFF, (p >> 16) & 0xFF);
    }
  }
  EXPECT_GE(jpeg_psnr(d.pixels, ref.pixels), 40.0);
}

TEST_P(MadeByLibjpeg, ProgressiveAndBaselineTwinsAgree) {
  MadeCase c = GetParam();
  c.progressive = !c.progressive;
  const Decoded a = decode_file(make(GetParam()));
  const Decoded b = decode_file(make(c));
  ASSERT_EQ(a.result, 0);
  ASSERT_EQ(b.result, 0);
  EXPECT_LE(jpeg_max_channel_difference(a.pixels, b.pixels), 1);
}

INSTANTIATE_TEST_SUITE_P(Jpeg, MadeByLibjpeg, testing::ValuesIn(kMadeCases),
                         [](const testing::TestParamInfo<MadeCase>& i) { return std::string(i.param.name); });

// Codings and colour spaces the whole-frame path decodes: arithmetic coding,
// sampling factors of 3, RGB, CMYK and YCCK, each against the library.
struct WholeFrameCase {
  const char* name;
  int width, height, components;
  JpegMakeOptions options;
};

JpegMakeOptions whole(int components, int h0, int v0, bool arithmetic, bool progressive, int restart = 0,
                      JpegMakeOptions::Stored stored = JpegMakeOptions::Stored::kYcc, bool adobe = true) {
  JpegMakeOptions o;
  o.components = components;
  o.h0 = h0;
  o.v0 = v0;
  o.arithmetic = arithmetic;
  o.progressive = progressive;
  o.restart_interval = restart;
  o.stored = stored;
  o.adobe_segment = adobe;
  return o;
}

TEST(JpegWholeFrame, MatchesTheReferenceDecode) {
  using S = JpegMakeOptions::Stored;
  const WholeFrameCase cases[] = {
      {"arithmetic 4:2:0", 77, 53, 3, whole(3, 2, 2, true, false)},
      {"arithmetic 4:4:4", 40, 24, 3, whole(3, 1, 1, true, false)},
      {"arithmetic gray", 35, 19, 1, whole(1, 1, 1, true, false)},
      {"arithmetic with restarts", 83, 51, 3, whole(3, 2, 2, true, false, 3)},
      {"arithmetic restart every MCU", 30, 20, 3, whole(3, 2, 1, true, false, 1)},
      {"arithmetic progressive 4:2:0", 77, 53, 3, whole(3, 2, 2, true, true)},
      {"arithmetic progressive gray", 53, 37, 1, whole(1, 1, 1, true, true)},
      {"arithmetic progressive restarts", 70, 41, 3, whole(3, 2, 1, true, true, 2)},
      {"luma 3x1", 61, 29, 3, whole(3, 3, 1, false, false)},
      {"luma 1x3", 29, 61, 3, whole(3, 1, 3, false, false)},
      {"luma 3x2 progressive", 50, 50, 3, whole(3, 3, 2, false, true)},
      {"luma 3x2 arithmetic", 47, 35, 3, whole(3, 3, 2, true, false)},
      {"RGB", 40, 30, 3, whole(3, 1, 1, false, false, 0, S::kRgb)},
      {"CMYK", 40, 30, 4, whole(4, 1, 1, false, false, 0, S::kCmyk)},
      {"CMYK without an Adobe segment", 40, 30, 4, whole(4, 1, 1, false, false, 0, S::kCmyk, false)},
      {"CMYK 2x2 progressive", 45, 33, 4, whole(4, 2, 2, false, true, 0, S::kCmyk)},
      {"CMYK arithmetic", 40, 30, 4, whole(4, 1, 1, true, false, 0, S::kCmyk)},
      {"YCCK", 40, 30, 4, whole(4, 1, 1, false, false, 0, S::kYcck)},
      {"YCCK 2x2 with restarts", 57, 41, 4, whole(4, 2, 2, false, false, 2, S::kYcck)},
  };
  for (const WholeFrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> file =
        jpeg_make(jpeg_test_samples(c.width, c.height, c.components), c.width, c.height, c.options);
    ASSERT_FALSE(file.empty());
    JpegReference ref;
    ASSERT_TRUE(jpeg_reference_decode(file, &ref));
    const Decoded d = decode_file(file);
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.width, c.width);
    EXPECT_EQ(d.incomplete, 0);
    EXPECT_EQ(d.colour_type, c.components == 1 ? 0 : 2);
    EXPECT_GE(jpeg_psnr(d.pixels, ref.pixels), 40.0);
    expect_offsets_clip(file, c.width, c.height, {{-3, 2}, {5, -9}});
    // Every cut of the data decodes safely and says it is incomplete.
    for (size_t cut = file.size() / 3; cut < file.size() - 2; cut += file.size() / 7) {
      const Decoded part = decode_at(std::vector<uint8_t>(file.begin(), file.begin() + long(cut)), c.width,
                                     c.height);
      if (part.result == 0) {
        EXPECT_EQ(part.incomplete, 1) << cut;
      }
    }
  }
}

// "-u": subsampled chroma interpolated. Halved components against the
// library's own triangle filter; other whole factors, which the library
// repeats, must come closer to the source picture than repeating does.
std::vector<uint32_t> decode_smooth(const std::vector<uint8_t>& file, int32_t w, int32_t h, int32_t x_offset = 0,
                                    int32_t y_offset = 0) {
  std::vector<uint32_t> pixels(size_t(w) * size_t(h), kUntouched);
  const DecodeTarget target{pixels.data(), w * 4, w, h, x_offset, y_offset, true};
  SourceInfo info{};
  if (decode_picture(file.data(), int32_t(file.size()), target, info) != 0) pixels.clear();
  return pixels;
}

std::vector<uint32_t> as_pixels(const std::vector<uint8_t>& rgb) {
  std::vector<uint32_t> out(rgb.size() / 3);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = 0xFF000000u | uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
  return out;
}

TEST(JpegSmoothChroma, HalvedComponentsMatchTheTriangleFilter) {
  struct Case {
    const char* name;
    int width, height;
    int h0, v0;
    bool arithmetic, progressive;
  };
  const Case cases[] = {
      {"4:2:0", 77, 53, 2, 2, false, false},  {"4:2:2", 61, 29, 2, 1, false, false},
      {"4:4:0", 29, 61, 1, 2, false, false},  {"4:2:0 progressive", 50, 47, 2, 2, false, true},
      {"4:2:0 arithmetic", 33, 35, 2, 2, true, false}, {"4:2:0 of 5 pixels", 5, 5, 2, 2, false, false},
      // Two chroma samples across: the library repeats them.
      {"4:2:0, 4 across", 4, 9, 2, 2, false, false},   {"4:2:2, 3 across", 3, 7, 2, 1, false, false},
      {"4:4:0, 1 across", 1, 9, 1, 2, false, false},   {"one pixel", 1, 1, 2, 2, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JpegMakeOptions o = whole(3, c.h0, c.v0, c.arithmetic, c.progressive);
    const std::vector<uint8_t> file = jpeg_make(jpeg_test_samples(c.width, c.height, 3), c.width, c.height, o);
    ASSERT_FALSE(file.empty());
    JpegReference fancy, plain;
    ASSERT_TRUE(jpeg_reference_decode(file, &fancy, true));
    ASSERT_TRUE(jpeg_reference_decode(file, &plain));
    const std::vector<uint32_t> smooth = decode_smooth(file, c.width, c.height);
    ASSERT_EQ(smooth.size(), fancy.pixels.size());
    // Only the transform's rounding apart.
    EXPECT_LE(jpeg_max_channel_difference(smooth, fancy.pixels), 3);
    EXPECT_GE(jpeg_psnr(smooth, fancy.pixels), 45.0);
    // The default decode still repeats chroma.
    const Decoded d = decode_file(file);
    ASSERT_EQ(d.result, 0);
    EXPECT_GE(jpeg_psnr(d.pixels, plain.pixels), 40.0);
    if (c.width > 4 && c.height > 4) {
      EXPECT_NE(d.pixels, smooth);
    }
    // Placed and clipped like any decode.
    for (const auto& [dx, dy] : {std::pair{-3, 2}, std::pair{2, -5}}) {
      const std::vector<uint32_t> moved = decode_smooth(file, c.width, c.height, dx, dy);
      ASSERT_EQ(moved.size(), smooth.size());
      for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
          const int sx = x - dx, sy = y - dy;
          const bool inside = sx >= 0 && sx < c.width && sy >= 0 && sy < c.height;
          ASSERT_EQ(moved[size_t(y) * c.width + x], inside ? smooth[size_t(sy) * c.width + sx] : kUntouched)
              << x << "," << y;
        }
    }
  }
}

TEST(JpegSmoothChroma, OtherFactorsComeCloserToTheSource) {
  struct Case {
    const char* name;
    int width, height;
    JpegMakeOptions options;
  };
  using S = JpegMakeOptions::Stored;
  JpegMakeOptions luma_4x1 = whole(3, 4, 1, false, false);
  const Case cases[] = {
      {"luma 3x1", 61, 29, whole(3, 3, 1, false, false)},
      {"luma 1x3 arithmetic", 29, 61, whole(3, 1, 3, true, false)},
      {"luma 3x2 progressive", 50, 50, whole(3, 3, 2, false, true)},
      {"luma 4x1", 70, 20, luma_4x1},
      {"YCCK 2x2", 57, 41, whole(4, 2, 2, false, false, 2, S::kYcck)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int comps = c.options.components;
    // Smooth colours: the interpolation's gain shows above the coding noise.
    const std::vector<uint8_t> samples = jpeg_test_samples(c.width, c.height, comps, 0);
    const std::vector<uint8_t> file = jpeg_make(samples, c.width, c.height, c.options);
    ASSERT_FALSE(file.empty());
    const Decoded d = decode_file(file);
    ASSERT_EQ(d.result, 0);
    const std::vector<uint32_t> smooth = decode_smooth(file, c.width, c.height);
    ASSERT_EQ(smooth.size(), d.pixels.size());
    if (comps == 3) {
      const std::vector<uint32_t> source = as_pixels(samples);
      EXPECT_GT(jpeg_psnr(smooth, source), jpeg_psnr(d.pixels, source));
    } else {
      JpegReference fancy;
      ASSERT_TRUE(jpeg_reference_decode(file, &fancy, true));
      EXPECT_GE(jpeg_psnr(smooth, fancy.pixels), 40.0);
    }
  }
}

// Pure inks, stored inverted as the established viewers read them.
TEST(JpegWholeFrame, InksToRgb) {
  struct Ink {
    uint32_t c, m, y, k, rgb;
  };
  const Ink inks[] = {
      {255, 255, 255, 255, 0xFFFFFFFF},  // no ink at all
      {0, 255, 255, 255, 0xFF00FFFF},    // full cyan
      {255, 0, 255, 255, 0xFFFF00FF},    // full magenta
      {255, 255, 0, 255, 0xFFFFFF00},    // full yellow
      {255, 255, 255, 0, 0xFF000000},    // full black
      {255, 255, 255, 127, 0xFF7F7F7F},  // half black
      {127, 255, 255, 127, 0xFF3F7F7F},  // half cyan over half black
  };
  for (const Ink& i : inks) EXPECT_EQ(jpeg_cmyk_pixel(i.c, i.m, i.y, i.k, true), i.rgb) << i.c << " " << i.k;
  EXPECT_EQ(jpeg_cmyk_pixel(0, 0, 0, 0, false), 0xFFFFFFFFu);
}

TEST(JpegDecode, RestartMarkersChangeNoPixel) {
  for (int interval : {1, 2, 5, 7}) {
    MadeCase c{"r", 83, 51, 3, 2, 2, 0, 90, false, true};
    const Decoded plain = decode_file(make(c));
    c.restart = interval;
    const Decoded with = decode_file(make(c));
    ASSERT_EQ(with.result, 0);
    EXPECT_EQ(plain.pixels, with.pixels) << "interval " << interval;
    c.progressive = true;
    const Decoded progressive = decode_file(make(c));
    ASSERT_EQ(progressive.result, 0);
    EXPECT_LE(jpeg_max_channel_difference(plain.pixels, progressive.pixels), 1) << "interval " << interval;
  }
}

// Some encoders (Motion-JPEG cameras among them) pad an interval that ends on
// a byte boundary with a whole byte of ones, stored stuffed as 0xFF 0x00
// before the restart marker; the decode skips it as padding.
TEST(JpegDecode, WholePaddingByteBeforeRestartMarkers) {
  for (bool progressive : {false, true}) {
    MadeCase c{"r", 83, 51, 3, 2, 1, 2, 90, progressive, true};
    const std::vector<uint8_t> file = make(c);
    std::vector<uint8_t> padded;
    int inserted = 0;
    for (size_t i = 0; i < file.size(); ++i) {
      if (i + 1 < file.size() && file[i] == 0xFF && file[i + 1] >= 0xD0 && file[i + 1] <= 0xD7) {
        padded.insert(padded.end(), {0xFF, 0x00});
        ++inserted;
      }
      padded.push_back(file[i]);
    }
    ASSERT_GT(inserted, 10);
    const Decoded want = decode_file(file), got = decode_file(padded);
    ASSERT_EQ(got.result, 0);
    EXPECT_EQ(got.incomplete, 0);
    EXPECT_EQ(got.pixels, want.pixels) << (progressive ? "progressive" : "sequential");
  }
}

// A sequential picture may code its components in scans of their own: every
// scan is gathered, and one that never comes leaves the picture incomplete
// rather than quietly gray.
TEST(JpegDecode, SequentialScansOfSomeComponentsEach) {
  const std::vector<std::vector<JpegMakeOptions::Scan>> scripts = {
      {{1, {0}, 0, 63, 0, 0}, {2, {1, 2}, 0, 63, 0, 0}},
      {{1, {2}, 0, 63, 0, 0}, {1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}}};
  for (const auto& script : scripts) {
    JpegMakeOptions o;
    o.scans = script;
    const std::vector<uint8_t> file = jpeg_make(jpeg_test_samples(53, 37, 3), 53, 37, o);
    ASSERT_FALSE(file.empty());
    for (const Marker& m : markers(file)) ASSERT_NE(m.code, 0xC2) << "libjpeg wrote it sequential";
    JpegReference ref;
    ASSERT_TRUE(jpeg_reference_decode(file, &ref));
    const Decoded d = decode_file(file);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, 0);
    EXPECT_GE(jpeg_psnr(d.pixels, ref.pixels), 40.0) << script.size() << " scans";
    // Without its last scan (the end marker kept), a component is missing.
    size_t last_scan = 0;
    for (size_t i = 2; i + 1 < file.size(); ++i)
      if (file[i] == 0xFF && file[i + 1] == 0xDA) last_scan = i;
    std::vector<uint8_t> short_of_one(file.begin(), file.begin() + long(last_scan));
    short_of_one.insert(short_of_one.end(), {0xFF, 0xD9});
    const Decoded partial = decode_file(short_of_one);
    ASSERT_EQ(partial.result, 0);
    EXPECT_EQ(partial.incomplete, 1);
  }
}

// Damage inside a restart interval costs that interval only: a stray marker
// ends its data (the rest decodes from zeros), bytes left before its restart
// marker are passed over, and the next interval decodes as it should. The
// picture is flagged from the damaged interval's first row on.
TEST(JpegDecode, DamagedIntervalsResumeAtTheNextRestartMarker) {
  MadeCase c{"r", 64, 48, 3, 2, 2, 4, 90, false, true};  // 4 MCUs: one MCU row per interval
  const std::vector<uint8_t> file = make(c);
  const Decoded clean = decode_file(file);
  ASSERT_EQ(clean.result, 0);
  std::vector<size_t> rst;
  for (size_t i = 2; i + 1 < file.size(); ++i)
    if (file[i] == 0xFF && file[i + 1] >= 0xD0 && file[i + 1] <= 0xD7) rst.push_back(i);
  ASSERT_EQ(rst.size(), 2u);
  for (int damage = 0; damage < 2; ++damage) {
    std::vector<uint8_t> bad = file;
    if (damage == 0) {
      // A stray marker in the middle of the second interval.
      const size_t at = (rst[0] + rst[1]) / 2;
      bad[at] = 0xFF;
      bad[at + 1] = 0x99;
    } else {
      // Bytes no MCU needs before the first restart marker.
      bad.insert(bad.begin() + long(rst[0]), {0x12, 0x34, 0x56});
    }
    const Decoded d = decode_file(bad);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, 1) << damage;
    EXPECT_EQ(source_info.decoded_rows, damage == 0 ? 16 : 0) << damage;
    // The last interval (rows 32 to 47) is untouched by the damage.
    for (size_t i = size_t(32) * 64; i < clean.pixels.size(); ++i)
      ASSERT_EQ(d.pixels[i], clean.pixels[i]) << "damage " << damage << " pixel " << i;
    if (damage == 0) {
      for (size_t i = 0; i < size_t(16) * 64; ++i) ASSERT_EQ(d.pixels[i], clean.pixels[i]) << "first interval";
    }
  }
}

// A scan header that cannot be right after progressive scans ends the
// picture there: what the earlier scans hold is kept, flagged incomplete.
TEST(JpegDecode, BadScanHeaderAfterProgressiveScansKeepsThem) {
  MadeCase c{"p", 48, 32, 3, 2, 2, 0, 90, true, true};
  std::vector<uint8_t> file = make(c);
  std::vector<size_t> sos;
  for (const Marker& m : markers(file))
    if (m.code == 0xDA) sos.push_back(m.pos);
  ASSERT_GT(sos.size(), 3u);
  file[sos[3] + 4] = 9;  // nine components in the fourth scan
  const Decoded d = decode_file(file);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 1);
  int64_t decoded = 0;
  for (uint32_t p : d.pixels) decoded += p != kUntouched;
  EXPECT_EQ(decoded, int64_t(d.pixels.size()));
}

// The output scale follows the component's role: chroma on table 0 and luma
// on table 1 decode as well as the usual assignment.
TEST(JpegDecode, QuantisationTableIdsDoNotDecideLumaOrChroma) {
  for (const auto& [luma, chroma] : {std::pair{0, 0}, std::pair{1, 0}, std::pair{1, 1}}) {
    for (bool progressive : {false, true}) {
      const MadeCase c{"tables", 48, 32, 3, 2, 2, 0, 90, progressive, true};
      JpegMakeOptions o = options_of(c);
      o.luma_table = luma;
      o.chroma_table = chroma;
      const std::vector<uint8_t> file =
          jpeg_make(jpeg_test_samples(c.width, c.height, 3), c.width, c.height, o);
      JpegReference ref;
      ASSERT_TRUE(jpeg_reference_decode(file, &ref));
      const Decoded d = decode_file(file);
      ASSERT_EQ(d.result, 0);
      EXPECT_GE(jpeg_psnr(d.pixels, ref.pixels), 40.0) << luma << "," << chroma;
    }
  }
}

// At every restart the reader hands back its look-ahead, which then holds the
// marker and the bytes after it: stuffed 0xFF 0x00 pairs there must be handed
// back exactly. Noisy pictures at full quality put them there often.
TEST(JpegDecode, RestartMarkerFollowedByStuffedBytes) {
  int found = 0;
  for (uint32_t seed = 1; seed < 40 && found < 3; seed++) {
    const std::vector<uint8_t> samples = jpeg_test_samples(64, 32, 3, 255, seed);
    JpegMakeOptions o;
    o.quality = 100;
    o.h0 = o.v0 = 1;
    o.restart_interval = 1;
    const std::vector<uint8_t> with = jpeg_make(samples, 64, 32, o);
    bool pattern = false;
    for (size_t i = 0; i + 4 < with.size(); i++)
      if (with[i] == 0xFF && with[i + 1] >= 0xD0 && with[i + 1] <= 0xD7 &&
          ((with[i + 2] == 0xFF && with[i + 3] == 0) || (with[i + 3] == 0xFF && with[i + 4] == 0)))
        pattern = true;
    if (!pattern) continue;
    found++;
    o.restart_interval = 0;
    const Decoded a = decode_file(with), b = decode_file(jpeg_make(samples, 64, 32, o));
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(a.pixels, b.pixels) << "seed " << seed;
  }
  EXPECT_GT(found, 0);
}

TEST(JpegDecode, SixteenBitQuantisationTablesDecodeLikeEightBit) {
  for (bool progressive : {false, true}) {
    const MadeCase c{"q", 40, 24, 3, 2, 2, 0, 50, progressive, true};
    const std::vector<uint8_t> file = make(c);
    const std::vector<uint8_t> wide = widen_quant_tables(file);
    ASSERT_GT(wide.size(), file.size());
    const Decoded a = decode_file(file), b = decode_file(wide);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(a.pixels, b.pixels);
  }
}

TEST(JpegDecode, DcPredictorsStartAtZeroInEveryScan) {
  // DC sent one component at a time, then the bands of each component.
  MadeCase c{"dc", 48, 32, 3, 2, 2, 0, 90, false, true};
  JpegMakeOptions o = options_of(c);
  o.scans = {{1, {0}, 0, 0, 0, 0},  {1, {1}, 0, 0, 0, 0},  {1, {2}, 0, 0, 0, 0},
             {1, {0}, 1, 63, 0, 0}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
  const std::vector<uint8_t> samples = jpeg_test_samples(c.width, c.height, 3);
  const std::vector<uint8_t> split = jpeg_make(samples, c.width, c.height, o);
  ASSERT_FALSE(split.empty());
  const Decoded a = decode_file(split);
  const Decoded b = decode_file(make(c));
  ASSERT_EQ(a.result, 0);
  // No scan carried two components, yet the picture is in colour: reported
  // as grey it would be refused by a plain run ("not grayscale").
  EXPECT_EQ(a.colour_type, 2);
  EXPECT_LE(jpeg_max_channel_difference(a.pixels, b.pixels), 1);
}

TEST(JpegDecode, ProgressiveCutAfterTheDcScanIsABlurredFullPicture) {
  const MadeCase c{"blur", 64, 40, 1, 1, 1, 0, 90, true, true};
  const std::vector<uint8_t> file = make(c);
  size_t second_scan = 0;
  int scans = 0;
  for (const Marker& m : markers(file))
    if (m.code == 0xDA && ++scans == 2) second_scan = m.pos;
  ASSERT_GT(second_scan, 0u);
  const Decoded full = decode_file(file);
  const Decoded blur = decode_file(cut(file, second_scan));
  ASSERT_EQ(blur.result, 0);
  EXPECT_EQ(blur.incomplete, 1);
  // Only the DC terms: each 8 x 8 block is flat, near the full picture's mean.
  for (int by = 0; by < c.height / 8; by++) {
    for (int bx = 0; bx < c.width / 8; bx++) {
      const uint32_t first = blur.pixels[size_t(by * 8 * c.width + bx * 8)];
      int64_t sum = 0;
      for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 8; x++) {
          const size_t i = size_t((by * 8 + y) * c.width + bx * 8 + x);
          ASSERT_EQ(blur.pixels[i], first);
          sum += full.pixels[i] & 0xFF;
        }
      }
      EXPECT_NEAR(double(first & 0xFF), double(sum) / 64, 6.0);
    }
  }
}

TEST(JpegDecode, TruncatedSequentialKeepsTheMcusBeforeTheEnd) {
  const MadeCase c{"cut", 64, 64, 3, 2, 2, 0, 90, false, true};
  const std::vector<uint8_t> file = make(c);
  const Decoded full = decode_file(file);
  size_t data_start = 0;
  for (const Marker& m : markers(file))
    if (m.code == 0xDA) data_start = m.pos + m.length;
  const Decoded part = decode_file(cut(file, data_start + (file.size() - data_start) / 2));
  ASSERT_EQ(part.result, 0);
  EXPECT_EQ(part.incomplete, 1);
  // The first MCU row is whole; the last rows were never reached.
  for (int i = 0; i < 64 * 16; i++) ASSERT_EQ(part.pixels[size_t(i)], full.pixels[size_t(i)]) << i;
  for (int i = 64 * 63; i < 64 * 64; i++) ASSERT_EQ(part.pixels[size_t(i)], kUntouched) << i;
}

TEST(JpegDecode, CompleteFilesWithoutEndMarkerAreNotIncomplete) {
  const MadeCase c{"noeoi", 30, 20, 3, 2, 2, 0, 90, false, true};
  const std::vector<uint8_t> file = make(c);
  const Decoded d = decode_file(cut(file, file.size() - 2));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 0);
  EXPECT_EQ(d.pixels, decode_file(file).pixels);
}

TEST(JpegDecode, DataEndingBeforeAnyScanIsRefused) {
  const MadeCase c{"noscan", 30, 20, 3, 2, 2, 0, 90, true, true};
  const std::vector<uint8_t> file = make(c);
  size_t first_scan = 0;
  for (const Marker& m : markers(file))
    if (m.code == 0xDA && first_scan == 0) first_scan = m.pos;
  for (size_t end : {size_t(2), size_t(20), first_scan, first_scan + 5}) {
    const Decoded d = decode_at(cut(file, end), 30, 20);
    EXPECT_EQ(d.result, -1) << end;
    for (uint32_t p : d.pixels) ASSERT_EQ(p, kUntouched);
  }
}

// The file without the given marker segments.
std::vector<uint8_t> without(const std::vector<uint8_t>& file, const std::vector<Marker>& segments) {
  std::vector<uint8_t> out;
  size_t copied = 0;
  for (const Marker& m : segments) {
    out.insert(out.end(), file.begin() + long(copied), file.begin() + long(m.pos));
    copied = m.pos + m.length;
  }
  out.insert(out.end(), file.begin() + long(copied), file.end());
  return out;
}

// Without any Huffman table (as motion-picture frames are stored, relying
// on the implied ones) the default tables apply: a baseline file the library
// wrote with those tables decodes as it did with them. A progressive file
// that defines some tables but not those of a later scan ends the picture
// after the scans before it.
TEST(JpegDecode, ScansWithUndefinedHuffmanTables) {
  for (bool progressive : {false, true}) {
    const std::vector<uint8_t> file = make({"nodht", 40, 24, 3, 2, 2, 0, 90, progressive, true});
    std::vector<Marker> dht;
    for (const Marker& m : markers(file))
      if (m.code == 0xC4) dht.push_back(m);
    ASSERT_GT(dht.size(), 2u);
    const Decoded implied = decode_at(without(file, dht), 40, 24);
    if (!progressive) {
      const Decoded full = decode_at(file, 40, 24);
      ASSERT_EQ(full.result, 0);
      EXPECT_EQ(implied.result, 0);
      EXPECT_EQ(implied.incomplete, 0);
      EXPECT_EQ(implied.pixels, full.pixels);
      continue;
    }
    // The library's progressive tables are its own, so the default ones
    // decode nonsense here, but safely.
    EXPECT_TRUE(implied.result == 0 || implied.result == -1);
    // Only the tables of the first scan are kept.
    const Decoded d = decode_at(without(file, std::vector<Marker>(dht.begin() + 2, dht.end())), 40, 24);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, 1);
  }
}

TEST(JpegDecode, PlacementOffsetsClipWithoutShiftingPixels) {
  for (bool progressive : {false, true})
    expect_offsets_clip(make({"offset", 40, 30, 3, 2, 2, 0, 90, progressive, true}), 40, 30,
                        {{-3, 2}, {5, -9}, {17, 11}, {-50, 0}});
}

// Hostile variations of a valid file; each must be refused.
struct Damage {
  const char* name;
  uint8_t marker;  // segment to edit
  size_t offset;   // from the segment's 0xFF
  uint8_t value;
  size_t span = 1;  // bytes set to value
};

const Damage kRefused[] = {
    {"twelve_bit_samples", 0xC0, 4, 12},
    {"five_components", 0xC0, 9, 5},
    {"sampling_zero", 0xC0, 11, 0x10},
    {"too_many_blocks_per_mcu", 0xC0, 11, 0x44},
    {"frame_quant_table_id_4", 0xC0, 12, 4},
    {"dht_table_id_4", 0xC4, 4, 0x04},
    {"dht_class_2", 0xC4, 4, 0x20},
    {"dht_more_than_256_values", 0xC4, 5, 0xFF, 16},
    {"dqt_table_id_4", 0xDB, 4, 0x04},
    {"dqt_precision_2", 0xDB, 4, 0x20},
    {"scan_dc_table_id_4", 0xDA, 6, 0x40},
    {"scan_unknown_component", 0xDA, 5, 77},
    {"scan_zero_components", 0xDA, 4, 0},
    {"scan_five_components", 0xDA, 4, 5},
    {"zero_height", 0xC0, 5, 0, 2},
};

class RefusedFile : public testing::TestWithParam<Damage> {};

TEST_P(RefusedFile, IsRefused) {
  const Damage& dmg = GetParam();
  const MadeCase c{"base", 24, 16, 3, 1, 1, 0, 90, false, true};
  std::vector<uint8_t> file = make(c);
  bool edited = false;
  for (const Marker& m : markers(file)) {
    if (m.code == dmg.marker && !edited) {
      for (size_t i = 0; i < dmg.span; i++) file[m.pos + dmg.offset + i] = dmg.value;
      edited = true;
    }
  }
  ASSERT_TRUE(edited);
  const Decoded d = decode_at(file, 24, 16);
  EXPECT_EQ(d.result, -1);
}

INSTANTIATE_TEST_SUITE_P(Jpeg, RefusedFile, testing::ValuesIn(kRefused),
                         [](const testing::TestParamInfo<Damage>& i) { return std::string(i.param.name); });

std::vector<uint8_t> with_frame_size(std::vector<uint8_t> file, uint16_t width, uint16_t height) {
  for (const Marker& m : markers(file)) {
    if (m.code == 0xC0 || m.code == 0xC2) {
      file[m.pos + 5] = uint8_t(height >> 8);
      file[m.pos + 6] = uint8_t(height);
      file[m.pos + 7] = uint8_t(width >> 8);
      file[m.pos + 8] = uint8_t(width);
      break;
    }
  }
  return file;
}

// Large frames with a few bytes of data end as soon as the data does, into a
// small target and into none. The largest progressive frame would need a
// coefficient store beyond reason and is refused.
TEST(JpegDecode, LargeFramesWithTinyDataEndQuickly) {
  for (bool progressive : {false, true}) {
    for (uint16_t size : {4000, 65535}) {
      const MadeCase c{"large", 16, 16, 3, 2, 2, 0, 90, progressive, true};
      const std::vector<uint8_t> file = with_frame_size(make(c), size, size);
      const Decoded small = decode_at(file, 16, 16);
      const bool refused = progressive && size == 65535;
      EXPECT_EQ(small.result, refused ? -1 : 0) << size;
      EXPECT_EQ(small.incomplete, refused ? 0 : 1);
      EXPECT_EQ(decode_at(file, 0, 0).result, 0);
    }
  }
}

// A band scan repeated many times: a few repeats change nothing, thousands
// of cheap scans sweeping a large store are cut off as an incomplete picture
// instead of keeping the decoder busy.
TEST(JpegDecode, ManyRepeatedScansAreBounded) {
  const int size = 512;
  JpegMakeOptions o;
  o.components = 1;
  o.h0 = o.v0 = 1;
  o.scans = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
  const std::vector<uint8_t> file = jpeg_make(std::vector<uint8_t>(size * size, 90), size, size, o);
  size_t last_scan = 0, end = 0;
  for (const Marker& m : markers(file)) {
    if (m.code == 0xDA) last_scan = m.pos;
    if (m.code == 0xD9) end = m.pos;
  }
  ASSERT_GT(end, last_scan);
  const Decoded plain = decode_file(file);
  for (int repeats : {20, 3000}) {
    std::vector<uint8_t> many(file.begin(), file.begin() + long(end));
    for (int i = 0; i < repeats; i++)
      many.insert(many.end(), file.begin() + long(last_scan), file.begin() + long(end));
    many.insert(many.end(), {0xFF, 0xD9});
    const Decoded d = decode_file(many);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, repeats > 64 ? 1 : 0) << repeats;
    EXPECT_EQ(d.pixels, plain.pixels);
  }
}

// Every prefix and many single-byte changes of small files: no result but 0
// or -1, and the sanitizer build judges every access.
TEST(JpegDecode, DamagedFilesStaySafe) {
  for (bool progressive : {false, true}) {
    const MadeCase c{"dmg", 21, 18, 3, 2, 2, progressive ? 0 : 2, 80, progressive, true};
    const std::vector<uint8_t> file = make(c);
    for (size_t n = 0; n <= file.size(); n += 3) {
      const Decoded d = decode_at(cut(file, n), 21, 18);
      ASSERT_TRUE(d.result == 0 || d.result == -1);
    }
    uint32_t seed = 99;
    for (int round = 0; round < 1500; round++) {
      std::vector<uint8_t> bad = file;
      for (int j = 0; j < 1 + round % 3; j++) {
        seed = seed * 1664525u + 1013904223u;
        bad[2 + (seed >> 8) % (bad.size() - 2)] = uint8_t(seed >> 24);
      }
      const Decoded d = decode_at(bad, 21, 18);
      ASSERT_TRUE(d.result == 0 || d.result == -1);
    }
  }
}

struct CorpusEntry {
  std::string path;
  std::string kind;  // first word of the description
  std::string description;
};

std::vector<CorpusEntry> corpus() {
  std::vector<CorpusEntry> out;
  std::ifstream in(std::string(TESSEL_CORPUS_DIR) + "/jpeg/INDEX.tsv");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    CorpusEntry e;
    std::string size;
    std::getline(fields, e.path, '\t');
    std::getline(fields, size, '\t');
    std::getline(fields, e.description);
    e.kind = e.description.substr(0, e.description.find(' '));
    out.push_back(e);
  }
  return out;
}

// Pictures the decoder fully covers: Huffman-coded 8-bit gray or YCbCr with
// chroma 1 x 1 and the first component carrying the largest sampling, one
// frame, complete, and accepted by libjpeg without complaint.
bool fully_covered(const CorpusEntry& e, const JpegReference& ref) {
  if (e.kind != "baseline" && e.kind != "ext-seq" && e.kind != "progressive" && e.kind != "arith-seq" &&
      e.kind != "arith-prog")
    return false;
  if (e.description.find(" P8 ") == std::string::npos) return false;
  if (e.description.find("NO-EOI") != std::string::npos || ref.warnings != 0) return false;
  if (e.path.find("crashtest") != std::string::npos || e.path.find("fail") != std::string::npos) return false;
  const bool gray = e.description.find(" N1 [") != std::string::npos;
  const bool colour = e.description.find(",1x1,1x1]") != std::string::npos &&
                      e.description.find(" N3 [") != std::string::npos;
  if (!gray && !colour) return false;
  const size_t s = e.description.find('[');
  const char h = e.description[s + 1], v = e.description[s + 3];
  if (h < '1' || h > '4' || v < '1' || v > '4') return false;
  // Baseline files with several scans are non-interleaved: only their first
  // scan is read.
  return e.kind == "progressive" || e.kind == "arith-prog" || e.description.find("scans=1;") != std::string::npos;
}

const uint8_t kDht[2] = {0xFF, 0xC4};

TEST(JpegCorpus, EveryFileDecodesOrIsRefusedSafely) {
  int covered = 0, matched = 0;
  for (const CorpusEntry& e : corpus()) {
    SCOPED_TRACE(e.path);
    const std::vector<uint8_t> file = read_file(std::string(TESSEL_CORPUS_DIR) + "/jpeg/" + e.path);
    int32_t w = 0, h = 0;
    probe_picture(file.data(), int32_t(file.size()), &w, &h);
    // Absurd sizes get a small target: the decoder clips.
    if (w < 1 || h < 1 || int64_t(w) * h > (int64_t(1) << 25)) w = h = 64;
    const Decoded d = decode_at(file, w, h);
    ASSERT_TRUE(d.result == 0 || d.result == -1);
    if (e.kind.rfind("not-jpeg", 0) == 0) continue;  // another format, or nothing
    if (e.kind == "NO-SOF") {
      EXPECT_EQ(d.result, -1);
      continue;
    }
    // Samples of more than 8 bits take the wide decode (tested with the
    // lossless and 12-bit pictures); the ordinary one refuses them.
    if (e.description.find(" P8 ") == std::string::npos) {
      EXPECT_EQ(d.result, -1);
      continue;
    }
    if (e.kind == "lossless") continue;
    JpegReference ref;
    // Files that lean on the library's built-in Huffman tables are not covered.
    const bool has_dht = e.kind.rfind("arith", 0) == 0 ||
                         std::search(file.begin(), file.end(), kDht, kDht + 2) != file.end();
    if (!has_dht || !jpeg_reference_decode(file, &ref) || !fully_covered(e, ref)) continue;
    covered++;
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, 0);
    ASSERT_EQ(ref.width, d.width);
    ASSERT_EQ(ref.height, d.height);
    const double psnr = jpeg_psnr(d.pixels, ref.pixels);
    EXPECT_GE(psnr, 40.0);
    matched += psnr >= 40.0;
  }
  EXPECT_GE(covered, 80);
  EXPECT_EQ(matched, covered);
}

}  // namespace

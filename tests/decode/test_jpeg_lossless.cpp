// Lossless (predictive) JPEG: the corpus pictures against their reference
// renderings, sample for sample (libpng reads the renderings); pictures coded
// here by a small writer at every precision, predictor and point transform,
// with colour, sampling factors and restart intervals, against the samples
// they were made from; data cut short or damaged, and the tool's 16-bit
// output of a 12-bit picture.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "decode/jpeg_decode.h"
#include "decode/picture.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/oracle16.h"
#include "tests/support/wide_decode.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string lossless_path(const std::string& name) {
  return std::string(TESSEL_CORPUS_DIR) + "/jpeg/jpeg-decoder/lossless-sof3/" + name;
}

using Wide = WideDecode;

struct Narrow {
  int32_t result = -1;
  SourceInfo info{};
  std::vector<uint32_t> pixels;
};

Narrow decode_narrow(const Bytes& jpeg, int32_t width, int32_t height) {
  Narrow d;
  d.pixels.assign(size_t(width) * size_t(height), 0);
  const DecodeTarget target{d.pixels.data(), width * 4, width, height, 0, 0};
  d.result = decode_picture(jpeg.data(), int32_t(jpeg.size()), target, d.info);
  return d;
}

TEST(JpegLosslessCorpus, SixteenBitPredictorsEqualTheirRenderings) {
  for (int predictor = 1; predictor <= 7; ++predictor) {
    const std::string stem = "set1/jpeg_lossless_sel" + std::to_string(predictor);
    const Bytes jpeg = read_file(lossless_path(stem + ".jpg"));
    OraclePicture16 want;
    ASSERT_TRUE(libpng_decode16(read_file(lossless_path(stem + ".png")), &want)) << stem;
    EXPECT_EQ(jpeg_sample_depth(jpeg.data(), int32_t(jpeg.size())), 16);
    EXPECT_EQ(picture_sample_depth(jpeg.data(), int32_t(jpeg.size())), 16);
    int32_t w = 0, h = 0;
    probe_picture(jpeg.data(), int32_t(jpeg.size()), &w, &h);
    ASSERT_EQ(w, want.width);
    ASSERT_EQ(h, want.height);
    const Wide got = decode_wide(jpeg, w, h);
    ASSERT_EQ(got.result, 0) << stem;
    EXPECT_EQ(got.info.incomplete, 0);
    EXPECT_EQ(got.info.source_color_type, 0);
    EXPECT_EQ(got.info.source_bit_depth, 16);
    ASSERT_EQ(got.samples, want.samples) << stem;
    // The ordinary decode cannot hold the samples and says why.
    const Narrow narrow = decode_narrow(jpeg, w, h);
    EXPECT_EQ(narrow.result, -1);
    EXPECT_NE(narrow.info.refusal, nullptr);
  }
}

TEST(JpegLosslessCorpus, TwelveBitEqualsItsRenderingAndClipsWhenPlaced) {
  const Bytes jpeg = read_file(lossless_path("set2/MR4.jpg"));
  OraclePicture16 want;
  ASSERT_TRUE(libpng_decode16(read_file(lossless_path("set2/MR4.png")), &want));
  const Wide got = decode_wide(jpeg, want.width, want.height);
  ASSERT_EQ(got.result, 0);
  ASSERT_EQ(got.samples, want.samples);
  const int32_t w = want.width, h = want.height;
  const Wide moved = decode_wide(jpeg, w, h, 7, -4);
  ASSERT_EQ(moved.result, 0);
  for (int32_t y = 0; y + 4 < h; ++y)
    for (int32_t x = 7; x < w; ++x)
      for (int k = 0; k < 4; ++k)
        ASSERT_EQ(moved.samples[(size_t(y) * w + x) * 4 + k], want.samples[(size_t(y + 4) * w + x - 7) * 4 + k]);
  for (int32_t y = 0; y < h; ++y) ASSERT_EQ(moved.samples[size_t(y) * w * 4 + 3], 0) << "column 0 stays untouched";
}

TEST(JpegLosslessCorpus, EightBitTakesTheOrdinaryPath) {
  const Bytes jpeg = read_file(lossless_path("set1/jpeg_lossless_sel1-8bit.jpg"));
  OraclePicture16 want;
  ASSERT_TRUE(libpng_decode16(read_file(lossless_path("set1/jpeg_lossless_sel1-8bit.png")), &want));
  EXPECT_EQ(picture_sample_depth(jpeg.data(), int32_t(jpeg.size())), 8);
  const Narrow got = decode_narrow(jpeg, want.width, want.height);
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(got.info.source_color_type, 0);
  for (size_t i = 0; i < got.pixels.size(); ++i) {
    const uint32_t v = want.samples[i * 4] / 257;
    ASSERT_EQ(got.pixels[i], 0xFF000000u | v << 16 | v << 8 | v) << "pixel " << i;
  }
  EXPECT_EQ(decode_wide(jpeg, want.width, want.height).result, -1) << "8-bit samples are not wide";
}

// A lossless JPEG writer: one Huffman table of 5-bit codes for every
// difference category, interleaved when there is more than one component.
struct Spec {
  int precision = 8;
  int predictor = 1;
  int point_transform = 0;
  int width = 19, height = 13;
  int comps = 1;
  int h[3] = {1, 1, 1}, v[3] = {1, 1, 1};
  int restart_mcus = 0;  // 0: no restart intervals
};

struct BitWriter {
  Bytes out;
  uint32_t acc = 0;
  int n = 0;
  void put(uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      acc = acc << 1 | ((bits >> i) & 1);
      if (++n == 8) {
        out.push_back(uint8_t(acc));
        if (acc == 0xFF) out.push_back(0);
        acc = 0;
        n = 0;
      }
    }
  }
  void flush() {
    while (n != 0) put(1, 1);
  }
};

void segment(Bytes& out, uint8_t marker, const Bytes& body) {
  out.push_back(0xFF);
  out.push_back(marker);
  out.push_back(uint8_t((body.size() + 2) >> 8));
  out.push_back(uint8_t(body.size() + 2));
  out.insert(out.end(), body.begin(), body.end());
}

int32_t predict(const std::vector<int32_t>& p, int stride, int x, int y, bool first_row, int sel, int32_t mid) {
  if (first_row) return x == 0 ? mid : p[y * stride + x - 1];
  if (x == 0) return p[(y - 1) * stride];
  const int32_t a = p[y * stride + x - 1], b = p[(y - 1) * stride + x], c = p[(y - 1) * stride + x - 1];
  switch (sel) {
    case 1: return a;
    case 2: return b;
    case 3: return c;
    case 4: return a + b - c;
    case 5: return a + ((b - c) >> 1);
    case 6: return b + ((a - c) >> 1);
    default: return (a + b) >> 1;
  }
}

struct Made {
  Bytes jpeg;
  std::vector<std::vector<int32_t>> planes;  // per component, stored (shifted-down) values
  std::vector<int> plane_width;
};

// Samples are busy enough that every predictor sees large differences of
// both signs, up to the full range.
Made make_lossless(const Spec& s) {
  Made m;
  const int hmax = std::max({s.h[0], s.comps > 1 ? s.h[1] : 1, s.comps > 2 ? s.h[2] : 1});
  const int vmax = std::max({s.v[0], s.comps > 1 ? s.v[1] : 1, s.comps > 2 ? s.v[2] : 1});
  const int mcu_cols = (s.width + hmax - 1) / hmax, mcu_rows = (s.height + vmax - 1) / vmax;
  const int bits = s.precision - s.point_transform;
  uint32_t state = 12345u + uint32_t(s.precision * 7 + s.predictor);
  for (int c = 0; c < s.comps; ++c) {
    const int pw = s.comps == 1 ? s.width : mcu_cols * s.h[c];
    const int ph = s.comps == 1 ? s.height : mcu_rows * s.v[c];
    std::vector<int32_t> p(size_t(pw) * ph);
    for (int y = 0; y < ph; ++y)
      for (int x = 0; x < pw; ++x) {
        state = state * 1103515245u + 12345u;
        const int32_t smooth = ((x * 37 + y * 11 + c * 50) << 6) % (1 << bits);
        p[size_t(y) * pw + x] = (state >> 16) % 5 == 0 ? int32_t((state >> 8) % (1u << bits)) : smooth;
      }
    m.planes.push_back(p);
    m.plane_width.push_back(pw);
  }
  Bytes& out = m.jpeg;
  out = {0xFF, 0xD8};
  Bytes sof = {uint8_t(s.precision), uint8_t(s.height >> 8), uint8_t(s.height), uint8_t(s.width >> 8),
               uint8_t(s.width), uint8_t(s.comps)};
  for (int c = 0; c < s.comps; ++c) {
    sof.push_back(uint8_t(c + 1));
    sof.push_back(uint8_t(s.h[c] << 4 | s.v[c]));
    sof.push_back(0);
  }
  segment(out, 0xC3, sof);
  Bytes dht = {0x00};
  for (int len = 1; len <= 16; ++len) dht.push_back(len == 5 ? 17 : 0);
  for (int k = 0; k <= 16; ++k) dht.push_back(uint8_t(k));
  segment(out, 0xC4, dht);
  if (s.restart_mcus) segment(out, 0xDD, {uint8_t(s.restart_mcus >> 8), uint8_t(s.restart_mcus)});
  Bytes sos = {uint8_t(s.comps)};
  for (int c = 0; c < s.comps; ++c) {
    sos.push_back(uint8_t(c + 1));
    sos.push_back(0);
  }
  sos.push_back(uint8_t(s.predictor));
  sos.push_back(0);
  sos.push_back(uint8_t(s.point_transform));
  segment(out, 0xDA, sos);

  BitWriter bw;
  const int32_t mid = 1 << (bits - 1);
  const int cols = s.comps == 1 ? s.width : mcu_cols, rows = s.comps == 1 ? s.height : mcu_rows;
  int countdown = s.restart_mcus, marker = 0, interval_row = 0;
  for (int my = 0; my < rows; ++my)
    for (int mx = 0; mx < cols; ++mx) {
      if (s.restart_mcus && countdown == 0) {
        bw.flush();
        bw.out.push_back(0xFF);
        bw.out.push_back(uint8_t(0xD0 + (marker++ & 7)));
        countdown = s.restart_mcus;
        interval_row = my;
      }
      for (int c = 0; c < s.comps; ++c) {
        const int bh = s.comps == 1 ? 1 : s.h[c], bv = s.comps == 1 ? 1 : s.v[c];
        for (int sy = 0; sy < bv; ++sy)
          for (int sx = 0; sx < bh; ++sx) {
            const int x = mx * bh + sx, y = my * bv + sy;
            const int32_t pred = predict(m.planes[c], m.plane_width[c], x, y, y == interval_row * bv, s.predictor, mid);
            int32_t d = (m.planes[c][size_t(y) * m.plane_width[c] + x] - pred) & 0xFFFF;
            if (d >= 32768) d -= 65536;
            if (d == -32768) {
              bw.put(16, 5);
              continue;
            }
            int cat = 0;
            while ((1 << cat) <= std::abs(d)) ++cat;
            bw.put(uint32_t(cat), 5);
            if (cat) bw.put(uint32_t(d >= 0 ? d : d + (1 << cat) - 1), cat);
          }
      }
      --countdown;
    }
  bw.flush();
  out.insert(out.end(), bw.out.begin(), bw.out.end());
  out.push_back(0xFF);
  out.push_back(0xD9);
  return m;
}

// The sample the decoder should show for component c at picture pixel (x, y).
uint32_t expected(const Spec& s, const Made& m, int c, int x, int y) {
  const int hmax = std::max({s.h[0], s.comps > 1 ? s.h[1] : 1, s.comps > 2 ? s.h[2] : 1});
  const int vmax = std::max({s.v[0], s.comps > 1 ? s.v[1] : 1, s.comps > 2 ? s.v[2] : 1});
  const int sx = x * s.h[c] / hmax, sy = y * s.v[c] / vmax;
  return uint32_t(m.planes[c][size_t(sy) * m.plane_width[c] + sx]) << s.point_transform;
}

void check_made(const Spec& s, const std::string& what) {
  const Made m = make_lossless(s);
  const int w = s.width, h = s.height;
  if (s.precision > 8) {
    const Wide got = decode_wide(m.jpeg, w, h);
    ASSERT_EQ(got.result, 0) << what;
    EXPECT_EQ(got.info.incomplete, 0) << what;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int k = 0; k < 3; ++k)
          ASSERT_EQ(got.samples[(size_t(y) * w + x) * 4 + k], expected(s, m, s.comps == 1 ? 0 : k, x, y))
              << what << " at " << x << "," << y << " sample " << k;
  } else {
    const Narrow got = decode_narrow(m.jpeg, w, h);
    ASSERT_EQ(got.result, 0) << what;
    EXPECT_EQ(got.info.incomplete, 0) << what;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint32_t want = 0xFF000000u;
        for (int k = 0; k < 3; ++k) want |= expected(s, m, s.comps == 1 ? 0 : k, x, y) << (16 - 8 * k);
        ASSERT_EQ(got.pixels[size_t(y) * w + x], want) << what << " at " << x << "," << y;
      }
  }
}

TEST(JpegLosslessMade, EveryPrecisionPredictorAndPointTransform) {
  for (int precision : {2, 5, 8, 9, 12, 16})
    for (int predictor = 1; predictor <= 7; ++predictor)
      for (int pt : {0, 1, precision - 1}) {
        Spec s;
        s.precision = precision;
        s.predictor = predictor;
        s.point_transform = pt;
        check_made(s, "P" + std::to_string(precision) + " sel" + std::to_string(predictor) + " Pt" +
                          std::to_string(pt));
      }
}

TEST(JpegLosslessMade, ColourSamplingAndRestarts) {
  Spec rgb;
  rgb.comps = 3;
  rgb.predictor = 4;
  check_made(rgb, "rgb 8-bit");
  rgb.precision = 12;
  check_made(rgb, "rgb 12-bit");
  Spec sampled = rgb;
  sampled.h[0] = 2;
  sampled.v[0] = 2;
  sampled.v[1] = 2;
  sampled.predictor = 7;
  check_made(sampled, "luma 2x2, first chroma 1x2");
  Spec restarts;
  restarts.precision = 16;
  restarts.predictor = 6;
  restarts.restart_mcus = restarts.width * 2;  // every two rows
  check_made(restarts, "restart every two rows");
  Spec colour_restarts = sampled;
  colour_restarts.restart_mcus = (colour_restarts.width + 1) / 2;  // every MCU row
  check_made(colour_restarts, "sampled colour with a restart every MCU row");
}

TEST(JpegLosslessMade, CutShortKeepsTheRowsItHas) {
  Spec s;
  s.precision = 12;
  s.width = 40;
  s.height = 30;
  const Made m = make_lossless(s);
  const Bytes cut(m.jpeg.begin(), m.jpeg.begin() + long(m.jpeg.size() / 2));
  const Wide got = decode_wide(cut, s.width, s.height);
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(got.info.incomplete, 1);
  ASSERT_GT(got.info.decoded_rows, 5);
  ASSERT_LT(got.info.decoded_rows, s.height);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const uint16_t* p = &got.samples[(size_t(y) * s.width + x) * 4];
      if (y < got.info.decoded_rows) {
        ASSERT_EQ(p[0], expected(s, m, 0, x, y)) << x << "," << y;
        ASSERT_EQ(p[3], 0xFFFF);
      } else {
        ASSERT_EQ(p[3], 0) << "rows past the data stay untouched";
      }
    }
}

TEST(JpegLosslessMade, HeadersThatCannotBeRightAreRefused) {
  Spec s;
  s.precision = 12;
  const Made m = make_lossless(s);
  auto with = [&](size_t at, uint8_t value) {
    Bytes b = m.jpeg;
    b[at] = value;
    return b;
  };
  const size_t sof = 2 + 4;  // precision byte
  EXPECT_EQ(decode_wide(with(sof, 17), s.width, s.height).result, -1) << "17 bits";
  EXPECT_EQ(decode_narrow(with(sof, 1), s.width, s.height).result, -1) << "1 bit";
  // The scan header ends just before the data: predictor, band end, point transform.
  size_t sos = 0;
  for (size_t i = 2; i + 1 < m.jpeg.size(); ++i)
    if (m.jpeg[i] == 0xFF && m.jpeg[i + 1] == 0xDA) sos = i;
  const size_t predictor = sos + 2 + 2 + 1 + 2;
  EXPECT_EQ(decode_wide(with(predictor, 0), s.width, s.height).result, -1) << "predictor 0";
  EXPECT_EQ(decode_wide(with(predictor, 8), s.width, s.height).result, -1) << "predictor 8";
  EXPECT_EQ(decode_wide(with(predictor + 2, 12), s.width, s.height).result, -1) << "shift of every bit";
  EXPECT_EQ(decode_wide(with(sos + 6, 0x10), s.width, s.height).result, -1) << "a table never defined";
}

// Damaged copies decode or are refused without reading or writing outside
// their buffers (the sanitizer build watches), and without running long.
TEST(JpegLosslessMade, DamagedDataStaysInBounds) {
  Spec s;
  s.precision = 16;
  s.comps = 3;
  s.h[0] = 2;
  s.predictor = 5;
  s.restart_mcus = 5;
  const Made m = make_lossless(s);
  uint32_t state = 99;
  for (int round = 0; round < 400; ++round) {
    Bytes b = m.jpeg;
    const int changes = 1 + round % 4;
    for (int i = 0; i < changes; ++i) {
      state = state * 1103515245u + 12345u;
      b[2 + (state >> 8) % (b.size() - 2)] = uint8_t(state >> 3);
    }
    if (round % 5 == 0) b.resize(2 + (state >> 4) % (b.size() - 2));
    int32_t w = 0, h = 0;
    probe_picture(b.data(), int32_t(b.size()), &w, &h);
    if (w < 1 || h < 1 || int64_t(w) * h > 1 << 20) continue;
    const Wide got = decode_wide(b, w, h, round % 3 - 1, 1 - round % 3);
    if (got.result == 0) {
      EXPECT_LE(got.info.work, int64_t(w) * h * 8 + 65536);
    }
    decode_narrow(b, w, h);
  }
}

// A scan repeated thousands of times, a few hundred bytes a copy, each
// asking for every sample again: the decode stops at its visit budget (4
// visits per sample and 65536 more, counted a row at a time) and keeps the
// picture the first copy made.
TEST(JpegLosslessMade, RepeatedScansStopAtTheVisitBudget) {
  Spec s;
  s.precision = 12;
  s.width = 64;
  s.height = 64;
  const Made m = make_lossless(s);
  size_t sos = 0, eoi = 0;
  for (size_t i = 2; i + 1 < m.jpeg.size(); ++i) {
    if (m.jpeg[i] == 0xFF && m.jpeg[i + 1] == 0xDA && sos == 0) sos = i;
    if (m.jpeg[i] == 0xFF && m.jpeg[i + 1] == 0xD9) eoi = i;
  }
  ASSERT_GT(sos, 0u);
  ASSERT_GT(eoi, sos);
  const Wide once = decode_wide(m.jpeg, s.width, s.height);
  ASSERT_EQ(once.result, 0);
  EXPECT_EQ(once.info.work, 64 * 64);

  const int copies = 3000;
  Bytes many(m.jpeg.begin(), m.jpeg.begin() + std::ptrdiff_t(eoi));
  for (int i = 1; i < copies; ++i)
    many.insert(many.end(), m.jpeg.begin() + std::ptrdiff_t(sos), m.jpeg.begin() + std::ptrdiff_t(eoi));
  many.insert(many.end(), {0xFF, 0xD9});
  const Wide got = decode_wide(many, s.width, s.height);
  ASSERT_EQ(got.result, 0);
  EXPECT_LE(got.info.work, 4 * 64 * 64 + 65536 + 64);
  EXPECT_LT(got.info.work, int64_t(copies) * 64 * 64);
  EXPECT_EQ(got.samples, once.samples);
}

// The whole tool: a 12-bit picture becomes a 16-bit PNG holding the coded
// samples, as the reference rendering does.
TEST(JpegLosslessTool, TwelveBitBecomesSixteenBitPng) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("mr.jpg"), read_file(lossless_path("set2/MR4.jpg"))));
  const CommandResult r = run_tool(dir, {"-s4", "-y", "mr.jpg", "mr.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  OraclePicture16 got, want;
  std::string error;
  ASSERT_TRUE(libpng_decode16(read_file(dir.file("mr.png")), &got, &error)) << error;
  ASSERT_TRUE(libpng_decode16(read_file(lossless_path("set2/MR4.png")), &want));
  EXPECT_EQ(got.bit_depth, 16);
  EXPECT_EQ(got.colour_type, 0);
  EXPECT_EQ(got.samples, want.samples);
}

}  // namespace

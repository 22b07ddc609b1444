// 12-bit transform-coded JPEG into 16-bit samples: pictures coded here
// (sequential and progressive, gray and YCbCr, sampling factors, restart
// intervals) against the samples they were made from, within the rounding
// of the transform; the corpus picture; placement and clipping; damaged
// data; and the tool's 16-bit PNG.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/jpeg_decode.h"
#include "decode/picture.h"
#include "tests/support/command_runner.h"
#include "tests/support/jpeg_oracle.h"
#include "tests/support/oracle.h"
#include "tests/support/oracle16.h"
#include "tests/support/wide_decode.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Wide = WideDecode;

struct DeepLayout {
  int width = 37, height = 29;
  int comps = 1;
  int h0 = 1, v0 = 1;  // luma sampling; chroma is 1x1
  bool progressive = false;
  int restart_mcus = 0;
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

constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                             41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                             30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct Made {
  Bytes jpeg;
  int hmax = 1, vmax = 1;
  std::vector<std::vector<int32_t>> planes;  // 12-bit samples, per component, on the padded grid
  std::vector<int> plane_width;
  int h[3] = {1, 1, 1}, v[3] = {1, 1, 1};
};

// The magnitude category of a value and its bits in the JPEG convention.
void put_value(BitWriter& bw, int32_t value, int category) {
  if (category) bw.put(uint32_t(value >= 0 ? value : value + (1 << category) - 1), category);
}
int category_of(int32_t v) {
  int c = 0;
  while ((1 << c) <= std::abs(v)) ++c;
  return c;
}

// Quantisation by 1 everywhere: the decode differs from the samples only by
// the rounding of coefficients and of the transform. The DC table codes
// categories 0..15 in 5 bits, the AC table every run/size pair in 8 bits.
Made make_deep(const DeepLayout& s) {
  Made m;
  m.h[0] = s.h0;
  m.v[0] = s.v0;
  m.hmax = s.h0;
  m.vmax = s.v0;
  const int mcu_cols = (s.width + 8 * m.hmax - 1) / (8 * m.hmax);
  const int mcu_rows = (s.height + 8 * m.vmax - 1) / (8 * m.vmax);
  uint32_t state = 77;
  for (int c = 0; c < s.comps; ++c) {
    const int pw = mcu_cols * m.h[c] * 8, ph = mcu_rows * m.v[c] * 8;
    std::vector<int32_t> p(size_t(pw) * ph);
    for (int y = 0; y < ph; ++y)
      for (int x = 0; x < pw; ++x) {
        state = state * 1103515245u + 12345u;
        int32_t value;
        if (c == 0 && x < 8 && y < 8) {
          value = 4095;  // a flat white block
        } else if (c == 0 && x >= 8 && x < 16 && y < 8) {
          value = 0;  // and a flat black one
        } else if (c == 0) {
          value = 300 + (x * 97 + y * 53) % 3400 + int32_t((state >> 24) % 64);
        } else {
          value = 2048 + int32_t(std::lround(700 * std::sin(x * 0.2 + c) * std::cos(y * 0.15)));
        }
        p[size_t(y) * pw + x] = value;
      }
    m.planes.push_back(p);
    m.plane_width.push_back(pw);
  }
  // Coefficients of every block, zigzag order, on each component's padded grid.
  std::vector<std::vector<int32_t>> coefs(size_t(s.comps));
  for (int c = 0; c < s.comps; ++c) {
    const int bw = mcu_cols * m.h[c], bh = mcu_rows * m.v[c];
    coefs[c].resize(size_t(bw) * bh * 64);
    for (int by = 0; by < bh; ++by)
      for (int bx = 0; bx < bw; ++bx)
        for (int k = 0; k < 64; ++k) {
          const int n = kZigzag[k], u = n & 7, vv = n >> 3;
          double sum = 0;
          for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
              sum += (m.planes[c][size_t(by * 8 + y) * m.plane_width[c] + bx * 8 + x] - 2048) *
                     std::cos((2 * x + 1) * u * M_PI / 16) * std::cos((2 * y + 1) * vv * M_PI / 16);
          sum *= (u ? 0.5 : 0.35355339059327373) * (vv ? 0.5 : 0.35355339059327373);
          coefs[c][(size_t(by) * bw + bx) * 64 + k] = int32_t(std::lround(sum));
        }
  }

  Bytes& out = m.jpeg;
  out = {0xFF, 0xD8};
  Bytes dqt = {0x00};
  for (int k = 0; k < 64; ++k) dqt.push_back(1);
  segment(out, 0xDB, dqt);
  Bytes sof = {12, uint8_t(s.height >> 8), uint8_t(s.height), uint8_t(s.width >> 8), uint8_t(s.width),
               uint8_t(s.comps)};
  for (int c = 0; c < s.comps; ++c) {
    sof.push_back(uint8_t(c + 1));
    sof.push_back(uint8_t(m.h[c] << 4 | m.v[c]));
    sof.push_back(0);
  }
  segment(out, s.progressive ? 0xC2 : 0xC1, sof);
  Bytes dht = {0x00};
  for (int len = 1; len <= 16; ++len) dht.push_back(len == 5 ? 16 : 0);
  for (int k = 0; k < 16; ++k) dht.push_back(uint8_t(k));
  Bytes ac_symbols = {0x00, 0xF0};
  for (int r = 0; r < 16; ++r)
    for (int z = 1; z <= 14; ++z) ac_symbols.push_back(uint8_t(r << 4 | z));
  dht.push_back(0x10);
  for (int len = 1; len <= 16; ++len) dht.push_back(len == 8 ? uint8_t(ac_symbols.size()) : 0);
  dht.insert(dht.end(), ac_symbols.begin(), ac_symbols.end());
  segment(out, 0xC4, dht);
  if (s.restart_mcus) segment(out, 0xDD, {uint8_t(s.restart_mcus >> 8), uint8_t(s.restart_mcus)});
  auto ac_index = [&](int r, int z) { return z == 0 ? (r == 15 ? 1 : 0) : 2 + r * 14 + (z - 1); };

  auto code_ac = [&](BitWriter& bw, const int32_t* coef) {
    int run = 0;
    for (int k = 1; k < 64; ++k) {
      if (coef[k] == 0) {
        ++run;
        continue;
      }
      while (run > 15) {
        bw.put(uint32_t(ac_index(15, 0)), 8);
        run -= 16;
      }
      const int z = category_of(coef[k]);
      bw.put(uint32_t(ac_index(run, z)), 8);
      put_value(bw, coef[k], z);
      run = 0;
    }
    if (run) bw.put(uint32_t(ac_index(0, 0)), 8);
  };
  // One scan: comps listed, what each block contributes.
  auto scan = [&](const std::vector<int>& list, int ss, int se, int ah, int al, bool dc_only_refine) {
    Bytes sos = {uint8_t(list.size())};
    for (int c : list) {
      sos.push_back(uint8_t(c + 1));
      sos.push_back(0x00);
    }
    sos.push_back(uint8_t(ss));
    sos.push_back(uint8_t(se));
    sos.push_back(uint8_t(ah << 4 | al));
    segment(out, 0xDA, sos);
    BitWriter bw;
    int32_t pred[3] = {0, 0, 0};
    int countdown = s.restart_mcus, marker = 0;
    auto block = [&](int c, int bx, int by) {
      const int32_t* coef = &coefs[c][(size_t(by) * (mcu_cols * m.h[c]) + bx) * 64];
      if (ss == 0) {
        if (dc_only_refine) {
          bw.put(uint32_t(coef[0]) & 1, 1);
        } else {
          const int32_t dc = coef[0] >> al;
          const int32_t diff = dc - pred[c];
          pred[c] = dc;
          const int z = category_of(diff);
          bw.put(uint32_t(z), 5);
          put_value(bw, diff, z);
        }
      }
      if (se > 0) code_ac(bw, coef);
    };
    auto restart_step = [&]() {
      if (!s.restart_mcus || --countdown) return;
      bw.flush();
      bw.out.push_back(0xFF);
      bw.out.push_back(uint8_t(0xD0 + (marker++ & 7)));
      countdown = s.restart_mcus;
      pred[0] = pred[1] = pred[2] = 0;
    };
    if (list.size() == 1) {
      const int c = list[0];
      const int cw = (s.width * m.h[c] + m.hmax - 1) / m.hmax, ch = (s.height * m.v[c] + m.vmax - 1) / m.vmax;
      const int cols = (cw + 7) / 8, rows = (ch + 7) / 8;
      for (int by = 0; by < rows; ++by)
        for (int bx = 0; bx < cols; ++bx) {
          block(c, bx, by);
          if (!(by == rows - 1 && bx == cols - 1)) restart_step();
        }
    } else {
      for (int my = 0; my < mcu_rows; ++my)
        for (int mx = 0; mx < mcu_cols; ++mx) {
          for (int c : list)
            for (int y = 0; y < m.v[c]; ++y)
              for (int x = 0; x < m.h[c]; ++x) block(c, mx * m.h[c] + x, my * m.v[c] + y);
          if (!(my == mcu_rows - 1 && mx == mcu_cols - 1)) restart_step();
        }
    }
    bw.flush();
    out.insert(out.end(), bw.out.begin(), bw.out.end());
  };
  std::vector<int> all;
  for (int c = 0; c < s.comps; ++c) all.push_back(c);
  if (!s.progressive) {
    scan(all, 0, 63, 0, 0, false);
  } else {
    scan(all, 0, 0, 0, 1, false);
    for (int c = 0; c < s.comps; ++c) scan({c}, 1, 63, 0, 0, false);
    scan(all, 0, 0, 1, 0, true);
  }
  out.push_back(0xFF);
  out.push_back(0xD9);
  return m;
}

uint16_t widen(double v12) {
  const int32_t v = int32_t(std::clamp(std::lround(v12), 0L, 4095L));
  return uint16_t(v << 4 | v >> 8);
}

// The picture the samples make, in 16-bit samples: R, G, B per pixel.
std::vector<uint16_t> expected(const DeepLayout& s, const Made& m) {
  std::vector<uint16_t> rgb;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      double c[3];
      for (int k = 0; k < s.comps; ++k)
        c[k] = m.planes[k][size_t(y * m.v[k] / m.vmax) * m.plane_width[k] + x * m.h[k] / m.hmax];
      if (s.comps == 1) {
        rgb.insert(rgb.end(), {widen(c[0]), widen(c[0]), widen(c[0])});
      } else {
        const double cb = c[1] - 2048, cr = c[2] - 2048;
        rgb.insert(rgb.end(), {widen(c[0] + 1.402 * cr), widen(c[0] - 0.344136286 * cb - 0.714136286 * cr),
                               widen(c[0] + 1.772 * cb)});
      }
    }
  return rgb;
}

void check_made(const DeepLayout& s, const std::string& what) {
  const Made m = make_deep(s);
  EXPECT_EQ(jpeg_sample_depth(m.jpeg.data(), int32_t(m.jpeg.size())), 12);
  const Wide got = decode_wide(m.jpeg, s.width, s.height);
  ASSERT_EQ(got.result, 0) << what;
  EXPECT_EQ(got.info.incomplete, 0) << what;
  EXPECT_EQ(got.info.source_color_type, s.comps == 1 ? 0 : 2) << what;
  EXPECT_EQ(got.info.source_bit_depth, 16) << what;
  const std::vector<uint16_t> want = expected(s, m);
  // One 12-bit step is 16 here; colour conversion spreads the luma and
  // chroma rounding over up to three steps.
  const int tolerance = s.comps == 1 ? 2 * 16 + 1 : 5 * 16 + 1;
  double total = 0;
  for (int i = 0; i < s.width * s.height; ++i) {
    ASSERT_EQ(got.samples[size_t(i) * 4 + 3], 0xFFFF) << what;
    for (int k = 0; k < 3; ++k) {
      const int d = std::abs(int(got.samples[size_t(i) * 4 + k]) - int(want[size_t(i) * 3 + k]));
      ASSERT_LE(d, tolerance) << what << " pixel " << i % s.width << "," << i / s.width << " sample " << k;
      total += d;
    }
  }
  EXPECT_LT(total / (s.width * s.height * 3), 16.0) << what << ": on average within one 12-bit step";
  // Flat white and black blocks come out exact: white is 65535.
  if (s.comps == 1) {
    EXPECT_EQ(got.samples[0], 65535) << what;
    EXPECT_EQ(got.samples[size_t(9) * 4], 0) << what;
  }
}

TEST(JpegDeepMade, SequentialAndProgressive) {
  DeepLayout gray;
  check_made(gray, "gray sequential");
  gray.progressive = true;
  check_made(gray, "gray progressive");
  DeepLayout colour;
  colour.comps = 3;
  check_made(colour, "YCbCr 4:4:4 sequential");
  colour.progressive = true;
  check_made(colour, "YCbCr 4:4:4 progressive");
  DeepLayout sampled = colour;
  sampled.h0 = 2;
  sampled.v0 = 2;
  check_made(sampled, "YCbCr 4:2:0 progressive");
  sampled.progressive = false;
  sampled.restart_mcus = 3;
  check_made(sampled, "YCbCr 4:2:0 sequential, restart every 3 MCUs");
  DeepLayout wide_luma = colour;
  wide_luma.h0 = 2;
  wide_luma.progressive = false;
  check_made(wide_luma, "YCbCr 4:2:2 sequential");
}

TEST(JpegDeepMade, PlacedAndClippedLikeTheWholeDecode) {
  DeepLayout s;
  s.comps = 3;
  s.h0 = 2;
  const Made m = make_deep(s);
  const Wide whole = decode_wide(m.jpeg, s.width, s.height);
  ASSERT_EQ(whole.result, 0);
  const int w = s.width - 5, h = s.height;
  const Wide moved = decode_wide(m.jpeg, w, h, -3, 4);
  ASSERT_EQ(moved.result, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < 4; ++k) {
        const uint16_t want = y < 4 ? 0 : whole.samples[(size_t(y - 4) * s.width + x + 3) * 4 + k];
        ASSERT_EQ(moved.samples[(size_t(y) * w + x) * 4 + k], want) << x << "," << y;
      }
}

TEST(JpegDeepMade, OrdinaryDecodeRefusesAndSaysWhy) {
  const Made m = make_deep(DeepLayout{});
  std::vector<uint32_t> pixels(37 * 29);
  SourceInfo info{};
  EXPECT_EQ(decode_picture(m.jpeg.data(), int32_t(m.jpeg.size()), DecodeTarget{pixels.data(), 37 * 4, 37, 29, 0, 0},
                           info),
            -1);
  ASSERT_NE(info.refusal, nullptr);
  EXPECT_EQ(picture_sample_depth(m.jpeg.data(), int32_t(m.jpeg.size())), 16);
}

TEST(JpegDeepMade, CutShortIsIncomplete) {
  DeepLayout s;
  s.height = 64;
  const Made m = make_deep(s);
  const Bytes cut(m.jpeg.begin(), m.jpeg.begin() + long(m.jpeg.size() * 2 / 3));
  const Wide got = decode_wide(cut, s.width, s.height);
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(got.info.incomplete, 1);
  EXPECT_LT(got.info.decoded_rows, s.height);
  EXPECT_GT(got.info.decoded_rows, 8);
}

// Damaged copies decode or are refused without reading or writing outside
// their buffers (the sanitizer build watches).
TEST(JpegDeepMade, DamagedDataStaysInBounds) {
  DeepLayout s;
  s.comps = 3;
  s.h0 = 2;
  s.v0 = 2;
  s.progressive = true;
  const Made m = make_deep(s);
  uint32_t state = 5;
  for (int round = 0; round < 300; ++round) {
    Bytes b = m.jpeg;
    for (int i = 0; i <= round % 3; ++i) {
      state = state * 1103515245u + 12345u;
      b[2 + (state >> 8) % (b.size() - 2)] = uint8_t(state >> 3);
    }
    if (round % 4 == 0) b.resize(2 + (state >> 4) % (b.size() - 2));
    int32_t w = 0, h = 0;
    probe_picture(b.data(), int32_t(b.size()), &w, &h);
    if (w < 1 || h < 1 || int64_t(w) * h > 1 << 20) continue;
    decode_wide(b, w, h, round % 3 - 1, 1 - round % 3);
  }
}

// Files libjpeg codes at 8 bits, their frame header then saying 12: the same
// coefficients describe samples 2048 - 128 higher, so each 12-bit sample is
// libjpeg's 8-bit one plus 1920 (where the 8-bit one is not clamped). This
// carries every coding libjpeg writes, arithmetic coding included, into the
// deep decode.
TEST(JpegDeepMade, RelabelledEightBitCodingsDecodeAsLibjpegs) {
  struct Case {
    const char* what;
    JpegMakeOptions options;
  };
  std::vector<Case> cases;
  JpegMakeOptions o;
  cases.push_back({"Huffman 4:2:0", o});
  o.arithmetic = true;
  cases.push_back({"arithmetic 4:2:0", o});
  o.progressive = true;
  o.h0 = 2;
  o.v0 = 1;
  o.restart_interval = 2;
  cases.push_back({"arithmetic progressive 4:2:2 with restarts", o});
  o.arithmetic = false;
  cases.push_back({"Huffman progressive 4:2:2 with restarts", o});
  JpegMakeOptions gray;
  gray.components = 1;
  gray.h0 = gray.v0 = 1;
  gray.arithmetic = true;
  cases.push_back({"arithmetic gray", gray});
  for (const Case& c : cases) {
    const int w = 45, h = 27;
    const Bytes made = jpeg_make(jpeg_test_samples(w, h, c.options.components), w, h, c.options);
    ASSERT_FALSE(made.empty()) << c.what;
    JpegReference ref;
    ASSERT_TRUE(jpeg_reference_decode(made, &ref)) << c.what;
    Bytes deep = made;
    for (size_t i = 2; i + 4 < deep.size(); ++i)
      if (deep[i] == 0xFF && (deep[i + 1] == 0xC0 || deep[i + 1] == 0xC2 || deep[i + 1] == 0xC9 ||
                              deep[i + 1] == 0xCA)) {
        ASSERT_EQ(deep[i + 4], 8);
        deep[i + 4] = 12;
        break;
      }
    const Wide got = decode_wide(deep, w, h);
    ASSERT_EQ(got.result, 0) << c.what;
    EXPECT_EQ(got.info.incomplete, 0) << c.what;
    int compared = 0;
    for (int i = 0; i < w * h; ++i)
      for (int k = 0; k < 3; ++k) {
        const int v8 = int(ref.pixels[size_t(i)] >> (16 - 8 * k)) & 0xFF;
        if (v8 == 0 || v8 == 255) continue;
        const int v12 = got.samples[size_t(i) * 4 + k] >> 4;
        // The transforms may round one step apart, and blue weighs a
        // chroma step 1.77 times.
        ASSERT_NEAR(v12, v8 + 1920, c.options.components == 1 ? 1 : 3) << c.what << " pixel " << i % w << "," << i / w << " sample " << k;
        ++compared;
      }
    EXPECT_GT(compared, w * h * 2) << c.what;
  }
}

// With smooth chroma ("-u") the 12-bit decode interpolates subsampled
// chroma as libjpeg's default upsampling does: the relabelled files again,
// against libjpeg's smoothed 8-bit decode plus 1920, and against the
// nearest-sample decode, which they must differ from.
TEST(JpegDeepMade, SmoothChromaInterpolatesAsLibjpeg) {
  struct Case {
    const char* what;
    JpegMakeOptions options;
  };
  std::vector<Case> cases;
  JpegMakeOptions o;
  cases.push_back({"Huffman 4:2:0", o});
  o.h0 = 2;
  o.v0 = 1;
  o.progressive = true;
  cases.push_back({"Huffman progressive 4:2:2", o});
  o.arithmetic = true;
  o.progressive = false;
  o.h0 = o.v0 = 2;
  o.restart_interval = 3;
  cases.push_back({"arithmetic 4:2:0 with restarts", o});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int w = 45, h = 27;
    const Bytes made = jpeg_make(jpeg_test_samples(w, h, 3), w, h, c.options);
    ASSERT_FALSE(made.empty());
    JpegReference ref;
    ASSERT_TRUE(jpeg_reference_decode(made, &ref, true));
    Bytes deep = made;
    for (size_t i = 2; i + 4 < deep.size(); ++i)
      if (deep[i] == 0xFF && (deep[i + 1] == 0xC0 || deep[i + 1] == 0xC2 || deep[i + 1] == 0xC9)) {
        deep[i + 4] = 12;
        break;
      }
    std::vector<uint16_t> smooth(size_t(w) * h * 4, 0);
    std::vector<uint32_t> unused(size_t(w) * h);
    SourceInfo info{};
    DecodeTarget target{unused.data(), w * 4, w, h, 0, 0};
    target.smooth_chroma = true;
    ASSERT_EQ(decode_jpeg_wide(deep.data(), int32_t(deep.size()), target, smooth.data(), info), 0);
    const Wide nearest = decode_wide(deep, w, h);
    ASSERT_EQ(nearest.result, 0);
    int compared = 0, differ = 0;
    for (int i = 0; i < w * h; ++i)
      for (int k = 0; k < 3; ++k) {
        const int v8 = int(ref.pixels[size_t(i)] >> (16 - 8 * k)) & 0xFF;
        differ += smooth[size_t(i) * 4 + k] != nearest.samples[size_t(i) * 4 + k];
        if (v8 == 0 || v8 == 255) continue;
        ASSERT_NEAR(smooth[size_t(i) * 4 + k] >> 4, v8 + 1920, 3) << "pixel " << i % w << "," << i / w << " sample " << k;
        ++compared;
      }
    EXPECT_GT(compared, w * h * 2);
    EXPECT_GT(differ, w * h / 4);
  }
}

TEST(JpegDeepCorpus, TwelveBitPhotoDecodesWhole) {
  const Bytes jpeg = read_file(std::string(TESSEL_CORPUS_DIR) + "/jpeg/libjpeg-turbo/monkey12.jpg");
  int32_t w = 0, h = 0;
  probe_picture(jpeg.data(), int32_t(jpeg.size()), &w, &h);
  ASSERT_EQ(w, 149);
  ASSERT_EQ(h, 227);
  const Wide got = decode_wide(jpeg, w, h);
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(got.info.incomplete, 0);
  EXPECT_EQ(got.info.source_color_type, 2);
  // A photo: every sample used from dark to light, and colour in it.
  uint16_t low = 65535, high = 0;
  int64_t colourful = 0;
  for (size_t i = 0; i < got.samples.size(); i += 4) {
    low = std::min({low, got.samples[i], got.samples[i + 1], got.samples[i + 2]});
    high = std::max({high, got.samples[i], got.samples[i + 1], got.samples[i + 2]});
    colourful += std::abs(int(got.samples[i]) - int(got.samples[i + 2])) > 4096;
  }
  EXPECT_LT(low, 4096);
  EXPECT_GT(high, 50000);
  EXPECT_GT(colourful, 100);
}

TEST(JpegDeepTool, TwelveBitBecomesSixteenBitPng) {
  DeepLayout s;
  s.comps = 3;
  const Made m = make_deep(s);
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("deep.jpg"), m.jpeg));
  const CommandResult r = run_tool(dir, {"-s4", "-y", "deep.jpg", "deep.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  OraclePicture16 got;
  std::string error;
  ASSERT_TRUE(libpng_decode16(read_file(dir.file("deep.png")), &got, &error)) << error;
  EXPECT_EQ(got.bit_depth, 16);
  const Wide want = decode_wide(m.jpeg, s.width, s.height);
  EXPECT_EQ(got.samples, want.samples);
}

}  // namespace

// The integer inverse transform against the textbook definition, and the
// colour store's shortcuts against its general loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "decode/jpeg_idct.h"

namespace {

uint32_t rng_state = 1;
uint32_t next_random() {
  rng_state = rng_state * 1664525u + 1013904223u;
  return rng_state >> 8;
}

// Multiplier of natural position (row, col) for a quantisation step of 1:
// the scale factors the integer transform leaves out, at 2^19 per unit.
double multiplier(int row, int col) {
  auto s = [](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * std::numbers::pi / 16); };
  return 524288.0 * s(row) * s(col);
}

// The 8 x 8 inverse DCT as the JPEG definition states it.
void reference_idct(const double* coef, double* out) {
  for (int y = 0; y < 8; y++) {
    for (int x = 0; x < 8; x++) {
      double sum = 0;
      for (int v = 0; v < 8; v++) {
        for (int u = 0; u < 8; u++) {
          const double cu = u ? 1 : std::sqrt(0.5), cv = v ? 1 : std::sqrt(0.5);
          sum += cu * cv * coef[v * 8 + u] * std::cos((2 * x + 1) * u * std::numbers::pi / 16) *
                 std::cos((2 * y + 1) * v * std::numbers::pi / 16);
        }
      }
      out[y * 8 + x] = sum / 4;
    }
  }
}

struct IdctCase {
  const char* name;
  int nonzero;    // coefficients set
  int magnitude;  // largest absolute coefficient; outputs stay inside the 32-bit range
  int max_row;    // rows that may be set: 0..max_row
};

class Idct : public testing::TestWithParam<IdctCase> {};

TEST_P(Idct, MatchesTheDefinition) {
  const IdctCase& c = GetParam();
  rng_state = 7;
  for (int round = 0; round < 200; round++) {
    double coef[64] = {};
    int32_t block[64] = {};
    uint32_t mask = 1;
    for (int i = 0; i < c.nonzero; i++) {
      const int row = int(next_random() % uint32_t(c.max_row + 1)), col = int(next_random() % 8);
      const int value = int(next_random() % uint32_t(2 * c.magnitude + 1)) - c.magnitude;
      coef[row * 8 + col] = value;
      mask |= 1u << row;
    }
    for (int n = 0; n < 64; n++) block[n] = int32_t(std::lround(coef[n] * multiplier(n >> 3, n & 7)));
    double want[64];
    reference_idct(coef, want);
    int32_t all_rows[64];
    std::memcpy(all_rows, block, sizeof block);
    jpeg_idct(block, mask);
    jpeg_idct(all_rows, 0xFF);
    for (int n = 0; n < 64; n++) {
      ASSERT_NEAR(block[n] / 4194304.0, want[n], 0.02 + c.magnitude * 1e-4)
          << "round " << round << " at " << n;
      // Rows outside the mask are zero, so skipping them changes nothing.
      ASSERT_EQ(block[n], all_rows[n]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Jpeg, Idct,
                         testing::Values(IdctCase{"dc_only", 1, 1000, 0}, IdctCase{"first_row", 6, 300, 0},
                                         IdctCase{"sparse", 5, 200, 7}, IdctCase{"dense", 64, 100, 7},
                                         IdctCase{"near_the_limit", 6, 600, 3}),
                         [](const testing::TestParamInfo<IdctCase>& i) { return std::string(i.param.name); });

// A block holding the flat sample value s at luma (<< 22) or chroma (<< 16) scale.
void flat(int32_t* block, int sample, int shift) {
  for (int i = 0; i < 64; i++) block[i] = int32_t(uint32_t(sample - 128) << shift);
}

JpegOutput output_for(std::vector<uint32_t>& target, int width, int height, int h, int v, bool chroma) {
  JpegOutput o{};
  o.pixels = target.data();
  o.pitch = width * 4;
  o.clip_width = width;
  o.clip_height = height;
  o.h_blocks = h;
  o.v_blocks = v;
  for (int j = 0; j < 2; j++) {
    o.chroma_block[j] = chroma ? h * v + j : -1;
    o.chroma_h_blocks[j] = 1;
    o.chroma_shift_h[j] = h == 2 ? 1 : 0;
    o.chroma_shift_v[j] = v == 2 ? 1 : 0;
  }
  return o;
}

TEST(JpegStore, ColourConversion) {
  struct Case {
    int y, cb, cr;
    uint32_t want;
  };
  const Case cases[] = {
      {0, 128, 128, 0xFF000000},   {255, 128, 128, 0xFFFFFFFF}, {77, 128, 128, 0xFF4D4D4D},
      {76, 85, 255, 0xFFFE0000},   {150, 44, 21, 0xFF00FF01},   {29, 255, 107, 0xFF0000FE},
      {128, 255, 255, 0xFFFF00FF}, {128, 0, 0, 0xFF00FF00},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> target(64);
    int32_t mcu[64 * kJpegMcuBlocks];
    flat(mcu, c.y, 22);
    flat(mcu + 64, c.cb, 16);
    flat(mcu + 128, c.cr, 16);
    jpeg_store_mcu(output_for(target, 8, 8, 1, 1, true), mcu, 0, 0);
    for (uint32_t p : target) {
      // Within one step of the exact JFIF conversion in every channel.
      for (int s = 0; s < 24; s += 8) ASSERT_NEAR(int(p >> s & 0xFF), int(c.want >> s & 0xFF), 1) << c.y;
      ASSERT_EQ(p >> 24, 0xFFu);
    }
  }
}

TEST(JpegStore, SaturatesAndStaysInsideTheTables) {
  const int32_t extremes[] = {INT32_MIN, -(200 << 22), -(129 << 22), 128 << 22, 300 << 22, INT32_MAX};
  for (int32_t luma : extremes) {
    for (int32_t chroma : extremes) {
      std::vector<uint32_t> target(64);
      int32_t mcu[64 * kJpegMcuBlocks];
      for (int i = 0; i < 64; i++) mcu[i] = luma;
      for (int i = 64; i < 192; i++) mcu[i] = chroma;
      jpeg_store_mcu(output_for(target, 8, 8, 1, 1, true), mcu, 0, 0);
      ASSERT_EQ(target[0] >> 24, 0xFFu);
    }
  }
  // Luma beyond the sample range saturates (up to 512 units away).
  std::vector<uint32_t> target(64);
  int32_t mcu[64 * kJpegMcuBlocks];
  for (int i = 0; i < 64; i++) mcu[i] = int32_t(uint32_t(i < 32 ? 300 : -300) << 22);
  jpeg_store_mcu(output_for(target, 8, 8, 1, 1, false), mcu, 0, 0);
  EXPECT_EQ(target[0], 0xFFFFFFFFu);
  EXPECT_EQ(target[63], 0xFF000000u);
}

struct Layout {
  const char* name;
  int h, v;
  bool chroma;
};

class StoreLayout : public testing::TestWithParam<Layout> {};

// The 8-wide shortcuts and the general loop agree pixel for pixel, at every
// placement and clip, and nothing outside the clip rectangle is written.
TEST_P(StoreLayout, ShortcutsEqualTheGeneralLoop) {
  const Layout& l = GetParam();
  rng_state = 3;
  const int width = 40, height = 36;
  int32_t mcu[64 * kJpegMcuBlocks];
  for (int32_t& s : mcu) s = int32_t(next_random() << 9);
  for (int mcu_x : {0, 8, 16, 24, 37}) {
    for (int mcu_y : {0, 8, 27, 35}) {
      for (int dx : {0, -3, 5}) {
        std::vector<uint32_t> a(size_t(width * height), 0x11111111), b = a;
        JpegOutput oa = output_for(a, width, height, l.h, l.v, l.chroma);
        JpegOutput ob = output_for(b, width, height, l.h, l.v, l.chroma);
        for (JpegOutput* o : {&oa, &ob}) {
          o->x_offset = dx;
          o->clip_left = std::max(0, dx);
          o->clip_width = std::min(width - 2, dx + 38);
        }
        jpeg_store_mcu(oa, mcu, mcu_x, mcu_y);
        jpeg_store_mcu_general(ob, mcu, mcu_x, mcu_y);
        ASSERT_EQ(a, b) << mcu_x << "," << mcu_y << " offset " << dx;
        for (int y = 0; y < height; y++) {
          for (int x = 0; x < width; x++) {
            const int px = x - dx;
            const bool inside = x >= oa.clip_left && x < oa.clip_width && px >= mcu_x &&
                                px < mcu_x + 8 * l.h && y >= mcu_y && y < mcu_y + 8 * l.v;
            ASSERT_EQ(a[size_t(y * width + x)] != 0x11111111u, inside) << x << "," << y;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Jpeg, StoreLayout,
                         testing::Values(Layout{"gray", 1, 1, false}, Layout{"gray_2x2", 2, 2, false},
                                         Layout{"ycc444", 1, 1, true}, Layout{"ycc422", 2, 1, true},
                                         Layout{"ycc420", 2, 2, true}, Layout{"ycc440", 1, 2, true}),
                         [](const testing::TestParamInfo<Layout>& i) { return std::string(i.param.name); });

}  // namespace

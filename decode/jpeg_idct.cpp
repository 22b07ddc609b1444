#include "decode/jpeg_idct.h"

#include <algorithm>

namespace {

// The transform works in wrapping 32-bit arithmetic: hostile coefficients may
// overflow, and the clamp tables read the result modulo 2^32 anyway.
constexpr int32_t kSqrt2 = 0x5A827980;    // 4 * (this / 2^32) = sqrt(2)
constexpr int32_t kTwoCos1 = 0x7641AF40;  // 4 * ... = 2 cos(pi/8)
constexpr int32_t kCosDiff = 0x4545EA00;  // 4 * ... = 1.082392
constexpr int32_t kCosSum = 0x539EBA40;   // 8 * ... = 2.613126

inline uint32_t mul_high(uint32_t x, int32_t k) { return uint32_t((int64_t(int32_t(x)) * k) >> 32); }

// One 8-point pass of the scaled transform; the scale factors it leaves out
// were folded into the dequantisation multipliers.
inline void idct_8(uint32_t* p, int stride) {
  const uint32_t x0 = p[0], x1 = p[stride], x2 = p[2 * stride], x3 = p[3 * stride];
  const uint32_t x4 = p[4 * stride], x5 = p[5 * stride], x6 = p[6 * stride], x7 = p[7 * stride];
  const uint32_t o = x2 + x6, t = x0 + x4, u = x1 + x7 + x5 + x3;
  const uint32_t v = 4 * mul_high(x5 + x1 - x3 - x7, kTwoCos1);
  const uint32_t d = 4 * mul_high(x2 - x6, kSqrt2) - o;
  const uint32_t f = x0 - x4;
  const uint32_t u2 = v + 8 * mul_high(x3 - x5, kCosSum) - u;
  const uint32_t g = 4 * mul_high(x1 + x7 - x5 - x3, kSqrt2) - u2;
  const uint32_t g2 = g + 4 * mul_high(x1 - x7, kCosDiff) - v;
  p[0] = o + t + u;
  p[7 * stride] = o + t - u;
  p[stride] = d + f + u2;
  p[6 * stride] = d + f - u2;
  p[2 * stride] = f - d + g;
  p[5 * stride] = f - d - g;
  p[4 * stride] = t - o + g2;
  p[3 * stride] = t - o - g2;
}

// Saturation and channel placement in one lookup: the index is the top ten
// bits of a sum in units of 2^22, read as a signed value -512..511.
struct ColourTables {
  uint32_t clamp_blue[1024];
  uint32_t clamp_green[1024];
  uint32_t clamp_red[1024];  // carries the alpha byte, so a pixel is one sum of three lookups
  // Chroma contributions indexed by 4 * chroma value + 1024, JFIF factors times 2^20.
  struct {
    uint32_t red, green;
  } cr_table[2048];
  struct {
    uint32_t green, blue;
  } cb_table[2048];
};

// Built by the compiler, so that no table is written at run time.
constexpr ColourTables build_colour_tables() {
  ColourTables t{};
  for (int i = 0; i < 1024; i++) {
    uint32_t b;
    if (i < 128)
      b = uint32_t(i + 128);
    else if (i < 512)
      b = 255;
    else if (i < 896)
      b = 0;
    else
      b = uint32_t(i - 896);
    t.clamp_blue[i] = b;
    t.clamp_green[i] = b << 8;
    t.clamp_red[i] = (b << 16) + 0xFF000000u;
  }
  for (int i = 0; i < 2048; i++) {
    const int32_t q = i - 1024;
    t.cr_table[i] = {uint32_t(q * 1470104), uint32_t(-q * 748830)};
    t.cb_table[i] = {uint32_t(-q * 360857), uint32_t(q * 1858077)};
  }
  return t;
}

constexpr ColourTables kColourTables = build_colour_tables();

const ColourTables& colour_tables() { return kColourTables; }

const int32_t zero_chroma[64] = {};

// Chroma after the transform is (value - 128) << 16; >> 14 gives four times
// the value. Overflowing blocks must not index outside the tables.
inline uint32_t chroma_index(int32_t c) { return uint32_t(std::clamp(c >> 14, -1024, 1023) + 1024); }

inline uint32_t to_pixel(const ColourTables& t, uint32_t y, uint32_t cb, uint32_t cr) {
  return t.clamp_red[(y + t.cr_table[cr].red) >> 22] +
         t.clamp_green[(y + t.cr_table[cr].green + t.cb_table[cb].green) >> 22] +
         t.clamp_blue[(y + t.cb_table[cb].blue) >> 22];
}

void store(const JpegOutput& out, const int32_t* mcu, int32_t mcu_x, int32_t mcu_y, bool shortcuts) {
  const ColourTables& t = colour_tables();
  int sh[2], sv[2];
  for (int j = 0; j < 2; j++) {
    sh[j] = out.chroma_block[j] < 0 ? 0 : out.chroma_shift_h[j];
    sv[j] = out.chroma_block[j] < 0 ? 0 : out.chroma_shift_v[j];
  }
  uint8_t* const base = reinterpret_cast<uint8_t*>(out.pixels);
  for (int br = 0; br < out.v_blocks; br++) {
    const int64_t ty = int64_t(mcu_y) + 8 * br + out.y_offset;
    const int64_t y0 = std::max<int64_t>(0, out.clip_top - ty);
    const int64_t y1 = std::min<int64_t>(8, out.clip_height - ty);
    if (y0 >= y1) continue;
    for (int bc = 0; bc < out.h_blocks; bc++) {
      const int64_t tx = int64_t(mcu_x) + 8 * bc + out.x_offset;
      const int64_t x0 = std::max<int64_t>(0, out.clip_left - tx);
      const int64_t x1 = std::min<int64_t>(8, out.clip_width - tx);
      if (x0 >= x1) continue;
      const int32_t* luma = mcu + 64 * (br * out.h_blocks + bc);
      const bool full = shortcuts && x0 == 0 && x1 == 8 && sh[0] == sh[1];
      for (int64_t y = y0; y < y1; y++) {
        uint32_t* row = reinterpret_cast<uint32_t*>(base + (ty + y) * out.pitch) + tx;
        const uint32_t* lrow = reinterpret_cast<const uint32_t*>(luma + 8 * y);
        // The chroma samples of this pixel row of the block: a luma block
        // never straddles two chroma blocks, so one pointer per component.
        const int32_t* crow[2];
        for (int j = 0; j < 2; j++) {
          if (out.chroma_block[j] < 0) {
            crow[j] = zero_chroma;
            continue;
          }
          const int cy = (8 * br + int(y)) >> sv[j], cx = (8 * bc) >> sh[j];
          const int block = out.chroma_block[j] + (cy >> 3) * out.chroma_h_blocks[j] + (cx >> 3);
          crow[j] = mcu + 64 * block + 8 * (cy & 7) + (cx & 7);
        }
        const int32_t* cbrow = crow[0];
        const int32_t* crrow = crow[1];
        if (full && sh[0] == 0) {
          for (int x = 0; x < 8; x++)
            row[x] = to_pixel(t, lrow[x], chroma_index(cbrow[x]), chroma_index(crrow[x]));
        } else if (full && sh[0] == 1) {
          // One chroma sample serves a pixel pair.
          for (int x = 0; x < 4; x++) {
            const uint32_t cbi = chroma_index(cbrow[x]), cri = chroma_index(crrow[x]);
            row[2 * x] = to_pixel(t, lrow[2 * x], cbi, cri);
            row[2 * x + 1] = to_pixel(t, lrow[2 * x + 1], cbi, cri);
          }
        } else {
          for (int64_t x = x0; x < x1; x++)
            row[x] = to_pixel(t, lrow[x], chroma_index(cbrow[x >> sh[0]]), chroma_index(crrow[x >> sh[1]]));
        }
      }
    }
  }
}

}  // namespace

void jpeg_idct(int32_t* block, uint32_t row_mask) {
  uint32_t* b = reinterpret_cast<uint32_t*>(block);
  for (int r = 0; r < 8; r++)
    if (row_mask & (1u << r)) idct_8(b + 8 * r, 1);
  if ((row_mask & 0xFE) == 0) {
    // A column whose only input is its first value comes out flat: the
    // transform of (x0, 0, ..., 0) is x0 everywhere, exactly.
    for (int r = 1; r < 8; r++)
      for (int c = 0; c < 8; c++) b[8 * r + c] = b[c];
    return;
  }
  for (int c = 0; c < 8; c++) idct_8(b + c, 8);
}

void jpeg_store_mcu(const JpegOutput& out, const int32_t* mcu, int32_t mcu_x, int32_t mcu_y) {
  store(out, mcu, mcu_x, mcu_y, true);
}

void jpeg_store_mcu_general(const JpegOutput& out, const int32_t* mcu, int32_t mcu_x, int32_t mcu_y) {
  store(out, mcu, mcu_x, mcu_y, false);
}

#include "decode/jpeg_render.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Zigzag {
  uint8_t order[64];  // natural position of the k-th zigzag coefficient
  constexpr Zigzag() : order{} {
    int k = 0;
    for (int d = 0; d < 15; d++)
      for (int i = 0; i < 8; i++) {
        const int r = (d & 1) ? i : 7 - i;
        const int c = d - r;
        if (c >= 0 && c <= 7) order[k++] = uint8_t(r * 8 + c);
      }
  }
};
constexpr Zigzag kZigzag;
static_assert(kZigzag.order[1] == 1 && kZigzag.order[2] == 8 && kZigzag.order[63] == 63);

uint8_t clamp_sample(int32_t v) { return uint8_t(std::clamp(v, 0, 255)); }

// ITU-R BT.601 full range, the JFIF conversion, in 16-bit fixed point.
void ycc_to_rgb(int32_t y, int32_t cb, int32_t cr, int32_t rgb[3]) {
  cb -= 128;
  cr -= 128;
  rgb[0] = std::clamp(y + ((91881 * cr + 32768) >> 16), 0, 255);
  rgb[1] = std::clamp(y + ((-22554 * cb - 46802 * cr + 32768) >> 16), 0, 255);
  rgb[2] = std::clamp(y + ((116130 * cb + 32768) >> 16), 0, 255);
}

// a * b / 255, rounded.
uint32_t scale255(uint32_t a, uint32_t b) {
  const uint32_t t = a * b + 128;
  return ((t >> 8) + t) >> 8;
}


// One block's samples from its coefficients, 8 rows of 8 at dst.
void block_samples(const JpegFrameView::Component& k, const int16_t* coef, uint8_t* dst, int64_t stride) {
  alignas(64) int32_t block[64] = {};
  uint32_t mask = 0;
  for (int z = 0; z < 64; ++z) {
    if (coef[z] == 0) continue;
    const int n = kZigzag.order[z];
    block[n] = int32_t(uint32_t(int32_t(coef[z])) * uint32_t(k.quant[n]));
    mask |= 1u << (n >> 3);
  }
  jpeg_idct(block, mask | 1);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      dst[y * stride + x] = clamp_sample((int32_t(uint32_t(block[8 * y + x]) + (1u << 21)) >> 22) + 128);
}

// One opaque pixel from the samples of every component at its place.
uint32_t frame_pixel(const JpegFrameView& f, const int32_t s[4]) {
  switch (f.colour) {
    case JpegColour::kGray:
      return 0xFF000000u | uint32_t(s[0]) * 0x010101u;
    case JpegColour::kRgb:
      return 0xFF000000u | uint32_t(s[0]) << 16 | uint32_t(s[1]) << 8 | uint32_t(s[2]);
    case JpegColour::kYcc: {
      int32_t rgb[3];
      ycc_to_rgb(s[0], s[1], s[2], rgb);
      return 0xFF000000u | uint32_t(rgb[0]) << 16 | uint32_t(rgb[1]) << 8 | uint32_t(rgb[2]);
    }
    case JpegColour::kCmyk:
      return jpeg_cmyk_pixel(uint32_t(s[0]), uint32_t(s[1]), uint32_t(s[2]), uint32_t(s[3]), f.inverted);
    case JpegColour::kYcck:
    default: {
      // The first three components are the inks' complements coded as luma
      // and chroma.
      int32_t rgb[3];
      ycc_to_rgb(s[0], s[1], s[2], rgb);
      return jpeg_cmyk_pixel(uint32_t(255 - rgb[0]), uint32_t(255 - rgb[1]), uint32_t(255 - rgb[2]),
                             uint32_t(s[3]), f.inverted);
    }
  }
}

// How one component's samples spread over the picture's pixels.
struct Spread {
  int32_t fh, fv;       // pixels per sample across and down; 0 = not a whole number
  int64_t cols, rows;   // samples that hold picture content: the last ones stand for the edge
  bool interpolate;
};

Spread spread_of(const JpegFrameView& f, const JpegFrameView::Component& k) {
  Spread s{};
  s.cols = (int64_t(f.width) * k.h + f.h_max - 1) / f.h_max;
  s.rows = (int64_t(f.height) * k.v + f.v_max - 1) / f.v_max;
  if (f.h_max % k.h != 0 || f.v_max % k.v != 0) return s;
  s.fh = f.h_max / k.h;
  s.fv = f.v_max / k.v;
  // Halved components only two samples wide are repeated, as the
  // established decoders do: their triangle filter needs a third column.
  s.interpolate = (s.fh > 1 || s.fv > 1) && !(s.fh == 2 && s.fv <= 2 && s.cols <= 2);
  return s;
}

// Weights of the nearest sample and of its neighbour on the side the
// pixel's centre leans to, out of 2 * factor (out of 1 for a factor of 1):
// the linear interpolation between sample centres, which for a factor of 2
// is the familiar 3/4 and 1/4 triangle filter.
struct Tap {
  int64_t near, far;
  int32_t w_near, w_far;
  int32_t lean;  // -1, 0 or 1
};

Tap tap_of(int64_t pixel, int32_t factor, int64_t samples) {
  Tap t{};
  t.near = std::min(pixel / factor, samples - 1);
  if (factor == 1) {
    t.far = t.near;
    t.w_near = 1;
    return t;
  }
  const int32_t d = 2 * int32_t(pixel % factor) + 1 - factor;
  t.lean = d < 0 ? -1 : d > 0 ? 1 : 0;
  t.far = std::clamp<int64_t>(t.near + t.lean, 0, samples - 1);
  t.w_far = std::abs(d);
  t.w_near = 2 * factor - t.w_far;
  return t;
}

// The picture with every subsampled component interpolated between its
// sample centres instead of repeated. The whole sample planes are made
// first (block(component, coefficients, destination, stride) fills one
// block's 8 x 8 samples), as each pixel row may need the sample rows of two
// MCU rows; put(y, x, s) then takes each pixel's component samples. Sample
// is uint8_t for 8-bit pictures and uint16_t for 12-bit ones: the weights
// and the rounding are the same at either depth.
template <typename Sample, typename BlockFn, typename PutFn>
int32_t render_smooth(const JpegFrameView& f, int64_t px0, int64_t px1, int64_t py0, int64_t py1, BlockFn block,
                      PutFn put) {
  std::unique_ptr<Sample[]> plane[4];
  int64_t stride[4];
  Spread spread[4];
  for (int i = 0; i < f.comp_count; ++i) {
    const JpegFrameView::Component& k = f.comp[i];
    stride[i] = k.blocks_per_row * 8;
    const int64_t block_rows = f.mcu_rows * k.v;
    plane[i].reset(new (std::nothrow) Sample[size_t(stride[i] * 8 * block_rows)]);
    if (!plane[i]) return -1;
    for (int64_t by = 0; by < block_rows; ++by)
      for (int64_t bx = 0; bx < k.blocks_per_row; ++bx)
        block(k, k.coef + (by * k.blocks_per_row + bx) * 64, plane[i].get() + by * 8 * stride[i] + bx * 8,
              stride[i]);
    spread[i] = spread_of(f, k);
  }
  // Each component's samples along the current pixel row, px0 first; the
  // taps across are the same for every row.
  const int64_t span = px1 - px0;
  std::unique_ptr<Sample[]> line[4];
  std::unique_ptr<Tap[]> across[4];
  for (int i = 0; i < f.comp_count; ++i) {
    line[i].reset(new (std::nothrow) Sample[size_t(span)]);
    across[i].reset(new (std::nothrow) Tap[size_t(span)]);
    if (!line[i] || !across[i]) return -1;
    for (int64_t x = px0; x < px1; ++x) {
      Tap& t = across[i][x - px0];
      if (spread[i].interpolate) {
        t = tap_of(x, spread[i].fh, spread[i].cols);
      } else {
        t = Tap{};
        t.near = t.far = x * f.comp[i].h / f.h_max;
      }
    }
  }
  for (int64_t y = py0; y < py1; ++y) {
    for (int i = 0; i < f.comp_count; ++i) {
      const Spread& sp = spread[i];
      const Tap* taps = across[i].get();
      Sample* samples = line[i].get();
      if (!sp.interpolate) {
        const Sample* row = plane[i].get() + (y * f.comp[i].v / f.v_max) * stride[i];
        for (int64_t k = 0; k < span; ++k) samples[k] = row[taps[k].near];
        continue;
      }
      const Tap down = tap_of(y, sp.fv, sp.rows);
      const Sample* near_row = plane[i].get() + down.near * stride[i];
      const Sample* far_row = plane[i].get() + down.far * stride[i];
      const int32_t total = (sp.fh > 1 ? 2 * sp.fh : 1) * (sp.fv > 1 ? 2 * sp.fv : 1);
      for (int64_t k = 0; k < span; ++k) {
        const Tap& t = taps[k];
        const int32_t col_near = down.w_near * near_row[t.near] + down.w_far * far_row[t.near];
        const int32_t col_far = down.w_near * near_row[t.far] + down.w_far * far_row[t.far];
        // Rounding as the established decoders do for factors of 2, which
        // alternates between pixels so that no direction drifts.
        const bool rounds_down = sp.fv == 1 ? t.lean < 0 : sp.fh == 1 ? down.lean < 0 : t.lean > 0;
        samples[k] = Sample((t.w_near * col_near + t.w_far * col_far + total / 2 - (rounds_down ? 1 : 0)) / total);
      }
    }
    for (int64_t k = 0; k < span; ++k) {
      int32_t s[4] = {0, 0, 0, 0};
      for (int i = 0; i < f.comp_count; ++i) s[i] = line[i][k];
      put(y, px0 + k, s);
    }
  }
  return 0;
}

// The 8-bit picture, smoothed, into out.
int32_t render_smooth_pixels(const JpegFrameView& f, const JpegOutput& out, int64_t px0, int64_t px1, int64_t py0,
                             int64_t py1) {
  uint8_t* const base = reinterpret_cast<uint8_t*>(out.pixels);
  return render_smooth<uint8_t>(f, px0, px1, py0, py1, block_samples, [&](int64_t y, int64_t x, const int32_t* s) {
    uint32_t* target = reinterpret_cast<uint32_t*>(base + (y + out.y_offset) * out.pitch) + out.x_offset;
    target[x] = frame_pixel(f, s);
  });
}
}  // namespace

uint32_t jpeg_cmyk_pixel(uint32_t c, uint32_t m, uint32_t y, uint32_t k, bool inverted) {
  if (inverted) {
    c = 255 - c;
    m = 255 - m;
    y = 255 - y;
    k = 255 - k;
  }
  // Subtractive inks: each colour is what its ink and the black leave of white.
  const uint32_t white = 255 - k;
  const uint32_t r = white - scale255(c, white), g = white - scale255(m, white), b = white - scale255(y, white);
  return 0xFF000000u | r << 16 | g << 8 | b;
}

int32_t jpeg_render_frame(const JpegFrameView& f, const JpegOutput& out) {
  // Picture rows and columns inside the clip.
  const int64_t px0 = std::max<int64_t>(0, int64_t(out.clip_left) - out.x_offset);
  const int64_t px1 = std::min<int64_t>(f.width, int64_t(out.clip_width) - out.x_offset);
  const int64_t py0 = std::max<int64_t>(0, int64_t(out.clip_top) - out.y_offset);
  const int64_t py1 = std::min<int64_t>(f.height, int64_t(out.clip_height) - out.y_offset);
  if (out.pixels == nullptr || px0 >= px1 || py0 >= py1) return 0;
  if (f.smooth_chroma) return render_smooth_pixels(f, out, px0, px1, py0, py1);

  // One band of MCU rows at a time: each component's samples of the band.
  const int64_t band_rows = 8 * int64_t(f.v_max);
  std::unique_ptr<uint8_t[]> band[4];
  int64_t stride[4];
  for (int i = 0; i < f.comp_count; ++i) {
    stride[i] = f.comp[i].blocks_per_row * 8;
    band[i].reset(new (std::nothrow) uint8_t[size_t(stride[i] * 8 * f.comp[i].v)]);
    if (!band[i]) return -1;
  }
  uint8_t* const base = reinterpret_cast<uint8_t*>(out.pixels);
  for (int64_t mcu_row = py0 / band_rows; mcu_row < f.mcu_rows && mcu_row * band_rows < py1; ++mcu_row) {
    for (int i = 0; i < f.comp_count; ++i) {
      const JpegFrameView::Component& k = f.comp[i];
      for (int32_t br = 0; br < k.v; ++br) {
        const int16_t* row = k.coef + ((mcu_row * k.v + br) * k.blocks_per_row) * 64;
        for (int64_t bx = 0; bx < k.blocks_per_row; ++bx) {
          block_samples(k, row + bx * 64, band[i].get() + int64_t(br) * 8 * stride[i] + bx * 8, stride[i]);
        }
      }
    }
    const int64_t y_first = std::max(py0, mcu_row * band_rows), y_last = std::min(py1, (mcu_row + 1) * band_rows);
    for (int64_t y = y_first; y < y_last; ++y) {
      const int64_t band_y = y - mcu_row * band_rows;
      const uint8_t* line[4];
      for (int i = 0; i < f.comp_count; ++i)
        line[i] = band[i].get() + band_y * f.comp[i].v / f.v_max * stride[i];
      uint32_t* target = reinterpret_cast<uint32_t*>(base + (y + out.y_offset) * out.pitch) + out.x_offset;
      for (int64_t x = px0; x < px1; ++x) {
        int32_t s[4];
        for (int i = 0; i < f.comp_count; ++i) s[i] = line[i][x * f.comp[i].h / f.h_max];
        target[x] = frame_pixel(f, s);
      }
    }
  }
  return 0;
}

namespace {

// basis[x][u]: the weight of frequency u at position x, the normalising
// factors of the transform included.
struct WideBasis {
  double w[8][8];
  WideBasis() {
    for (int x = 0; x < 8; ++x)
      for (int u = 0; u < 8; ++u)
        w[x][u] = (u == 0 ? 0.35355339059327373 : 0.5) * std::cos((2 * x + 1) * u * 3.14159265358979323846 / 16);
  }
};

// One block's 12-bit samples from its coefficients, 8 rows of 8 at dst.
void wide_block_samples(const WideBasis& basis, const JpegFrameView::Component& k, const int16_t* coef,
                        uint16_t* dst, int64_t stride) {
  double freq[64] = {};
  for (int z = 0; z < 64; ++z) {
    const int n = kZigzag.order[z];
    freq[n] = double(coef[z]) * k.raw_quant[n];
  }
  // Rows of frequencies to rows of samples, then columns.
  double rows[64];
  for (int v = 0; v < 8; ++v)
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int u = 0; u < 8; ++u) sum += basis.w[x][u] * freq[8 * v + u];
      rows[8 * v + x] = sum;
    }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int v = 0; v < 8; ++v) sum += basis.w[y][v] * rows[8 * v + x];
      dst[y * stride + x] = uint16_t(std::clamp(std::lround(sum) + 2048, 0L, 4095L));
    }
}

// One pixel's 16-bit samples (R, G, B, A) from its 12-bit component samples.
void wide_pixel(const JpegFrameView& f, const int32_t s[4], uint16_t* p) {
  int32_t rgb[3];
  if (f.colour == JpegColour::kGray) {
    rgb[0] = rgb[1] = rgb[2] = s[0];
  } else if (f.colour == JpegColour::kRgb) {
    rgb[0] = s[0];
    rgb[1] = s[1];
    rgb[2] = s[2];
  } else {
    // The JFIF conversion at 12 bits: chroma centred on 2048.
    const double luma = s[0], cb = s[1] - 2048, cr = s[2] - 2048;
    rgb[0] = int32_t(std::clamp(std::lround(luma + 1.402 * cr), 0L, 4095L));
    rgb[1] = int32_t(std::clamp(std::lround(luma - 0.344136286 * cb - 0.714136286 * cr), 0L, 4095L));
    rgb[2] = int32_t(std::clamp(std::lround(luma + 1.772 * cb), 0L, 4095L));
  }
  for (int k = 0; k < 3; ++k) p[k] = uint16_t(rgb[k] << 4 | rgb[k] >> 8);
  p[3] = 0xFFFF;
}

}  // namespace

int32_t jpeg_render_frame_wide(const JpegFrameView& f, const DecodeTarget& t, uint16_t* wide) {
  const int64_t px0 = std::max<int64_t>(0, -int64_t(t.x_offset));
  const int64_t px1 = std::min<int64_t>(f.width, int64_t(t.width) - t.x_offset);
  const int64_t py0 = std::max<int64_t>(0, -int64_t(t.y_offset));
  const int64_t py1 = std::min<int64_t>(f.height, int64_t(t.height) - t.y_offset);
  if (wide == nullptr || px0 >= px1 || py0 >= py1) return 0;
  if (f.colour != JpegColour::kGray && f.colour != JpegColour::kYcc && f.colour != JpegColour::kRgb) return -1;
  const WideBasis basis;
  auto at = [&](int64_t y, int64_t x) { return wide + ((y + t.y_offset) * int64_t(t.width) + t.x_offset + x) * 4; };
  if (f.smooth_chroma)
    return render_smooth<uint16_t>(
        f, px0, px1, py0, py1,
        [&](const JpegFrameView::Component& k, const int16_t* coef, uint16_t* dst, int64_t stride) {
          wide_block_samples(basis, k, coef, dst, stride);
        },
        [&](int64_t y, int64_t x, const int32_t* s) { wide_pixel(f, s, at(y, x)); });

  const int64_t band_rows = 8 * int64_t(f.v_max);
  std::unique_ptr<uint16_t[]> band[3];
  int64_t stride[3];
  for (int i = 0; i < f.comp_count; ++i) {
    stride[i] = f.comp[i].blocks_per_row * 8;
    band[i].reset(new (std::nothrow) uint16_t[size_t(stride[i] * 8 * f.comp[i].v)]);
    if (!band[i]) return -1;
  }
  for (int64_t mcu_row = py0 / band_rows; mcu_row < f.mcu_rows && mcu_row * band_rows < py1; ++mcu_row) {
    for (int i = 0; i < f.comp_count; ++i) {
      const JpegFrameView::Component& k = f.comp[i];
      for (int32_t br = 0; br < k.v; ++br) {
        const int16_t* row = k.coef + ((mcu_row * k.v + br) * k.blocks_per_row) * 64;
        for (int64_t bx = 0; bx < k.blocks_per_row; ++bx)
          wide_block_samples(basis, k, row + bx * 64, band[i].get() + int64_t(br) * 8 * stride[i] + bx * 8,
                             stride[i]);
      }
    }
    const int64_t y_first = std::max(py0, mcu_row * band_rows), y_last = std::min(py1, (mcu_row + 1) * band_rows);
    for (int64_t y = y_first; y < y_last; ++y) {
      const int64_t band_y = y - mcu_row * band_rows;
      const uint16_t* line[3];
      for (int i = 0; i < f.comp_count; ++i)
        line[i] = band[i].get() + band_y * f.comp[i].v / f.v_max * stride[i];
      for (int64_t x = px0; x < px1; ++x) {
        int32_t s[4] = {0, 0, 0, 0};
        for (int i = 0; i < f.comp_count; ++i) s[i] = line[i][x * f.comp[i].h / f.h_max];
        wide_pixel(f, s, at(y, x));
      }
    }
  }
  return 0;
}

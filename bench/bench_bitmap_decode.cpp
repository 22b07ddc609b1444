// BMP, TGA and PCX decode speed in megapixels per second, on 1024 x 768
// pictures written here in each layout the decoders take. Smooth gradients
// with flat stretches give the run-length forms realistic run lengths.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "decode/picture.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kWidth = 1024, kHeight = 768;

// 0xRRGGBB at (x, y): flat blocks 16 pixels wide over a gradient.
uint32_t colour(int x, int y) {
  const int bx = x / 16, by = y / 4;
  return uint32_t((bx * 7) & 0xFF) << 16 | uint32_t((by * 3) & 0xFF) << 8 | uint32_t((bx + by) & 0xFF);
}

void put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

Bytes make_bmp(int bpp) {
  const size_t row = ((size_t(bpp) * kWidth + 31) >> 3) & ~size_t(3);
  const size_t palette = bpp == 8 ? 1024 : 0;
  const size_t masks = bpp == 16 ? 12 : 0;
  const size_t offset = 54 + masks + palette;
  Bytes b(offset + row * kHeight, 0);
  b[0] = 'B', b[1] = 'M';
  put32(b, 10, uint32_t(offset));
  put32(b, 14, 40);
  put32(b, 18, kWidth);
  put32(b, 22, kHeight);
  put16(b, 26, 1);
  put16(b, 28, uint32_t(bpp));
  if (bpp == 16) {
    put32(b, 30, 3);
    put32(b, 54, 0xF800), put32(b, 58, 0x07E0), put32(b, 62, 0x001F);
  }
  for (size_t i = 0; i < palette / 4; ++i) put32(b, 54 + 4 * i, uint32_t(i * 0x010101u));
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* p = &b[offset + row * size_t(kHeight - 1 - y)];
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t c = colour(x, y);
      switch (bpp) {
        case 8:
          p[x] = uint8_t(c);
          break;
        case 16:
          p[2 * x] = uint8_t(c), p[2 * x + 1] = uint8_t(c >> 8);
          break;
        case 24:
          p[3 * x] = uint8_t(c), p[3 * x + 1] = uint8_t(c >> 8), p[3 * x + 2] = uint8_t(c >> 16);
          break;
        default:
          for (int k = 0; k < 4; ++k) p[4 * x + k] = uint8_t((c | 0xFF000000u) >> (8 * k));
      }
    }
  }
  return b;
}

// Run-length BMP (4 or 8 bits): runs of equal indexes, an end of row per
// row, an end of picture.
Bytes make_bmp_rle(int bits) {
  Bytes stream;
  const uint32_t mask = bits == 4 ? 0x0F : 0xFF;
  for (int y = kHeight - 1; y >= 0; --y) {
    for (int x = 0; x < kWidth;) {
      const uint32_t v = colour(x, y) & mask;
      int run = 1;
      while (x + run < kWidth && run < 255 && (colour(x + run, y) & mask) == v) ++run;
      stream.push_back(uint8_t(run));
      stream.push_back(uint8_t(bits == 4 ? v << 4 | v : v));
      x += run;
    }
    stream.push_back(0), stream.push_back(0);
  }
  stream.push_back(0), stream.push_back(1);
  const size_t offset = 54 + 1024;
  Bytes b(offset, 0);
  b[0] = 'B', b[1] = 'M';
  put32(b, 10, uint32_t(offset));
  put32(b, 14, 40);
  put32(b, 18, kWidth);
  put32(b, 22, kHeight);
  put16(b, 26, 1);
  put16(b, 28, uint32_t(bits));
  put32(b, 30, bits == 8 ? 1 : 2);
  for (size_t i = 0; i < 256; ++i) put32(b, 54 + 4 * i, uint32_t(i * 0x010101u));
  b.insert(b.end(), stream.begin(), stream.end());
  return b;
}

Bytes make_tga(int depth, bool run_length, bool mapped) {
  const int t = depth / 8;
  Bytes b(18, 0);
  b[2] = uint8_t(mapped ? (run_length ? 9 : 1) : (run_length ? 10 : 2));
  if (mapped) {
    b[1] = 1;
    put16(b, 5, 256);
    b[7] = 24;
  }
  put16(b, 12, kWidth);
  put16(b, 14, kHeight);
  b[16] = uint8_t(depth);
  b[17] = 0x20;
  if (mapped)
    for (uint32_t i = 0; i < 256; ++i)
      b.push_back(uint8_t(i)), b.push_back(uint8_t(i * 3)), b.push_back(uint8_t(i * 7));
  std::vector<uint32_t> values;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      values.push_back(mapped ? colour(x, y) & 0xFF : colour(x, y) | 0xFF000000u);
  auto put_value = [&](uint32_t v) {
    for (int k = 0; k < t; ++k) b.push_back(uint8_t(v >> (8 * k)));
  };
  if (!run_length) {
    for (uint32_t v : values) put_value(v);
    return b;
  }
  for (size_t i = 0; i < values.size();) {
    size_t run = 1;
    while (i + run < values.size() && run < 128 && values[i + run] == values[i]) ++run;
    b.push_back(uint8_t(run > 1 ? 127 + run : 0));
    put_value(values[i]);
    i += run;
  }
  return b;
}

// Four 1-bit planes of a 16-colour picture, as EGA-era programs wrote them.
Bytes make_pcx_planar() {
  Bytes b(128, 0);
  b[0] = 0x0A, b[1] = 0x05, b[2] = 0x01, b[3] = 0x01;
  put16(b, 8, kWidth - 1);
  put16(b, 10, kHeight - 1);
  b[65] = 4;
  put16(b, 66, kWidth / 8);
  for (int y = 0; y < kHeight; ++y)
    for (int plane = 0; plane < 4; ++plane)
      for (int x = 0; x < kWidth; x += 8) {
        uint8_t v = 0;
        for (int k = 0; k < 8; ++k) v = uint8_t(v << 1 | ((colour(x + k, y) >> plane) & 1));
        if (v >= 0xC0) b.push_back(0xC1);
        b.push_back(v);
      }
  return b;
}

Bytes make_pcx(int planes) {
  Bytes b(128, 0);
  b[0] = 0x0A, b[1] = 0x05, b[2] = 0x01, b[3] = 0x08;
  put16(b, 8, kWidth - 1);
  put16(b, 10, kHeight - 1);
  b[65] = uint8_t(planes);
  put16(b, 66, kWidth);
  for (int y = 0; y < kHeight; ++y)
    for (int plane = 0; plane < planes; ++plane)
      for (int x = 0; x < kWidth;) {
        const uint8_t v = uint8_t(colour(x, y) >> (planes == 1 ? 0 : 16 - 8 * plane));
        int run = 1;
        while (x + run < kWidth && run < 63 &&
               uint8_t(colour(x + run, y) >> (planes == 1 ? 0 : 16 - 8 * plane)) == v)
          ++run;
        b.push_back(uint8_t(0xC0 | run));
        b.push_back(v);
        x += run;
      }
  if (planes == 1) {
    b.push_back(0x0C);
    for (int i = 0; i < 768; ++i) b.push_back(uint8_t(i));
  }
  return b;
}

void run(benchmark::State& state, const Bytes& file) {
  std::vector<uint32_t> pixels(size_t(kWidth) * kHeight);
  for (auto _ : state) {
    const int32_t r =
        decode_picture(file.data(), int32_t(file.size()), pixels.data(), kWidth * 4, kWidth, kHeight, 0, 0);
    if (r != 0) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(pixels.data());
  }
  state.counters["Mpx/s"] =
      benchmark::Counter(double(kWidth) * kHeight * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
}

void BM_Bmp(benchmark::State& state) { run(state, make_bmp(int(state.range(0)))); }
BENCHMARK(BM_Bmp)->Arg(8)->Arg(16)->Arg(24)->Arg(32)->Unit(benchmark::kMillisecond);

void BM_BmpRle(benchmark::State& state) { run(state, make_bmp_rle(int(state.range(0)))); }
BENCHMARK(BM_BmpRle)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_TgaRaw24(benchmark::State& state) { run(state, make_tga(24, false, false)); }
void BM_TgaRle32(benchmark::State& state) { run(state, make_tga(32, true, false)); }
void BM_TgaMappedRle(benchmark::State& state) { run(state, make_tga(8, true, true)); }
BENCHMARK(BM_TgaRaw24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TgaRle32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TgaMappedRle)->Unit(benchmark::kMillisecond);

void BM_Pcx(benchmark::State& state) { run(state, make_pcx(int(state.range(0)))); }
BENCHMARK(BM_Pcx)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);
void BM_PcxPlanar4(benchmark::State& state) { run(state, make_pcx_planar()); }
BENCHMARK(BM_PcxPlanar4)->Unit(benchmark::kMillisecond);

}  // namespace

// GIF and DDS decode speed in megapixels per second, on 1024 x 768 pictures
// written here: GIFs with long runs and with noise (short strings, the table
// refilled often), plain and interlaced; DDS textures in each block format
// and uncompressed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "decode/picture.h"

namespace {

// What the decodes learn about their input.
SourceInfo source_info{};

using Bytes = std::vector<uint8_t>;
constexpr int kWidth = 1024, kHeight = 768;

uint32_t next_random(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

// Palette indices: flat blocks 16 pixels wide, or noise.
Bytes indices(bool noisy) {
  Bytes b(size_t(kWidth) * kHeight);
  uint32_t state = 1;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      b[size_t(y) * kWidth + x] = noisy ? uint8_t(next_random(state)) : uint8_t((x / 16) * 7 + y / 4);
  return b;
}

Bytes lzw(const Bytes& in) {
  const int clear = 256;
  int next = clear + 2, width = 9;
  std::unordered_map<uint32_t, int> table;
  Bytes out;
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t code) {
    acc |= code << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8) out.push_back(uint8_t(acc));
  };
  put(clear);
  int prefix = in[0];
  for (size_t i = 1; i < in.size(); ++i) {
    const uint32_t key = uint32_t(prefix) << 8 | in[i];
    const auto found = table.find(key);
    if (found != table.end()) {
      prefix = found->second;
      continue;
    }
    put(uint32_t(prefix));
    if (next < 4096) {
      table[key] = next++;
      if (next > (1 << width) && width < 12) ++width;
    } else {
      put(clear);
      table.clear();
      next = clear + 2;
      width = 9;
    }
    prefix = in[i];
  }
  put(uint32_t(prefix));
  if (next + 1 > (1 << width) && width < 12) ++width;
  put(clear + 1);
  if (bits > 0) out.push_back(uint8_t(acc));
  return out;
}

Bytes make_gif(bool noisy, bool interlaced) {
  Bytes b = {'G',
             'I',
             'F',
             '8',
             '9',
             'a',
             uint8_t(kWidth),
             uint8_t(kWidth >> 8),
             uint8_t(kHeight),
             uint8_t(kHeight >> 8),
             0xF7,
             0,
             0};
  for (int i = 0; i < 256; ++i) b.insert(b.end(), {uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)});
  b.insert(b.end(), {0x2C, 0, 0, 0, 0, uint8_t(kWidth), uint8_t(kWidth >> 8), uint8_t(kHeight),
                     uint8_t(kHeight >> 8), uint8_t(interlaced ? 0x40 : 0), 8});
  // Interlacing changes the row order in the file, not the work per pixel.
  const Bytes data = lzw(indices(noisy));
  for (size_t at = 0; at < data.size(); at += 255) {
    const size_t n = std::min<size_t>(255, data.size() - at);
    b.push_back(uint8_t(n));
    b.insert(b.end(), data.begin() + at, data.begin() + at + n);
  }
  b.push_back(0);
  b.push_back(0x3B);
  return b;
}

Bytes make_dds(const char* four_cc) {
  Bytes b(128, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  };
  std::memcpy(b.data(), "DDS ", 4);
  put32(4, 124);
  put32(12, kHeight);
  put32(16, kWidth);
  size_t payload = size_t(kWidth) * kHeight * 4;
  if (four_cc == nullptr) {
    put32(80, 0x40);
    put32(88, 32);
    put32(92, 0x00FF0000), put32(96, 0x0000FF00), put32(100, 0x000000FF), put32(104, 0xFF000000);
  } else {
    put32(80, 0x04);
    std::memcpy(&b[84], four_cc, 4);
    payload = size_t(kWidth / 4) * (kHeight / 4) * (four_cc[3] == '1' ? 8 : 16);
  }
  uint32_t state = 7;
  for (size_t i = 0; i < payload; ++i) b.push_back(uint8_t(next_random(state)));
  return b;
}

void run(benchmark::State& state, const Bytes& file) {
  std::vector<uint32_t> pixels(size_t(kWidth) * kHeight);
  for (auto _ : state) {
    const int32_t r =
        decode_picture(file.data(), int32_t(file.size()), DecodeTarget{pixels.data(), kWidth * 4, kWidth, kHeight, 0, 0}, source_info);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(pixels.data());
  }
  state.counters["input_bytes"] = double(file.size());
  state.counters["Mpixel/s"] =
      benchmark::Counter(double(kWidth) * kHeight * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_GifRuns(benchmark::State& s) { run(s, make_gif(false, false)); }
void BM_GifNoise(benchmark::State& s) { run(s, make_gif(true, false)); }
void BM_GifNoiseInterlaced(benchmark::State& s) { run(s, make_gif(true, true)); }
void BM_DdsDxt1(benchmark::State& s) { run(s, make_dds("DXT1")); }
void BM_DdsDxt3(benchmark::State& s) { run(s, make_dds("DXT3")); }
void BM_DdsDxt4(benchmark::State& s) { run(s, make_dds("DXT4")); }
void BM_DdsDxt5(benchmark::State& s) { run(s, make_dds("DXT5")); }
void BM_DdsUncompressed(benchmark::State& s) { run(s, make_dds(nullptr)); }

BENCHMARK(BM_GifRuns)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifNoise)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifNoiseInterlaced)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DdsDxt1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DdsDxt3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DdsDxt4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DdsDxt5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DdsUncompressed)->Unit(benchmark::kMillisecond);

}  // namespace

// Encoder throughput: one Xtreme pass over about 1 MB of filtered bytes, the
// filter stage alone, colour analysis and the stored layout. Sizes first:
// every benchmark reports the PNG size it produced as a counter.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "deflate/filters.h"
#include "encode/encode_png.h"

namespace {

// A photo-like RGBA picture: smooth gradients, a soft edge and sensor-like
// noise, so that filters, matches and literals all have work to do.
std::vector<uint32_t> photo_like(int32_t w, int32_t h) {
  std::vector<uint32_t> px(size_t(w) * size_t(h));
  uint32_t s = 12345;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      s = s * 1664525u + 1013904223u;
      const uint32_t n = (s >> 24) & 7;
      const uint32_t r = (uint32_t(x) * 255 / uint32_t(w) + n) & 0xFF;
      const uint32_t g = (uint32_t(y) * 255 / uint32_t(h) + (n >> 1)) & 0xFF;
      const uint32_t b = ((x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2) < w * h / 8 ? 200u : 40u) + n;
      const uint32_t a = x < w / 8 ? uint32_t(x) * 255 / uint32_t(w / 8) : 255u;
      px[size_t(y) * size_t(w) + size_t(x)] = a << 24 | r << 16 | g << 8 | (b & 0xFF);
    }
  }
  return px;
}

int stop_after_first_pass(void*, int code) { return code == 0; }

EncodeOptions options_for(std::vector<uint32_t>& px, int32_t w, int32_t h, int32_t colour_type) {
  EncodeOptions o{};
  o.pixels = px.data();
  o.pitch = w * 4;
  o.width = w;
  o.height = h;
  o.colour_type = colour_type;
  o.filter = -1;
  o.block_threshold = 0.0;
  return o;
}

void run(benchmark::State& state, EncodeOptions base, int64_t filtered_bytes) {
  int32_t size = 0;
  for (auto _ : state) {
    EncodeOptions o = base;
    size = encode_png(&o);
    std::free(o.kbuf);
    benchmark::DoNotOptimize(size);
  }
  state.counters["png_bytes"] = size;
  state.SetBytesProcessed(state.iterations() * filtered_bytes);
}

// 512 x 512 RGBA: 512 rows of 2049 filtered bytes, 1,049,088 in all.
void BM_OneXtremePass1MB(benchmark::State& state) {
  std::vector<uint32_t> px = photo_like(512, 512);
  EncodeOptions o = options_for(px, 512, 512, 6);
  o.strategy = 0;
  o.key_check = KeyCheckFn{stop_after_first_pass, nullptr};
  run(state, o, 512 * 2049);
}
BENCHMARK(BM_OneXtremePass1MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_OneIntensePass1MB(benchmark::State& state) {
  std::vector<uint32_t> px = photo_like(512, 512);
  EncodeOptions o = options_for(px, 512, 512, 6);
  o.strategy = 1;
  o.key_check = KeyCheckFn{stop_after_first_pass, nullptr};
  run(state, o, 512 * 2049);
}
BENCHMARK(BM_OneIntensePass1MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DefaultRun1MB(benchmark::State& state) {
  std::vector<uint32_t> px = photo_like(512, 512);
  EncodeOptions o = options_for(px, 512, 512, 6);
  o.block_threshold = 256.0;
  run(state, o, 512 * 2049);
}
BENCHMARK(BM_DefaultRun1MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_StoredLayout1MB(benchmark::State& state) {
  std::vector<uint32_t> px = photo_like(512, 512);
  EncodeOptions o = options_for(px, 512, 512, 6);
  o.strategy = 4;
  run(state, o, 512 * 2049);
}
BENCHMARK(BM_StoredLayout1MB)->Unit(benchmark::kMillisecond);

void feed_nothing(void*, const uint8_t* bytes, int32_t n) { benchmark::DoNotOptimize(bytes[n - 1]); }
void finish_nothing(void*) {}

// The filter stage alone with the per-row choice (filter 5), into a sink that
// only touches the bytes.
void BM_MixedFilterStage1MB(benchmark::State& state) {
  std::vector<uint32_t> px = photo_like(512, 512);
  const RowFormat format{px.data(), 512 * 4, 512, 512, 6, 8, nullptr, nullptr};
  FilterStage st;
  filter_stage_init(&st);
  const CompressSink sink{nullptr, feed_nothing, finish_nothing};
  for (auto _ : state) {
    filter_stage_begin(&st, &format, 5, PrintFn{});
    install_sink_compress(&st, &sink);
    for (int32_t y = 0; y < 512; ++y) filter_row(&st, y);
  }
  filter_stage_free(&st);
  state.SetBytesProcessed(state.iterations() * 512 * 2049);
}
BENCHMARK(BM_MixedFilterStage1MB)->Unit(benchmark::kMillisecond);

}  // namespace

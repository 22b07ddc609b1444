// One compression pass over 4 MiB of filtered picture data per strategy, on a
// detailed picture and on a flat one, reported as compressed size and input
// MB/s.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "deflate/deflate_stream.h"

namespace {

uint8_t paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return uint8_t(a);
  return uint8_t(pb <= pc ? b : c);
}

// A 1024 x 1024 RGBA picture of gradients, flat shapes, a repeated texture
// and sensor-like noise, Paeth-filtered row by row as the filter stage would.
const std::vector<uint8_t>& picture_stream() {
  static const std::vector<uint8_t> stream = [] {
    const int w = 1024, h = 1024;
    std::vector<uint8_t> px(size_t(w) * h * 4);
    uint32_t x = 2463534242u;
    for (int y = 0; y < h; ++y)
      for (int i = 0; i < w; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        uint8_t* p = &px[(size_t(y) * w + i) * 4];
        const bool in_disc = (i - 600) * (i - 600) + (y - 400) * (y - 400) < 200 * 200;
        const bool in_texture = i < 300 && y > 600;
        for (int c = 0; c < 3; ++c) {
          int v = (i * (c + 1) / 5 + y * (3 - c) / 7) & 255;
          if (in_disc) v = 40 + 60 * c;
          if (in_texture) v = ((i / 8 + y / 8) & 1) ? 200 : 30 + c * 20;
          if (!in_disc && !in_texture) v += int(x >> (c * 8) & 3) - 1;
          p[c] = uint8_t(v);
        }
        p[3] = 255;
      }
    std::vector<uint8_t> out;
    out.reserve(size_t(w * 4 + 1) * h);
    for (int y = 0; y < h; ++y) {
      out.push_back(4);
      for (int i = 0; i < w * 4; ++i) {
        const int a = i >= 4 ? px[size_t(y) * w * 4 + i - 4] : 0;
        const int b = y > 0 ? px[size_t(y - 1) * w * 4 + i] : 0;
        const int c = (i >= 4 && y > 0) ? px[size_t(y - 1) * w * 4 + i - 4] : 0;
        out.push_back(uint8_t(px[size_t(y) * w * 4 + i] - paeth(a, b, c)));
      }
    }
    return out;
  }();
  return stream;
}

// The same size of filtered flat colour with a few specks: the long runs of
// zero bytes that large plain areas give.
const std::vector<uint8_t>& flat_stream() {
  static const std::vector<uint8_t> stream = [] {
    std::vector<uint8_t> out(picture_stream().size(), 0);
    for (size_t i = 0; i < out.size(); i += 4099) out[i] = uint8_t(i >> 5);
    return out;
  }();
  return stream;
}

void BM_Pass(benchmark::State& state) {
  const std::vector<uint8_t>& data = state.range(1) ? flat_stream() : picture_stream();
  DeflateStream* s = deflate_stream_create();
  s->strategy = int32_t(state.range(0));
  set_single_block(s);
  set_initial_lengths(s, 0, 0);
  std::vector<uint8_t> kbuf(data.size() * 2 + 65536);
  BitWriter w{};
  w.kbuf = kbuf.data();
  w.kbuf_capacity = int32_t(kbuf.size());
  s->out = &w;
  s->hooks = StreamHooks{};
  // One warm-up pass, so that the timed passes use measured code lengths as
  // every pass after the first does.
  deflate_begin(s);
  for (uint8_t b : data) deflate_feed(s, b);
  deflate_finish(s);
  for (auto _ : state) {
    w.out_count = 0;
    deflate_begin(s);
    for (uint8_t b : data) deflate_feed(s, b);
    deflate_finish(s);
    benchmark::DoNotOptimize(w.out_count);
  }
  state.counters["bytes_out"] = double(w.out_count);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  deflate_stream_destroy(s);
}

BENCHMARK(BM_Pass)
    ->ArgNames({"strategy", "flat"})
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

// What the check before every write costs: the new PNG decoded again and
// compared with the input picture, against the default encode that made it.
// Each case encodes once up front (timed by the wall clock) and then times
// the verification; "share" is verification time as a percentage of
// encode + verification, the part of a default run it adds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode/picture.h"
#include "driver/verify.h"
#include "encode/encode_png.h"

namespace {

// What the decodes learn about their input.
SourceInfo source_info{};

using Bytes = std::vector<uint8_t>;

struct Encoded {
  bool ok = false;
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
  Bytes png;
  double encode_seconds = 0;
};

Bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Decodes and encodes the way a plain "tessel in out.png" does.
Encoded encode_file(const std::string& path) {
  Encoded e;
  const Bytes file = read_all(TESSEL_CORPUS_DIR "/" + path);
  probe_picture(file.data(), int32_t(file.size()), &e.width, &e.height);
  if (e.width < 1 || e.height < 1) return e;
  e.pixels.assign(size_t(e.width) * size_t(e.height), 0);
  source_info.source_color_type = 2;
  if (decode_picture(file.data(), int32_t(file.size()), DecodeTarget{e.pixels.data(), e.width * 4, e.width, e.height, 0, 0},
                     source_info) < 0)
    return e;
  EncodeOptions o{};
  o.pixels = e.pixels.data();
  o.width = e.width;
  o.height = e.height;
  o.pitch = e.width * 4;
  o.source_palette = source_info.palette;
  o.source_palette_count = source_info.palette_count;
  o.colour_type = source_info.source_color_type;
  o.filter = o.colour_type == 3 ? 0 : 5;
  o.bit_depth = source_info.source_bit_depth;
  o.block_threshold = 256.0;
  const auto start = std::chrono::steady_clock::now();
  const int32_t size = encode_png(&o);
  e.encode_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (size != kNoPng && size <= o.kbuf_capacity) {
    e.png.assign(o.kbuf, o.kbuf + size);
    e.ok = true;
  }
  std::free(o.kbuf);
  return e;
}

void BM_Verify(benchmark::State& state, const std::string& path) {
  const Encoded e = encode_file(path);
  if (!e.ok) {
    state.SkipWithError("picture not encoded");
    return;
  }
  bool match = true;
  for (auto _ : state)
    match =
        match && verify_png_output(e.png.data(), int32_t(e.png.size()), e.pixels.data(), e.width, e.height);
  if (!match) state.SkipWithError("verification failed");
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i)
    verify_png_output(e.png.data(), int32_t(e.png.size()), e.pixels.data(), e.width, e.height);
  const double verify_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 20;
  state.counters["png_bytes"] = double(e.png.size());
  state.counters["encode_ms"] = e.encode_seconds * 1000;
  state.counters["share_pct"] = 100.0 * verify_seconds / (e.encode_seconds + verify_seconds);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(e.pixels.size()) * 4);
}

const char* const kPictures[] = {
    "pngsuite/basn2c08.png",  "pngsuite/basn3p08.png",
    "jpeg/pillow/hopper.jpg", "jpeg/jpeg-decoder/reftest/reference-png/rgb_250x167.png",
    "tga/pillow/p_16.tga",    "jpeg/jpeg-decoder/reftest/reference-png/mjpeg.png",
};

const bool registered = [] {
  for (const char* p : kPictures)
    benchmark::RegisterBenchmark(("Verify/" + std::string(p)).c_str(), BM_Verify, std::string(p))
        ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

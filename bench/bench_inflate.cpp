// Inflate speed against zlib on the image data of real PNG files, in MB/s of
// decompressed output. Both decoders see the same stream: zlib the joined
// IDAT payloads in one buffer, ours the file with its chunks as they are.
// Our output is copied out of the window into a buffer, as zlib writes it.
// The full PNG decode (unfiltering and pixel conversion included) is timed
// as well, for scale.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode/inflate.h"
#include "decode/picture.h"

namespace {

// What the decodes learn about their input.
SourceInfo source_info{};

using Bytes = std::vector<uint8_t>;

struct Sample {
  std::string name;
  Bytes file;
  int32_t first_idat = -1;
  Bytes stream;       // the IDAT payloads joined
  size_t output = 0;  // decompressed size
};

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

Bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Sample load(const std::string& name, const std::string& path) {
  Sample s;
  s.name = name;
  s.file = read_all(path);
  for (size_t at = 8; at + 12 <= s.file.size();) {
    const uint32_t n = be32(&s.file[at]);
    if (std::memcmp(&s.file[at + 4], "IDAT", 4) == 0) {
      if (s.first_idat < 0) s.first_idat = int32_t(at);
      s.stream.insert(s.stream.end(), s.file.begin() + long(at + 8), s.file.begin() + long(at + 8 + n));
    }
    at += 12 + size_t(n);
  }
  Bytes out(64 << 20);
  uLongf size = uLongf(out.size());
  uncompress(out.data(), &size, s.stream.data(), uLong(s.stream.size()));
  s.output = size;
  return s;
}

const std::vector<Sample>& samples() {
  static const std::vector<Sample> all = [] {
    const std::string corpus = TESSEL_CORPUS_DIR;
    return std::vector<Sample>{
        load("photo_rgb_1MB", corpus + "/jpeg/jpeg-decoder/reftest/reference-png/mjpeg.png"),
        load("photo_rgb_430KB", corpus + "/jpeg/jpeg-decoder/reftest/reference-png/progressive3.png"),
        load("photo_rgb_390KB", corpus + "/jpeg/jpeg-decoder/reftest/reference-png/rgb.png"),
        load("xray_grey_530KB", corpus + "/jpeg/jpeg-decoder/lossless-sof3/set2/XA1.png"),
        load("texture_rgb_145KB", corpus + "/dds/pillow/reference-png/uncompressed_rgb.png"),
    };
  }();
  return all;
}

struct Output {
  Bytes bytes;
  size_t used = 0;
};

void take(void* c, const uint8_t* p, int32_t n) {
  auto* o = static_cast<Output*>(c);
  std::memcpy(o->bytes.data() + o->used, p, size_t(n));
  o->used += size_t(n);
}
bool never_complete(void*) { return false; }

void BM_tessel_inflate(benchmark::State& state) {
  const Sample& s = samples()[size_t(state.range(0))];
  Output out;
  out.bytes.resize(s.output + 65536);
  for (auto _ : state) {
    out.used = 0;
    InflateReport report;
    inflate_idat(s.file.data(), int32_t(s.file.size()), s.first_idat, InflateSink{&out, take, never_complete},
                 &report);
    benchmark::DoNotOptimize(out.bytes.data());
  }
  if (out.used != s.output) state.SkipWithError("output size differs from zlib's");
  state.SetLabel(s.name);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.output));
}

void BM_zlib_inflate(benchmark::State& state) {
  const Sample& s = samples()[size_t(state.range(0))];
  Bytes out(s.output + 65536);
  for (auto _ : state) {
    uLongf size = uLongf(out.size());
    uncompress(out.data(), &size, s.stream.data(), uLong(s.stream.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(s.name);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.output));
}

void BM_tessel_png_decode(benchmark::State& state) {
  const Sample& s = samples()[size_t(state.range(0))];
  int32_t w = 0, h = 0;
  probe_picture(s.file.data(), int32_t(s.file.size()), &w, &h);
  std::vector<uint32_t> pixels(size_t(w) * size_t(h));
  if (decode_picture(s.file.data(), int32_t(s.file.size()), DecodeTarget{pixels.data(), w * 4, w, h, 0, 0}, source_info) != 0) {
    state.SkipWithError("picture refused (16-bit samples)");
    return;
  }
  for (auto _ : state) {
    decode_picture(s.file.data(), int32_t(s.file.size()), DecodeTarget{pixels.data(), w * 4, w, h, 0, 0}, source_info);
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetLabel(s.name);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.output));
}

BENCHMARK(BM_tessel_inflate)->DenseRange(0, 4);
BENCHMARK(BM_zlib_inflate)->DenseRange(0, 4);
BENCHMARK(BM_tessel_png_decode)->DenseRange(0, 4);

}  // namespace

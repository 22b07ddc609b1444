// JPEG decode speed, tessel against libjpeg, in megapixels per second. The
// pictures are a 2-megapixel corpus photo re-encoded by libjpeg at quality 90
// in the common layouts, and a synthetic 4-megapixel picture.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// After <cstdio>: the library's header uses FILE and size_t without including them.
#include <jpeglib.h>

#include "decode/picture.h"

namespace {

// What the decodes learn about their input.
SourceInfo source_info{};

struct Samples {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

Samples libjpeg_decode_rgb(const std::vector<uint8_t>& file) {
  Samples s;
  jpeg_decompress_struct info;
  jpeg_error_mgr err;
  info.err = jpeg_std_error(&err);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  s.width = int(info.output_width);
  s.height = int(info.output_height);
  s.rgb.resize(size_t(s.width) * size_t(s.height) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = s.rgb.data() + size_t(info.output_scanline) * size_t(s.width) * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return s;
}

std::vector<uint8_t> libjpeg_encode(const Samples& s, int h0, int v0, bool progressive, bool gray) {
  jpeg_compress_struct info;
  jpeg_error_mgr err;
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = JDIMENSION(s.width);
  info.image_height = JDIMENSION(s.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  if (gray) jpeg_set_colorspace(&info, JCS_GRAYSCALE);
  jpeg_set_quality(&info, 90, TRUE);
  info.comp_info[0].h_samp_factor = h0;
  info.comp_info[0].v_samp_factor = v0;
  if (progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(s.rgb.data() + size_t(info.next_scanline) * size_t(s.width) * 3);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

Samples synthetic(int width, int height) {
  Samples s{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 3)};
  uint32_t noise = 1;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      noise = noise * 1103515245u + 12345u;
      const double fx = x / double(width), fy = y / double(height);
      const int grain = int(noise >> 27) - 16;
      uint8_t* p = &s.rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
      p[0] = uint8_t(std::clamp(int(128 + 90 * std::sin(fx * 17 + fy * 5)) + grain, 0, 255));
      p[1] = uint8_t(std::clamp(int(128 + 90 * std::cos(fy * 13 - fx * 3)) + grain, 0, 255));
      p[2] = uint8_t(std::clamp(int(128 + 60 * std::sin((fx * fy) * 40)) + grain, 0, 255));
    }
  }
  return s;
}

struct Picture {
  std::string name;
  int width, height;
  std::vector<uint8_t> jpeg;
};

const std::vector<Picture>& pictures() {
  static const std::vector<Picture> all = [] {
    std::vector<Picture> out;
    std::ifstream in(std::string(TESSEL_CORPUS_DIR) + "/jpeg/pillow/xmp_test.jpg", std::ios::binary);
    const std::vector<uint8_t> photo_file((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (!photo_file.empty()) {
      const Samples photo = libjpeg_decode_rgb(photo_file);
      out.push_back({"photo_420", photo.width, photo.height, libjpeg_encode(photo, 2, 2, false, false)});
      out.push_back({"photo_422", photo.width, photo.height, libjpeg_encode(photo, 2, 1, false, false)});
      out.push_back({"photo_444", photo.width, photo.height, libjpeg_encode(photo, 1, 1, false, false)});
      out.push_back({"photo_gray", photo.width, photo.height, libjpeg_encode(photo, 1, 1, false, true)});
      out.push_back(
          {"photo_420_progressive", photo.width, photo.height, libjpeg_encode(photo, 2, 2, true, false)});
    }
    const Samples synth = synthetic(2304, 1728);
    out.push_back({"synthetic_420", synth.width, synth.height, libjpeg_encode(synth, 2, 2, false, false)});
    return out;
  }();
  return all;
}

void set_rate(benchmark::State& state, const Picture& p) {
  state.counters["MP/s"] = benchmark::Counter(double(p.width) * p.height / 1e6 * double(state.iterations()),
                                              benchmark::Counter::kIsRate);
  state.counters["bytes"] = double(p.jpeg.size());
}

void BM_Tessel(benchmark::State& state) {
  const Picture& p = pictures()[size_t(state.range(0))];
  state.SetLabel(p.name);
  std::vector<uint32_t> target(size_t(p.width) * size_t(p.height));
  for (auto _ : state) {
    const int32_t r = decode_picture(p.jpeg.data(), int32_t(p.jpeg.size()),
                                     DecodeTarget{target.data(), p.width * 4, p.width, p.height, 0, 0}, source_info);
    if (r != 0) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(target.data());
  }
  set_rate(state, p);
}

// libjpeg with the accurate integer transform and plain replicated chroma,
// the same work the tool does, writing RGB rows.
void BM_Libjpeg(benchmark::State& state) {
  const Picture& p = pictures()[size_t(state.range(0))];
  state.SetLabel(p.name);
  std::vector<uint8_t> out(size_t(p.width) * size_t(p.height) * 3);
  for (auto _ : state) {
    jpeg_decompress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, p.jpeg.data(), static_cast<unsigned long>(p.jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    info.dct_method = JDCT_ISLOW;
    info.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&info);
    const size_t stride = size_t(p.width) * size_t(info.output_components);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = out.data() + size_t(info.output_scanline) * stride;
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state, p);
}

void all_pictures(benchmark::internal::Benchmark* b) {
  for (size_t i = 0; i < pictures().size(); i++) b->Arg(int64_t(i));
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Tessel)->Apply(all_pictures);
BENCHMARK(BM_Libjpeg)->Apply(all_pictures);

}  // namespace

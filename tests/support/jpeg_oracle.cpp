#include "tests/support/jpeg_oracle.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

// After <cstdio>: the library's header uses FILE and size_t without including them.
#include <jpeglib.h>

namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf escape;
};

void on_error(j_common_ptr info) { longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1); }
// Counts warnings as the library's own handler does, without printing them.
void on_message(j_common_ptr info, int level) {
  if (level < 0) info->err->num_warnings++;
}

}  // namespace

std::vector<uint8_t> jpeg_make(const std::vector<uint8_t>& samples, int width, int height,
                               const JpegMakeOptions& options) {
  jpeg_compress_struct info;
  ErrorManager err;
  info.err = jpeg_std_error(&err.base);
  err.base.error_exit = on_error;
  err.base.emit_message = on_message;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<jpeg_scan_info> script;
  if (setjmp(err.escape)) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return {};
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = JDIMENSION(width);
  info.image_height = JDIMENSION(height);
  info.input_components = options.components;
  info.in_color_space = options.components == 1 ? JCS_GRAYSCALE : options.components == 4 ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&info);
  using Stored = JpegMakeOptions::Stored;
  if (options.stored == Stored::kRgb) jpeg_set_colorspace(&info, JCS_RGB);
  if (options.stored == Stored::kCmyk) jpeg_set_colorspace(&info, JCS_CMYK);
  if (options.stored == Stored::kYcck) jpeg_set_colorspace(&info, JCS_YCCK);
  if (options.stored == Stored::kCmyk && !options.adobe_segment) info.write_Adobe_marker = FALSE;
  info.arith_code = options.arithmetic ? TRUE : FALSE;
  jpeg_set_quality(&info, options.quality, options.force_baseline ? TRUE : FALSE);
  info.dct_method = JDCT_ISLOW;
  info.comp_info[0].h_samp_factor = options.h0;
  info.comp_info[0].v_samp_factor = options.v0;
  info.comp_info[0].quant_tbl_no = options.luma_table;
  for (int i = 1; i < info.num_components; i++) info.comp_info[i].quant_tbl_no = options.chroma_table;
  if (info.num_components >= 3) {
    info.comp_info[1].h_samp_factor = options.h1;
    info.comp_info[1].v_samp_factor = options.v1;
    info.comp_info[2].h_samp_factor = options.h2;
    info.comp_info[2].v_samp_factor = options.v2;
  }
  if (info.num_components == 4) {
    info.comp_info[3].h_samp_factor = options.h3;
    info.comp_info[3].v_samp_factor = options.v3;
  }
  info.restart_interval = static_cast<unsigned int>(options.restart_interval);
  if (options.progressive) jpeg_simple_progression(&info);
  if (!options.scans.empty()) {
    for (const JpegMakeOptions::Scan& s : options.scans)
      script.push_back({s.count, {s.comps[0], s.comps[1], s.comps[2], s.comps[3]}, s.ss, s.se, s.ah, s.al});
    info.scan_info = script.data();
    info.num_scans = int(script.size());
  }
  jpeg_start_compress(&info, TRUE);
  const size_t stride = size_t(width) * size_t(options.components);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(samples.data() + stride * info.next_scanline);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

bool jpeg_reference_decode(const std::vector<uint8_t>& jpeg, JpegReference* out, bool fancy) {
  jpeg_decompress_struct info;
  ErrorManager err;
  info.err = jpeg_std_error(&err.base);
  err.base.error_exit = on_error;
  err.base.emit_message = on_message;
  if (setjmp(err.escape)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK ||
      (info.num_components != 1 && info.num_components != 3 && info.num_components != 4) ||
      uint64_t(info.image_width) * info.image_height > (uint64_t(1) << 26)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  // Three components are YCbCr unless an Adobe segment says RGB, which the
  // library has read from the header.
  if (info.num_components == 1) info.jpeg_color_space = JCS_GRAYSCALE;
  if (info.num_components == 3 && info.jpeg_color_space != JCS_RGB) info.jpeg_color_space = JCS_YCbCr;
  info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : info.num_components == 4 ? JCS_CMYK : JCS_RGB;
  info.do_fancy_upsampling = fancy ? TRUE : FALSE;
  info.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&info);
  out->width = int(info.output_width);
  out->height = int(info.output_height);
  out->components = info.num_components;
  out->pixels.assign(size_t(out->width) * size_t(out->height), 0);
  // The row lives in the library's pool: an error jumps past any destructor.
  JSAMPARRAY rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                              info.output_width * JDIMENSION(info.output_components), 1);
  const JSAMPROW row = rows[0];
  while (info.output_scanline < info.output_height) {
    const size_t y = info.output_scanline;
    jpeg_read_scanlines(&info, rows, 1);
    for (int x = 0; x < out->width; x++) {
      uint32_t p;
      if (info.output_components == 1) {
        p = 0xFF000000u | uint32_t(row[size_t(x)]) * 0x010101u;
      } else if (info.output_components == 4) {
        const uint8_t* s = &row[size_t(x) * 4];
        auto ink = [k = uint32_t(s[3])](uint32_t v) { return (v * k + 127) / 255; };
        p = 0xFF000000u | ink(s[0]) << 16 | ink(s[1]) << 8 | ink(s[2]);
      } else {
        const uint8_t* s = &row[size_t(x) * 3];
        p = 0xFF000000u | uint32_t(s[0]) << 16 | uint32_t(s[1]) << 8 | s[2];
      }
      out->pixels[y * size_t(out->width) + size_t(x)] = p;
    }
  }
  out->warnings = int(err.base.num_warnings);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

std::vector<uint8_t> jpeg_test_samples(int width, int height, int components, int noise_level,
                                       uint32_t seed) {
  std::vector<uint8_t> s(size_t(width) * size_t(height) * size_t(components));
  uint32_t noise = seed;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      noise = noise * 1103515245u + 12345u;
      const double fx = double(x) / std::max(width, 1), fy = double(y) / std::max(height, 1);
      const int grain = int((noise >> 8) % uint32_t(noise_level + 1)) - noise_level / 2;
      const int v[3] = {int(200 * fx + 30 * std::sin(fy * 9)) + grain,
                        int(180 * fy + 40 * std::cos(fx * 7)) + grain,
                        int(128 + 100 * std::sin((fx + fy) * 5)) + ((x / 5 + y / 7) % 2) * 24};
      for (int c = 0; c < components; c++)
        s[(size_t(y) * size_t(width) + size_t(x)) * size_t(components) + size_t(c)] =
            uint8_t(std::clamp(components == 1 ? (v[0] + v[1]) / 2 : c < 3 ? v[c] : (v[0] + v[2]) / 3, 0, 255));
    }
  }
  return s;
}

double jpeg_psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); i++) {
    for (int shift = 0; shift < 24; shift += 8) {
      const double d = double(int(a[i] >> shift & 0xFF) - int(b[i] >> shift & 0xFF));
      sum += d * d;
    }
  }
  if (sum == 0) return 999;
  const double mse = sum / (3.0 * double(a.size()));
  return 10 * std::log10(255.0 * 255.0 / mse);
}

int jpeg_max_channel_difference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.size(); i++)
    for (int shift = 0; shift < 32; shift += 8)
      worst = std::max(worst, std::abs(int(a[i] >> shift & 0xFF) - int(b[i] >> shift & 0xFF)));
  return worst;
}

#include "tests/support/oracle16.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

namespace {

struct Reader {
  const std::vector<uint8_t>* data;
  size_t pos;
};

void read_bytes(png_structp p, png_bytep dst, png_size_t n) {
  auto* r = static_cast<Reader*>(png_get_io_ptr(p));
  if (r->pos + n > r->data->size()) png_error(p, "unexpected end of data");
  std::memcpy(dst, r->data->data() + r->pos, n);
  r->pos += n;
}

void fail(png_structp p, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(p));
  if (error) *error = message;
  png_longjmp(p, 1);
}

void quiet(png_structp, png_const_charp) {}

}  // namespace

bool libpng_decode16(const std::vector<uint8_t>& png, OraclePicture16* out, std::string* error) {
  std::string local_error;
  png_structp ps = png_create_read_struct(PNG_LIBPNG_VER_STRING, &local_error, fail, quiet);
  if (!ps) return false;
  png_infop pi = png_create_info_struct(ps);
  Reader reader{&png, 0};
  std::vector<uint8_t> rows;
  std::vector<png_bytep> pointers;
  if (setjmp(png_jmpbuf(ps)) != 0) {
    png_destroy_read_struct(&ps, &pi, nullptr);
    if (error) *error = local_error;
    return false;
  }
  png_set_read_fn(ps, &reader, read_bytes);
  png_read_info(ps, pi);
  out->width = int32_t(png_get_image_width(ps, pi));
  out->height = int32_t(png_get_image_height(ps, pi));
  out->colour_type = png_get_color_type(ps, pi);
  out->bit_depth = png_get_bit_depth(ps, pi);
  out->has_trns = png_get_valid(ps, pi, PNG_INFO_tRNS) != 0;
  // No gamma handling: the stored samples, widened, big-endian in the rows.
  png_set_expand(ps);
  png_set_expand_16(ps);
  png_set_gray_to_rgb(ps);
  png_set_add_alpha(ps, 0xFFFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(ps);
  png_read_update_info(ps, pi);
  const size_t stride = png_get_rowbytes(ps, pi);
  rows.assign(stride * size_t(out->height), 0);
  pointers.resize(size_t(out->height));
  for (int32_t y = 0; y < out->height; ++y) pointers[size_t(y)] = rows.data() + size_t(y) * stride;
  png_read_image(ps, pointers.data());
  png_read_end(ps, nullptr);
  png_destroy_read_struct(&ps, &pi, nullptr);
  const size_t count = size_t(out->width) * size_t(out->height) * 4;
  out->samples.assign(count, 0);
  for (int32_t y = 0; y < out->height; ++y) {
    const uint8_t* row = pointers[size_t(y)];
    for (size_t i = 0; i < size_t(out->width) * 4; ++i)
      out->samples[size_t(y) * size_t(out->width) * 4 + i] = uint16_t(row[2 * i] << 8 | row[2 * i + 1]);
  }
  return true;
}

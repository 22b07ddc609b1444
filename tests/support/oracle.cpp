#include "tests/support/oracle.h"

#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

namespace {
struct MemoryReader {
  const std::vector<uint8_t>* data;
  size_t pos;
};

void read_from_memory(png_structp p, png_bytep dst, png_size_t n) {
  auto* r = static_cast<MemoryReader*>(png_get_io_ptr(p));
  if (r->pos + n > r->data->size()) png_error(p, "unexpected end of data");
  std::memcpy(dst, r->data->data() + r->pos, n);
  r->pos += n;
}

void record_error(png_structp p, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(p));
  if (error) *error = message;
  png_longjmp(p, 1);
}

void ignore_warning(png_structp, png_const_charp) {}
}  // namespace

bool libpng_decode(const std::vector<uint8_t>& png, OraclePicture* out, std::string* error) {
  std::string local_error;
  png_structp ps = png_create_read_struct(PNG_LIBPNG_VER_STRING, &local_error, record_error, ignore_warning);
  if (!ps) return false;
  png_infop pi = png_create_info_struct(ps);
  MemoryReader reader{&png, 0};
  std::vector<uint8_t> rows;
  if (setjmp(png_jmpbuf(ps)) != 0) {
    png_destroy_read_struct(&ps, &pi, nullptr);
    if (error) *error = local_error;
    return false;
  }
  png_set_read_fn(ps, &reader, read_from_memory);
  png_read_info(ps, pi);
  out->width = int32_t(png_get_image_width(ps, pi));
  out->height = int32_t(png_get_image_height(ps, pi));
  out->colour_type = png_get_color_type(ps, pi);
  out->bit_depth = png_get_bit_depth(ps, pi);
  // Expand everything to 8-bit B, G, R, A without any gamma handling, so the
  // result is the stored samples as 0xAARRGGBB words on a little-endian host.
  png_set_expand(ps);
  png_set_strip_16(ps);
  png_set_gray_to_rgb(ps);
  png_set_add_alpha(ps, 0xFF, PNG_FILLER_AFTER);
  png_set_bgr(ps);
  png_set_interlace_handling(ps);
  png_read_update_info(ps, pi);
  const size_t stride = png_get_rowbytes(ps, pi);
  rows.assign(stride * size_t(out->height), 0);
  std::vector<png_bytep> pointers(size_t(out->height));
  for (int32_t y = 0; y < out->height; ++y) pointers[size_t(y)] = rows.data() + size_t(y) * stride;
  png_read_image(ps, pointers.data());
  png_read_end(ps, nullptr);
  png_destroy_read_struct(&ps, &pi, nullptr);
  out->pixels.assign(size_t(out->width) * size_t(out->height), 0);
  for (int32_t y = 0; y < out->height; ++y)
    std::memcpy(&out->pixels[size_t(y) * size_t(out->width)], pointers[size_t(y)], size_t(out->width) * 4);
  return true;
}

::testing::AssertionResult png_shows(const std::vector<uint8_t>& png, int32_t width, int32_t height,
                                     const std::vector<uint32_t>& pixels) {
  OraclePicture got;
  std::string error;
  if (!libpng_decode(png, &got, &error)) return ::testing::AssertionFailure() << "libpng: " << error;
  if (got.width != width || got.height != height)
    return ::testing::AssertionFailure()
           << "size " << got.width << "x" << got.height << ", want " << width << "x" << height;
  for (size_t i = 0; i < pixels.size() && i < got.pixels.size(); ++i)
    if (got.pixels[i] != pixels[i])
      return ::testing::AssertionFailure()
             << "pixel " << i << " is " << std::hex << got.pixels[i] << ", want " << pixels[i];
  if (got.pixels.size() != pixels.size())
    return ::testing::AssertionFailure() << got.pixels.size() << " pixels, want " << pixels.size();
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_png_pixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  OraclePicture want;
  std::string error;
  if (!libpng_decode(b, &want, &error))
    return ::testing::AssertionFailure() << "libpng on the second: " << error;
  return png_shows(a, want.width, want.height, want.pixels);
}

bool zlib_inflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = uInt(size);
  out->clear();
  uint8_t chunk[65536];
  int rc;
  do {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    out->insert(out->end(), chunk, chunk + (sizeof chunk - zs.avail_out));
  } while (rc == Z_OK);
  inflateEnd(&zs);
  return rc == Z_STREAM_END;
}

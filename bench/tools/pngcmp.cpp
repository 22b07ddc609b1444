// pngcmp A.png B.png: are the two PNG files the same picture, pixel for
// pixel? Both are decoded with libpng to 16-bit RGBA (palette, gray, tRNS
// and 8-bit samples expanded exactly, no gamma), so a file rewritten in
// another colour type or bit depth compares equal exactly when nothing was
// lost. Exit status 0 same, 1 different, 2 unreadable.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint16_t> rgba;  // 4 samples per pixel
};

bool decode(const char* path, Picture* out, std::string* error) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    *error = "cannot open";
    return false;
  }
  png_structp ps = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop pi = ps ? png_create_info_struct(ps) : nullptr;
  if (!pi) {
    std::fclose(f);
    *error = "out of memory";
    return false;
  }
  std::vector<uint8_t> rows;
  if (setjmp(png_jmpbuf(ps))) {
    png_destroy_read_struct(&ps, &pi, nullptr);
    std::fclose(f);
    *error = "libpng refused the file";
    return false;
  }
  png_init_io(ps, f);
  png_read_info(ps, pi);
  out->width = png_get_image_width(ps, pi);
  out->height = png_get_image_height(ps, pi);
  png_set_expand(ps);
  png_set_expand_16(ps);
  png_set_gray_to_rgb(ps);
  png_set_add_alpha(ps, 0xFFFF, PNG_FILLER_AFTER);
  png_set_swap(ps);  // samples in host order on little-endian hosts
  png_set_interlace_handling(ps);
  png_read_update_info(ps, pi);
  const size_t stride = png_get_rowbytes(ps, pi);
  if (stride != size_t(out->width) * 8) png_error(ps, "unexpected row layout");
  rows.resize(stride * out->height);
  std::vector<png_bytep> pointers(out->height);
  for (uint32_t y = 0; y < out->height; ++y) pointers[y] = rows.data() + size_t(y) * stride;
  png_read_image(ps, pointers.data());
  png_read_end(ps, nullptr);
  png_destroy_read_struct(&ps, &pi, nullptr);
  std::fclose(f);
  out->rgba.resize(rows.size() / 2);
  std::memcpy(out->rgba.data(), rows.data(), rows.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pngcmp A.png B.png\n");
    return 2;
  }
  Picture a, b;
  std::string error;
  if (!decode(argv[1], &a, &error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 2;
  }
  if (!decode(argv[2], &b, &error)) {
    std::fprintf(stderr, "%s: %s\n", argv[2], error.c_str());
    return 2;
  }
  if (a.width != b.width || a.height != b.height) {
    std::printf("size differs: %ux%u vs %ux%u\n", a.width, a.height, b.width, b.height);
    return 1;
  }
  size_t differing = 0, hidden = 0, first = 0;
  for (size_t i = 0; i < a.rgba.size(); i += 4) {
    if (std::memcmp(&a.rgba[i], &b.rgba[i], 8) == 0) continue;
    if (differing == 0) first = i / 4;
    differing += 1;
    // Colour changed under full transparency only: invisible, but not lossless.
    if (a.rgba[i + 3] == 0 && b.rgba[i + 3] == 0) hidden += 1;
  }
  if (differing == 0) return 0;
  std::printf("%zu pixels differ (%zu only under alpha 0); first at x=%zu y=%zu\n", differing, hidden,
              first % a.width, first / a.width);
  return 1;
}

#include "tests/support/decode_check.h"

#include <gtest/gtest.h>

#include <random>

#include "decode/picture.h"

// Private to this file, so no test that links the support library clashes
// with its own copy.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image.h>
#pragma GCC diagnostic pop

namespace decodecheck {

Decoded decode_at(const Bytes& file, int32_t width, int32_t height, int32_t x_offset, int32_t y_offset) {
  Decoded out;
  const Bytes exact(file);
  const uint8_t* data = exact.empty() ? nullptr : exact.data();
  source_info.source_color_type = 2;
  const bool empty = width < 1 || height < 1;
  out.width = empty ? 0 : width;
  out.height = empty ? 0 : height;
  out.pixels.assign(empty ? 1 : size_t(width) * size_t(height), kUntouched);
  out.result = decode_picture(data, int32_t(exact.size()), out.pixels.data(), out.width * 4, out.width,
                              out.height, x_offset, y_offset);
  out.colour_type = source_info.source_color_type;
  out.incomplete = source_info.incomplete;
  if (empty) {
    EXPECT_EQ(out.pixels[0], kUntouched) << "a decode wrote into an empty target";
    out.pixels.clear();
  }
  return out;
}

Decoded decode_file(const Bytes& file) {
  int32_t width = 0, height = 0;
  probe_picture(file.empty() ? nullptr : file.data(), int32_t(file.size()), &width, &height);
  if (width < 1 || height < 1 || int64_t(width) * height > (int64_t(1) << 26)) width = height = 0;
  return decode_at(file, width, height);
}

void expect_offsets_clip(const Bytes& file, int32_t width, int32_t height,
                         const std::vector<std::pair<int32_t, int32_t>>& offsets) {
  const Decoded base = decode_at(file, width, height);
  ASSERT_EQ(base.result, 0);
  for (auto [xo, yo] : offsets) {
    const Decoded moved = decode_at(file, width, height, xo, yo);
    ASSERT_EQ(moved.result, 0);
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x) {
        const int32_t sx = x - xo, sy = y - yo;
        const bool inside = sx >= 0 && sx < width && sy >= 0 && sy < height;
        const uint32_t want = inside ? base.pixels[size_t(sy) * size_t(width) + size_t(sx)] : kUntouched;
        ASSERT_EQ(moved.pixels[size_t(y) * size_t(width) + size_t(x)], want)
            << "offset " << xo << "," << yo << " at " << x << "," << y;
      }
  }
}

void expect_refused(const Bytes& good, const std::vector<Patch>& patches) {
  ASSERT_EQ(decode_file(good).result, 0);
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.what);
    Bytes b = good;
    for (int i = 0; i < p.bytes; ++i) b[p.at + size_t(i)] = uint8_t(p.value >> (8 * i));
    EXPECT_EQ(decode_file(b).result, -1);
  }
}

int64_t mismatches(const Decoded& d, const OraclePicture& ref, uint32_t mask, bool opaque_only) {
  return mismatches(d, ref, Likeness{.mask = mask, .opaque_only = opaque_only});
}

int64_t mismatches(const Decoded& d, const OraclePicture& ref, const Likeness& like) {
  if (d.width != ref.width || d.height != ref.height || ref.pixels.size() != d.pixels.size()) return -1;
  int64_t count = 0;
  for (size_t i = 0; i < d.pixels.size(); ++i) {
    const uint32_t got = d.pixels[i], want = ref.pixels[i];
    if (like.opaque_only && want >> 24 != 0xFF) continue;
    if (like.clear_matches_clear && got >> 24 == 0 && want >> 24 == 0) continue;
    for (int shift = 0; shift < 32; shift += 8) {
      const uint32_t m = like.mask >> shift & 0xFF;
      const int a = int(got >> shift & m), b = int(want >> shift & m);
      if (a - b > like.tolerance || b - a > like.tolerance) {
        ++count;
        break;
      }
    }
  }
  return count;
}

int64_t rendering_mismatches(const Decoded& d, const std::string& png_path, uint32_t mask, bool opaque_only) {
  return rendering_mismatches(d, png_path, Likeness{.mask = mask, .opaque_only = opaque_only});
}

int64_t rendering_mismatches(const Decoded& d, const std::string& png_path, const Likeness& like) {
  OraclePicture ref;
  if (!libpng_decode(read_file(png_path), &ref)) return -1;
  return mismatches(d, ref, like);
}

int64_t stb_mismatches(const Decoded& d, const Bytes& file, uint32_t mask) {
  return stb_mismatches(d, file, Likeness{.mask = mask});
}

int64_t stb_mismatches(const Decoded& d, const Bytes& file, const Likeness& like) {
  int w = 0, h = 0, n = 0;
  uint8_t* rgba = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n, 4);
  if (rgba == nullptr) return -1;
  OraclePicture ref;
  ref.width = w;
  ref.height = h;
  for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
    const uint8_t* p = rgba + 4 * i;
    ref.pixels.push_back(uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
  }
  stbi_image_free(rgba);
  return mismatches(d, ref, like);
}

std::vector<uint32_t> random_values(size_t n, uint32_t modulo, uint32_t seed, int repeat) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    if (i % size_t(repeat) != 0)
      v[i] = v[i - 1];
    else
      v[i] = modulo == 0 ? uint32_t(rng()) : uint32_t(rng() % modulo);
  }
  return v;
}

void put_le16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

void put_le32(Bytes& b, size_t at, uint32_t v) {
  put_le16(b, at, v & 0xFFFF);
  put_le16(b, at + 2, v >> 16);
}

}  // namespace decodecheck

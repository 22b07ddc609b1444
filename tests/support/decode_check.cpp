#include "tests/support/decode_check.h"

#include <gtest/gtest.h>

#include <random>

#include "decode/picture.h"

namespace decodecheck {

Decoded decode_file(const std::vector<uint8_t>& file) {
  Decoded out;
  const std::vector<uint8_t> exact(file);
  const uint8_t* data = exact.empty() ? nullptr : exact.data();
  probe_picture(data, int32_t(exact.size()), &out.width, &out.height);
  source_info.source_color_type = 2;
  if (out.width < 1 || out.height < 1 || int64_t(out.width) * out.height > (int64_t(1) << 26)) {
    out.width = out.height = 0;
    out.pixels.assign(1, kUntouched);
    out.result = decode_picture(data, int32_t(exact.size()), out.pixels.data(), 0, 0, 0, 0, 0);
    EXPECT_EQ(out.pixels[0], kUntouched) << "a decode wrote into an empty target";
    out.pixels.clear();
    return out;
  }
  out.pixels.assign(size_t(out.width) * size_t(out.height), kUntouched);
  out.result = decode_picture(data, int32_t(exact.size()), out.pixels.data(), out.width * 4, out.width,
                              out.height, 0, 0);
  return out;
}

int64_t mismatches(const Decoded& d, const OraclePicture& ref, uint32_t mask, bool opaque_only) {
  if (d.width != ref.width || d.height != ref.height || ref.pixels.size() != d.pixels.size()) return -1;
  int64_t count = 0;
  for (size_t i = 0; i < d.pixels.size(); ++i) {
    if (opaque_only && ref.pixels[i] >> 24 != 0xFF) continue;
    if ((d.pixels[i] & mask) != (ref.pixels[i] & mask)) ++count;
  }
  return count;
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

}  // namespace decodecheck

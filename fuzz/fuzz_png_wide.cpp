// The 16-bit PNG decode alone: files of 16 bits per sample (others are passed
// over at once), decoded whole into a target sized as the header promises,
// again at an offset that clips them, and through the check the tool runs on
// what it writes. A whole decode must agree with the clipped one where they
// overlap and with the check, sample for sample.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decode/picture.h"
#include "decode/png_decode.h"

namespace {

// Larger pictures are only probed and decoded into an empty target: the
// buffers are zeroed and compared in full, and smaller ones keep the runs quick.
constexpr int64_t kMaxPixels = int64_t(1) << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  // A private copy, so that a read one byte past the end is caught.
  std::vector<uint8_t> input(data, data + size);
  const uint8_t* bytes = input.empty() ? nullptr : input.data();
  const int32_t n = int32_t(size);
  if (png_sample_depth(bytes, n) != 16) return 0;
  int32_t width = 0, height = 0;
  probe_picture(bytes, n, &width, &height);
  SourceInfo info{};
  if (width < 1 || height < 1 || int64_t(width) * height > kMaxPixels) {
    uint16_t none[4] = {};
    decode_png_wide(bytes, n, DecodeTarget{nullptr, 0, 0, 0, 0, 0}, none, info);
    return 0;
  }
  const size_t samples = size_t(width) * size_t(height) * 4;
  std::vector<uint16_t> whole(samples, 0), moved(samples, 0), checked(samples, 0);
  const int32_t result =
      decode_png_wide(bytes, n, DecodeTarget{nullptr, width * 4, width, height, 0, 0}, whole.data(), info);
  const bool complete = result == 0 && info.incomplete == 0;
  constexpr int32_t dx = 2, dy = -3;
  decode_png_wide(bytes, n, DecodeTarget{nullptr, width * 4, width, height, dx, dy}, moved.data(), info);
  // A target smaller than the picture: the right and bottom are cut.
  const int32_t hw = (width + 1) / 2, hh = (height + 1) / 2;
  std::vector<uint16_t> half(size_t(hw) * size_t(hh) * 4, 0);
  decode_png_wide(bytes, n, DecodeTarget{nullptr, hw * 4, hw, hh, -1, 1}, half.data(), info);
  const int32_t verified =
      decode_png_verify_wide(bytes, n, DecodeTarget{nullptr, width * 4, width, height, 0, 0}, checked.data());
  if (!complete) return 0;
  if (verified != 0 || checked != whole) std::abort();
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x) {
      const int64_t sx = x - dx, sy = y - dy;
      if (sx < 0 || sx >= width || sy < 0 || sy >= height) continue;
      for (int c = 0; c < 4; ++c)
        if (moved[size_t((y * width + x) * 4 + c)] != whole[size_t((sy * width + sx) * 4 + c)]) std::abort();
    }
  return 0;
}

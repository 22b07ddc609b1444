// The GIF frame reader animations use: the frames read twice (counting, then
// filling) with the same answer, the image count the driver compares with,
// and every frame decoded as the driver composes it (its part on the
// screen), into its whole declared rectangle when that is small, and at an
// offset that clips it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decode/gif_decode.h"

namespace {

// What the frames may take in all, so that a file of many frames stays quick.
constexpr int64_t kMaxPixels = int64_t(1) << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  std::vector<uint8_t> input(data, data + size);
  const uint8_t* bytes = input.empty() ? nullptr : input.data();
  const int32_t n = int32_t(size);
  GifAnimation a{};
  if (read_gif_frames(bytes, n, &a, nullptr, 0) != 0) return 0;
  // Every image counted whole is counted by the image count, which also
  // counts one cut short.
  const int32_t images = gif_image_count(bytes, n);
  if (a.frame_count < 0 || a.frame_count > n / 10 || images < a.frame_count || images > a.frame_count + 1)
    std::abort();
  std::vector<GifFrame> frames(size_t(a.frame_count));
  GifAnimation again{};
  if (read_gif_frames(bytes, n, &again, frames.data(), a.frame_count) != 0 ||
      again.frame_count != a.frame_count || again.loop_count != a.loop_count ||
      again.background != a.background)
    std::abort();
  int32_t screen_width = 0, screen_height = 0;
  probe_gif(bytes, n, &screen_width, &screen_height);
  int64_t budget = kMaxPixels;
  std::vector<uint32_t> image;
  for (const GifFrame& f : frames) {
    const int64_t cw = std::min<int64_t>(f.left + f.width, screen_width) - f.left;
    const int64_t ch = std::min<int64_t>(f.top + f.height, screen_height) - f.top;
    if (cw > 0 && ch > 0 && (budget -= cw * ch) >= 0) {
      image.assign(size_t(cw * ch), 0);
      SourceInfo info{};
      decode_gif_frame(bytes, n, f,
                       DecodeTarget{image.data(), int32_t(cw) * 4, int32_t(cw), int32_t(ch), 0, 0}, info);
    }
    const int64_t area = int64_t(f.width) * f.height;
    if (area > 0 && (budget -= area) >= 0) {
      image.assign(size_t(area), 0);
      SourceInfo info{};
      const DecodeTarget whole{image.data(), f.width * 4, f.width, f.height, 0, 0};
      decode_gif_frame(bytes, n, f, whole, info);
      SourceInfo moved{};
      decode_gif_frame(bytes, n, f, DecodeTarget{image.data(), f.width * 4, f.width, f.height, 3, -2}, moved);
    }
    if (budget < 0) break;
  }
  return 0;
}

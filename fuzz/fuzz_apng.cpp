// The animated PNG frame reader: the layout its acTL and fcTL chunks give,
// read twice (counting, then filling) with the same answer, every frame
// region inside the canvas, and every frame decoded into its own target as
// the driver does, then again at an offset that clips it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decode/apng_decode.h"

namespace {

constexpr int64_t kMaxPixels = int64_t(1) << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  std::vector<uint8_t> input(data, data + size);
  const uint8_t* bytes = input.empty() ? nullptr : input.data();
  const int32_t n = int32_t(size);
  ApngLayout layout{};
  if (read_apng_layout(bytes, n, &layout, nullptr, 0) != 0) return 0;
  // Each frame takes a chunk of its own at least.
  if (layout.frame_count < 1 || layout.frame_count > n / 12) std::abort();
  std::vector<ApngFrame> frames(size_t(layout.frame_count));
  ApngLayout again{};
  if (read_apng_layout(bytes, n, &again, frames.data(), layout.frame_count) != 0 ||
      again.frame_count != layout.frame_count)
    std::abort();
  int64_t pixels = 0;
  for (const ApngFrame& f : frames) {
    if (f.width < 1 || f.height < 1 || f.x_offset < 0 || f.y_offset < 0 ||
        int64_t(f.x_offset) + f.width > layout.canvas_width ||
        int64_t(f.y_offset) + f.height > layout.canvas_height || f.first_data < 8 || f.first_data >= n)
      std::abort();
    pixels += int64_t(f.width) * f.height;
  }
  if (pixels > kMaxPixels) return 0;
  std::vector<uint32_t> image;
  for (const ApngFrame& f : frames) {
    image.assign(size_t(f.width) * size_t(f.height), 0);
    SourceInfo info{};
    decode_apng_frame(bytes, n, layout, f, DecodeTarget{image.data(), f.width * 4, f.width, f.height, 0, 0},
                      info);
    SourceInfo moved{};
    decode_apng_frame(bytes, n, layout, f, DecodeTarget{image.data(), f.width * 4, f.width, f.height, -1, 2},
                      moved);
  }
  return 0;
}

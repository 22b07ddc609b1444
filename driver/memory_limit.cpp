#include "driver/memory_limit.h"

#include "deflate/deflate_stream.h"
#include "deflate/parallel_parse.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "decode/apng_decode.h"
#include "deflate/deflate_stream.h"
#include "deflate/parallel_parse.h"
#include "decode/gif_decode.h"
#include "driver/chunk_select.h"

namespace {

// Decoder and encoder state that does not grow with the picture (match
// finder, cost tables, row buffers, the program itself) stays well below this.
constexpr int64_t kFixedBytes = int64_t(32) << 20;
constexpr int64_t kMiB = int64_t(1) << 20;
// Decoded pixels (4), the output buffer sized for the worst case (4) and the
// filtered rows kept for block splitting, the copy of the best pass's PNG
// or the decoded copy of the written file (4, never two at once).
constexpr int64_t kBytesPerPixel = 12;

// One more encoder at work: its match finder and block tables (about 22 MiB)
// and, per pixel, its output buffer, its filtered rows and the search's copy
// of the candidate's filtered stream.
constexpr int64_t kWorkerFixedBytes = int64_t(24) << 20;
constexpr int64_t kWorkerBytesPerPixel = 12;

// The match store's own bound: 12 bytes per filtered byte, at most 512 MiB.
constexpr int64_t kStoreBytesPerByte = 12;
constexpr int64_t kStoreMaxBytes = int64_t(512) << 20;

}  // namespace

int64_t animation_memory_bytes(const uint8_t* data, int32_t size, int32_t width, int32_t height, int32_t* frames) {
  *frames = 0;
  int64_t pixels = 0, count = 0, bytes_per_pixel = 0;
  if (is_animated_png(data, size)) {
    ApngLayout layout{};
    if (read_apng_layout(data, size, &layout, nullptr, 0) != 0 || layout.frame_count < 1) return 0;
    // Every frame has an fcTL chunk of 38 bytes in the file: the list stays in proportion to it.
    std::vector<ApngFrame> list(size_t(layout.frame_count));
    if (read_apng_layout(data, size, &layout, list.data(), layout.frame_count) != 0) return 0;
    pixels = layout.default_image_is_frame ? 0 : int64_t(layout.canvas_width) * layout.canvas_height;
    // Frames lie inside the canvas (31 bits a side); the sum is held below 2^62 all the same.
    for (const ApngFrame& f : list) pixels = std::min(pixels + int64_t(f.width) * f.height, INT64_MAX / 2);
    count = layout.frame_count;
    // Two decoded copies of every frame, 4 bytes a pixel each and 8 more at 16 bits.
    bytes_per_pixel = layout.bit_depth == 16 ? 24 : 8;
  } else if (size >= 6 && data[0] == 'G' && data[1] == 'I' && data[2] == 'F') {
    // Only a GIF whose images are all whole is taken apart.
    GifAnimation a{};
    if (read_gif_frames(data, size, &a, nullptr, 0) != 0 || a.frame_count < 2 ||
        a.frame_count != gif_image_count(data, size) || width < 1 || height < 1)
      return 0;
    count = a.frame_count;
    const int64_t screen = int64_t(width) * height;
    if (screen > INT64_MAX / 32 / count) {
      *frames = int32_t(count);
      return INT64_MAX;
    }
    pixels = screen * count;
    bytes_per_pixel = 16;
  } else {
    return 0;
  }
  *frames = int32_t(count);
  if (pixels > (INT64_MAX - count * kAnimationFrameBytes) / bytes_per_pixel) return INT64_MAX;
  return pixels * bytes_per_pixel + count * kAnimationFrameBytes;
}

int64_t extra_workers_bytes(int32_t workers, int64_t width, int64_t height) {
  const int64_t pixels = width > 0 && height > 0 ? width * height : 0;
  return workers > 1 ? int64_t(workers - 1) * (kWorkerFixedBytes + pixels * kWorkerBytesPerPixel) : 0;
}

int64_t parse_threads_bytes(int32_t threads, int64_t width, int64_t height) {
  if (threads <= 1 || width < 1 || height < 1) return 0;
  // Headers that fit the 32-bit buffer sizes keep these products in range.
  // The lists a recording pass finds side by side wait in parts of their own
  // before they join the store; the blocks' paths (4 bytes a byte) come
  // later, when the parts are gone.
  return int64_t(threads) * parse_helper_bytes() + std::max<int64_t>(4, kPartBytesPerByte) * (4 * width + 1) * height;
}

int32_t parse_threads_within(int32_t wanted, int64_t width, int64_t height, int64_t need, int64_t limit) {
  for (int32_t t = std::min(wanted, kMaxParseThreads); t > 1; --t)
    if (need < limit && parse_threads_bytes(t, width, height) <= limit - need) return t;
  return 1;
}

int64_t match_store_budget(int64_t width, int64_t height, int64_t need, int64_t limit, int32_t encoders) {
  if (width < 1 || height < 1 || encoders < 1 || need >= limit) return -1;
  // Headers that fit the 32-bit buffer sizes keep these products in range.
  const int64_t want = std::min(kStoreBytesPerByte * (4 * width + 1) * height, kStoreMaxBytes);
  const int64_t share = std::min(want, (limit - need) / encoders);
  return share > 0 ? share : -1;
}

int32_t search_workers_within(int32_t wanted, int64_t width, int64_t height, int64_t need, int64_t limit) {
  if (wanted <= 1 || need >= limit) return 1;
  const int64_t pixels = width > 0 && height > 0 ? width * height : 0;
  // Pixel counts come from a header that fit the 32-bit sizes, so no product wraps.
  const int64_t per_worker = kWorkerFixedBytes + pixels * kWorkerBytesPerPixel;
  const int64_t more = (limit - need) / per_worker;
  return more >= wanted - 1 ? wanted : int32_t(1 + more);
}

int64_t run_memory_bytes(int64_t width, int64_t height, int64_t input_size) {
  // Any header size: a product that would pass 64 bits needs more than any limit.
  if (width > 0 && height > (INT64_MAX / 4 - 2 * input_size - kFixedBytes) / kBytesPerPixel / width) return INT64_MAX;
  // The input file is held whole, and its kept chunks are copied once more.
  return width * height * kBytesPerPixel + 2 * input_size + kFixedBytes;
}

int64_t wide_extra_memory_bytes(int64_t width, int64_t height) {
  if (width > 0 && height > INT64_MAX / 16 / width) return INT64_MAX;
  return width * height * 16;
}

int64_t largest_run_memory_bytes() {
  // The output buffer, (4 * width + 6) * height plus the kept chunks, is
  // counted in 32 bits, so the pixels and the input file are bounded too.
  return run_memory_bytes(1, INT32_MAX / 4, INT32_MAX);
}

int64_t largest_need_at_width(int64_t width, int64_t input_size, bool wide) {
  // The encoder's own worst case for its output buffer beyond the rows.
  constexpr int64_t kSlack = 2111;
  const int64_t row = (wide ? 8 : 4) * std::max<int64_t>(width, 0) + 6;
  const int64_t room = int64_t(INT32_MAX) - kSlack - std::max<int64_t>(input_size, 0);
  const int64_t height = room > 0 ? room / row : 0;
  const int64_t need = run_memory_bytes(width, height, input_size);
  return wide ? need + wide_extra_memory_bytes(width, height) : need;
}

int64_t run_memory_mib(int64_t width, int64_t height, int64_t input_size, bool wide) {
  const int64_t need = run_memory_bytes(width, height, input_size);
  const int64_t extra = wide ? wide_extra_memory_bytes(width, height) : 0;
  if (need < INT64_MAX / 2 && extra < INT64_MAX / 2) return (need + extra + kMiB - 1) / kMiB;
  // Header sizes are at most 32 bits each: the product of MiB stays far in range.
  const int64_t per_pixel = wide ? kBytesPerPixel + 16 : kBytesPerPixel;
  const int64_t pixels_mib = (width * height + kMiB - 1) / kMiB;
  return pixels_mib * per_pixel + (2 * input_size + kFixedBytes) / kMiB;
}

int64_t memory_limit_bytes(int32_t limit_mib) {
  int64_t limit = 0;
  if (limit_mib > 0) {
    limit = int64_t(limit_mib) * kMiB;
  } else {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    limit = pages > 0 && page_size > 0 ? int64_t(pages) * page_size / 2 : largest_run_memory_bytes();
  }
  return std::min(limit, largest_run_memory_bytes());
}

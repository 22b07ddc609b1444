#include "driver/gif_animation.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/apng_decode.h"
#include "decode/gif_decode.h"
#include "encode/apng_write.h"

namespace {

struct Rect {
  int32_t x0, y0, x1, y1;  // clipped to the screen, x1/y1 exclusive
};

Rect clip(const GifFrame& f, int32_t w, int32_t h) {
  return Rect{std::min(f.left, w), std::min(f.top, h), std::min(f.left + f.width, w), std::min(f.top + f.height, h)};
}

void fill(std::vector<uint32_t>& canvas, int32_t w, const Rect& r, uint32_t colour) {
  for (int32_t y = r.y0; y < r.y1; ++y)
    std::fill(canvas.begin() + int64_t(y) * w + r.x0, canvas.begin() + int64_t(y) * w + r.x1, colour);
}

void copy_rect(std::vector<uint32_t>& to, const std::vector<uint32_t>& from, int32_t w, const Rect& r) {
  for (int32_t y = r.y0; y < r.y1; ++y)
    std::copy(from.begin() + int64_t(y) * w + r.x0, from.begin() + int64_t(y) * w + r.x1,
              to.begin() + int64_t(y) * w + r.x0);
}

// The screen after each frame, in order.
bool compose(const uint8_t* data, int32_t size, const GifAnimation& a, const std::vector<GifFrame>& frames,
             const uint32_t* first, int32_t w, int32_t h, std::vector<std::vector<uint32_t>>* screens) {
  const size_t area = size_t(w) * size_t(h);
  std::vector<uint32_t> canvas(first, first + area);
  // What the screen held before the frame being drawn: the background all
  // over before the first.
  std::vector<uint32_t> before(area, a.background);
  screens->push_back(canvas);
  std::vector<uint32_t> image;
  for (size_t k = 1; k < frames.size(); ++k) {
    const GifFrame& prev = frames[k - 1];
    const Rect pr = clip(prev, w, h);
    if (prev.disposal == 2) {
      const bool clear = frames[0].transparent >= 0 || prev.transparent >= 0;
      fill(canvas, w, pr, clear ? 0u : (a.background | 0xFF000000u));
    } else if (prev.disposal == 3) {
      copy_rect(canvas, before, w, pr);
    }
    before = canvas;
    const GifFrame& f = frames[k];
    const Rect r = clip(f, w, h);
    if (r.x1 > r.x0 && r.y1 > r.y0) {
      // Only the part on the screen is decoded: an image may declare any
      // size up to 65535 x 65535 whatever the screen's, and what lies beyond
      // the screen is never shown. The visible part starts at the image's
      // own corner.
      const int32_t cw = r.x1 - r.x0, ch = r.y1 - r.y0;
      image.assign(size_t(cw) * size_t(ch), 0);
      SourceInfo info{};
      const DecodeTarget target{image.data(), cw * 4, cw, ch, 0, 0};
      if (decode_gif_frame(data, size, f, target, info) != 0 || info.incomplete) return false;
      for (int32_t y = r.y0; y < r.y1; ++y)
        for (int32_t x = r.x0; x < r.x1; ++x) {
          const uint32_t p = image[size_t(y - r.y0) * size_t(cw) + size_t(x - r.x0)];
          if ((p >> 24) != 0) canvas[size_t(y) * w + x] = p;
        }
    }
    screens->push_back(canvas);
  }
  return true;
}

// The smallest rectangle holding every pixel that differs; one pixel when none does.
Rect changed(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, int32_t w, int32_t h) {
  Rect r{w, h, 0, 0};
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      if (a[size_t(y) * w + x] != b[size_t(y) * w + x]) {
        r.x0 = std::min(r.x0, x);
        r.y0 = std::min(r.y0, y);
        r.x1 = std::max(r.x1, x + 1);
        r.y1 = std::max(r.y1, y + 1);
      }
  if (r.x1 == 0) r = Rect{0, 0, 1, 1};
  return r;
}

// Decodes the written frames and lays each over the last, as its controls
// (no disposal, replacing) say: every screen must come back.
bool check(const uint8_t* png, int32_t size, const std::vector<std::vector<uint32_t>>& screens, int32_t w,
           int32_t h, uint32_t plays) {
  ApngLayout l{};
  if (read_apng_layout(png, size, &l, nullptr, 0) != 0 || size_t(l.frame_count) != screens.size()) return false;
  std::vector<ApngFrame> frames(screens.size());
  if (read_apng_layout(png, size, &l, frames.data(), l.frame_count) != 0) return false;
  if (l.canvas_width != w || l.canvas_height != h || l.play_count != plays || !l.default_image_is_frame)
    return false;
  std::vector<uint32_t> canvas(size_t(w) * size_t(h), 0), image;
  for (size_t k = 0; k < frames.size(); ++k) {
    const ApngFrame& f = frames[k];
    if (f.dispose_op != 0 || f.blend_op != 0) return false;
    image.assign(size_t(f.width) * size_t(f.height), 0);
    SourceInfo info{};
    const DecodeTarget target{image.data(), f.width * 4, f.width, f.height, 0, 0};
    if (decode_apng_frame(png, size, l, f, target, info) != 0 || info.incomplete) return false;
    for (int32_t y = 0; y < f.height; ++y)
      std::copy(image.begin() + int64_t(y) * f.width, image.begin() + int64_t(y + 1) * f.width,
                canvas.begin() + int64_t(y + f.y_offset) * w + f.x_offset);
    if (canvas != screens[k]) return false;
  }
  return true;
}

}  // namespace

int32_t gif_to_apng(const uint8_t* data, int32_t size, const uint32_t* first, int32_t w, int32_t h,
                    const EncodeOptions& options, int64_t memory_limit, uint8_t** png, int32_t* frame_count) {
  *png = nullptr;
  *frame_count = 0;
  GifAnimation a{};
  // Every image must be whole: a cut animation would lose the rest unseen.
  if (read_gif_frames(data, size, &a, nullptr, 0) != 0 || a.frame_count < 2 ||
      a.frame_count != gif_image_count(data, size))
    return kNoPng;
  // Every screen twice (composed, and cut to its rectangle) and once more in the check.
  if (int64_t(a.frame_count) * w * h > memory_limit / 16) return kNoPng;
  std::vector<GifFrame> frames(size_t(a.frame_count));
  if (read_gif_frames(data, size, &a, frames.data(), a.frame_count) != 0) return kNoPng;
  std::vector<std::vector<uint32_t>> screens;
  if (!compose(data, size, a, frames, first, w, h, &screens)) return kNoPng;

  std::vector<std::vector<uint32_t>> cut(screens.size());
  std::vector<ApngFrameIn> out(screens.size());
  for (size_t k = 0; k < screens.size(); ++k) {
    const Rect r = k == 0 ? Rect{0, 0, w, h} : changed(screens[k - 1], screens[k], w, h);
    const int32_t cw = r.x1 - r.x0, ch = r.y1 - r.y0;
    cut[k].resize(size_t(cw) * size_t(ch));
    for (int32_t y = 0; y < ch; ++y)
      std::copy(screens[k].begin() + int64_t(y + r.y0) * w + r.x0, screens[k].begin() + int64_t(y + r.y0) * w + r.x1,
                cut[k].begin() + int64_t(y) * cw);
    out[k] = ApngFrameIn{cut[k].data(), cw, ch, r.x0, r.y0, uint16_t(frames[k].delay), 100, 0, 0};
  }
  const uint32_t plays = a.loop_count < 0 ? 1u : uint32_t(a.loop_count);
  const ApngRequest request{out.data(), int32_t(out.size()), plays, true, options.deep_level > 0};
  uint8_t* file = nullptr;
  const int32_t result = encode_apng(&options, &request, &file);
  if (result == kNoPng) return kNoPng;
  if (!check(file, result, screens, w, h, plays)) {
    std::free(file);
    return kNoPng;
  }
  *png = file;
  *frame_count = int32_t(screens.size());
  return result;
}

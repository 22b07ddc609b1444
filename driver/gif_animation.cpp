#include "driver/gif_animation.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/apng_decode.h"
#include "decode/gif_decode.h"
#include "driver/memory_limit.h"
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

// Two pixels look the same when equal or both transparent, whatever colour
// the file gave a transparent one.
bool same(uint32_t a, uint32_t b) { return a == b || ((a | b) >> 24) == 0; }

bool same_screen(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (!same(a[i], b[i])) return false;
  return a.size() == b.size();
}

// The smallest rectangle holding every pixel that looks different; one pixel when none does.
Rect changed(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, int32_t w, int32_t h) {
  Rect r{w, h, 0, 0};
  for (int32_t y = 0; y < h; ++y) {
    const uint32_t* pa = a.data() + size_t(y) * w;
    const uint32_t* pb = b.data() + size_t(y) * w;
    int32_t x0 = 0, x1 = w;
    while (x0 < w && same(pa[x0], pb[x0])) ++x0;
    if (x0 == w) continue;
    while (same(pa[x1 - 1], pb[x1 - 1])) --x1;
    r.x0 = std::min(r.x0, x0);
    r.x1 = std::max(r.x1, x1);
    r.y0 = std::min(r.y0, y);
    r.y1 = y + 1;
  }
  if (r.x1 == 0) r = Rect{0, 0, 1, 1};
  return r;
}

int64_t area(const Rect& r) { return int64_t(r.x1 - r.x0) * (r.y1 - r.y0); }

Rect join(const Rect& a, const Rect& b) {
  return Rect{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

constexpr uint8_t kDisposeNone = 0, kDisposeBackground = 1, kDisposePrevious = 2;
constexpr uint8_t kBlendSource = 0, kBlendOver = 1;

// What a frame's dispose op leaves on the screen for the next one: after
// holds the screen the frame shows, before the one it was drawn on.
void dispose(std::vector<uint32_t>* screen, const std::vector<uint32_t>& before, int32_t w, const Rect& r,
             uint8_t op) {
  if (op == kDisposeBackground) fill(*screen, w, r, 0u);
  if (op == kDisposePrevious) copy_rect(*screen, before, w, r);
}

// One written frame: its rectangle on the screen and its ops.
struct Plan {
  Rect rect;
  uint8_t dispose_op, blend_op;
};

bool same_plans(const std::vector<Plan>& a, const std::vector<Plan>& b) {
  for (size_t k = 0; k < a.size(); ++k)
    if (a[k].rect.x0 != b[k].rect.x0 || a[k].rect.y0 != b[k].rect.y0 || a[k].rect.x1 != b[k].rect.x1 ||
        a[k].rect.y1 != b[k].rect.y1 || a[k].dispose_op != b[k].dispose_op || a[k].blend_op != b[k].blend_op)
      return false;
  return a.size() == b.size();
}

// Over the screen a frame is drawn on, it can be laid with blending when
// every pixel of its rectangle either stays (written transparent then) or
// becomes opaque: the frame's own transparent pixels leave what is below.
bool can_blend(const std::vector<uint32_t>& below, const std::vector<uint32_t>& want, int32_t w, const Rect& r) {
  for (int32_t y = r.y0; y < r.y1; ++y)
    for (int32_t x = r.x0; x < r.x1; ++x) {
      const size_t i = size_t(y) * w + x;
      if (!same(want[i], below[i]) && (want[i] >> 24) != 0xFF) return false;
    }
  return true;
}

// Chooses, frame by frame, the rectangle and the ops that leave the next
// frame the least to write: each frame's rectangle is what changed on the
// screen it is drawn on (or that together with the GIF image's rectangle
// when the image is disposed, so a dispose op can undo it all), and of the
// dispose ops the one after which the next frame's changed rectangle plus
// this one's is smallest (ties keep no disposal, then the plain rectangle).
// With blending, a frame blends over the screen when its GIF image has a
// transparent index and blending can show it; frame 1 covers the screen and
// replaces. Without ops, every frame is its changed rectangle of the
// composed screen, replacing and not disposed.
enum class PlanMode { kOpsAndBlend, kOps, kComposed };

std::vector<Plan> plan_frames(const std::vector<std::vector<uint32_t>>& screens, const std::vector<GifFrame>& gif,
                              int32_t w, int32_t h, PlanMode mode) {
  const bool use_ops = mode != PlanMode::kComposed;
  const size_t n = screens.size();
  std::vector<Plan> plans(n);
  std::vector<uint32_t> before(size_t(w) * size_t(h), 0), next, best_next;
  for (size_t k = 0; k < n; ++k) {
    Plan& p = plans[k];
    const std::vector<uint32_t>& shown = screens[k];
    const Rect plain = k == 0 ? Rect{0, 0, w, h} : changed(before, shown, w, h);
    Rect candidates[2] = {plain, plain};
    int32_t rect_count = 1;
    if (use_ops && k > 0 && (gif[k].disposal == 2 || gif[k].disposal == 3)) {
      const Rect g = clip(gif[k], w, h);
      if (g.x1 > g.x0 && g.y1 > g.y0) {
        candidates[1] = join(plain, g);
        rect_count = area(candidates[1]) > area(plain) ? 2 : 1;
      }
    }
    p = Plan{plain, kDisposeNone, kBlendSource};
    if (k + 1 == n || !use_ops) {
      best_next = shown;
    } else {
      int64_t best = -1;
      for (int32_t c = 0; c < rect_count; ++c)
        for (uint8_t op : {kDisposeNone, kDisposeBackground, kDisposePrevious}) {
          if (op == kDisposePrevious && k == 0) continue;
          next = shown;
          dispose(&next, before, w, candidates[c], op);
          const int64_t cost = area(candidates[c]) + area(changed(next, screens[k + 1], w, h));
          if (best < 0 || cost < best) {
            best = cost;
            p.rect = candidates[c];
            p.dispose_op = op;
            best_next.swap(next);
          }
        }
    }
    if (mode == PlanMode::kOpsAndBlend && k > 0 && gif[k].transparent >= 0 &&
        can_blend(before, shown, w, p.rect)) p.blend_op = kBlendOver;
    before.swap(best_next);
  }
  return plans;
}

// The frame's pixels as written: its rectangle of the screen it shows, with
// the pixels that stay written transparent when it blends.
void cut_frame(const std::vector<uint32_t>& below, const std::vector<uint32_t>& shown, int32_t w, const Plan& p,
               std::vector<uint32_t>* out) {
  const Rect& r = p.rect;
  const int32_t cw = r.x1 - r.x0;
  out->resize(size_t(cw) * size_t(r.y1 - r.y0));
  for (int32_t y = r.y0; y < r.y1; ++y)
    for (int32_t x = r.x0; x < r.x1; ++x) {
      const size_t i = size_t(y) * w + x;
      const bool stays = p.blend_op == kBlendOver && same(shown[i], below[i]);
      (*out)[size_t(y - r.y0) * cw + size_t(x - r.x0)] = stays ? 0u : shown[i];
    }
}

// Decodes the written frames and composes them as their controls say
// (dispose and blend ops, for pixels that are opaque or transparent): every
// screen must come back.
bool check(const uint8_t* png, int32_t size, const std::vector<std::vector<uint32_t>>& screens, int32_t w,
           int32_t h, uint32_t plays) {
  ApngLayout l{};
  if (read_apng_layout(png, size, &l, nullptr, 0) != 0 || size_t(l.frame_count) != screens.size()) return false;
  std::vector<ApngFrame> frames(screens.size());
  if (read_apng_layout(png, size, &l, frames.data(), l.frame_count) != 0) return false;
  if (l.canvas_width != w || l.canvas_height != h || l.play_count != plays || !l.default_image_is_frame)
    return false;
  std::vector<uint32_t> canvas(size_t(w) * size_t(h), 0), before, image;
  for (size_t k = 0; k < frames.size(); ++k) {
    const ApngFrame& f = frames[k];
    if (f.dispose_op > kDisposePrevious || f.blend_op > kBlendOver) return false;
    if (k == 0 && f.dispose_op == kDisposePrevious) return false;
    image.assign(size_t(f.width) * size_t(f.height), 0);
    SourceInfo info{};
    const DecodeTarget target{image.data(), f.width * 4, f.width, f.height, 0, 0};
    if (decode_apng_frame(png, size, l, f, target, info) != 0 || info.incomplete) return false;
    before = canvas;
    for (int32_t y = 0; y < f.height; ++y)
      for (int32_t x = 0; x < f.width; ++x) {
        const uint32_t p = image[size_t(y) * f.width + x];
        uint32_t& c = canvas[size_t(y + f.y_offset) * w + size_t(x + f.x_offset)];
        if (f.blend_op == kBlendSource || (p >> 24) == 0xFF) {
          c = p;
        } else if ((p >> 24) != 0) {
          return false;
        }
      }
    // The first frame is the default image, checked exactly by the caller.
    if (!same_screen(canvas, screens[k])) return false;
    const Rect r{f.x_offset, f.y_offset, f.x_offset + f.width, f.y_offset + f.height};
    dispose(&canvas, before, w, r, f.dispose_op);
  }
  return true;
}

// The GIF's frames and their composed screens, whole; false for a damaged
// or cut GIF, or frames that would need more memory than memory_limit bytes.
bool gif_screens(const uint8_t* data, int32_t size, const uint32_t* first, int32_t w, int32_t h,
                 int64_t memory_limit, GifAnimation* a, std::vector<GifFrame>* frames,
                 std::vector<std::vector<uint32_t>>* screens) {
  *a = GifAnimation{};
  // Every image must be whole: a cut animation would lose the rest unseen.
  if (read_gif_frames(data, size, a, nullptr, 0) != 0 || a->frame_count < 2 ||
      a->frame_count != gif_image_count(data, size))
    return false;
  // Every screen twice (composed, and cut to its rectangle) and once more in
  // the check, 4 bytes a pixel each, and what each frame takes beside.
  const int64_t per_frame = int64_t(w) * h * 16 + kAnimationFrameBytes;
  if (per_frame > memory_limit || a->frame_count > memory_limit / per_frame) return false;
  frames->resize(size_t(a->frame_count));
  if (read_gif_frames(data, size, a, frames->data(), a->frame_count) != 0) return false;
  return compose(data, size, *a, *frames, first, w, h, screens);
}

uint32_t play_count(const GifAnimation& a) { return a.loop_count < 0 ? 1u : uint32_t(a.loop_count); }

}  // namespace

bool gif_apng_matches(const uint8_t* data, int32_t size, const uint32_t* first, int32_t w, int32_t h,
                      const uint8_t* png, int32_t png_size, int64_t memory_limit) {
  GifAnimation a{};
  std::vector<GifFrame> frames;
  std::vector<std::vector<uint32_t>> screens;
  return gif_screens(data, size, first, w, h, memory_limit, &a, &frames, &screens) &&
         check(png, png_size, screens, w, h, play_count(a));
}

int32_t gif_to_apng(const uint8_t* data, int32_t size, const uint32_t* first, int32_t w, int32_t h,
                    const EncodeOptions& options, bool vary_blocks, int64_t memory_limit, uint8_t** png,
                    int32_t* frame_count, bool* refused) {
  *png = nullptr;
  *frame_count = 0;
  *refused = false;
  GifAnimation a{};
  std::vector<GifFrame> frames;
  std::vector<std::vector<uint32_t>> screens;
  if (!gif_screens(data, size, first, w, h, memory_limit, &a, &frames, &screens)) return kNoPng;

  const uint32_t plays = play_count(a);
  // The plans are encoded in turn and the smallest file kept (the first of
  // equal ones): blending adds a transparent colour that may cost more than
  // the pixels it spares, and the ops may not pay for themselves. The plans
  // are weighed with the plain engine in the first colour form; the chosen
  // one is then encoded in every form (and under the search mode searched).
  std::vector<std::vector<uint32_t>> cut(screens.size());
  std::vector<ApngFrameIn> out(screens.size());
  std::vector<uint32_t> below(size_t(w) * size_t(h)), shown_before;
  auto encode_plan = [&](const std::vector<Plan>& plans, const EncodeOptions& o, bool last, uint8_t** file) {
    std::fill(below.begin(), below.end(), 0u);
    for (size_t k = 0; k < screens.size(); ++k) {
      const Plan& p = plans[k];
      cut_frame(below, screens[k], w, p, &cut[k]);
      out[k] = ApngFrameIn{cut[k].data(), p.rect.x1 - p.rect.x0, p.rect.y1 - p.rect.y0, p.rect.x0, p.rect.y0,
                           uint16_t(frames[k].delay), 100, p.dispose_op, p.blend_op};
      shown_before = below;
      below = screens[k];
      dispose(&below, shown_before, w, p.rect, p.dispose_op);
    }
    const bool search = last && o.deep_level > 0;
    const ApngRequest request{out.data(), int32_t(out.size()), plays, true, search, search && vary_blocks, last};
    const int32_t n = encode_apng(&o, &request, file);
    if (n != kNoPng && !check(*file, n, screens, w, h, plays)) {
      std::free(*file);
      *file = nullptr;
      return kNoPng;
    }
    return n;
  };
  // One compressing pass ranks the plans as well as the full passes do on
  // the animations tried, at a fraction of their time; the chosen plan then
  // gets the full encode.
  EncodeOptions plain = options;
  plain.deep_level = 0;
  plain.max_passes = 1;
  uint8_t* file = nullptr;
  int32_t result = kNoPng;
  std::vector<std::vector<Plan>> tried;
  size_t chosen = 0;
  for (PlanMode mode : {PlanMode::kOpsAndBlend, PlanMode::kOps, PlanMode::kComposed}) {
    std::vector<Plan> plans = plan_frames(screens, frames, w, h, mode);
    bool repeat = false;
    for (const std::vector<Plan>& t : tried) repeat = repeat || same_plans(t, plans);
    if (repeat) continue;
    tried.push_back(std::move(plans));
    uint8_t* candidate = nullptr;
    const int32_t n = encode_plan(tried.back(), plain, false, &candidate);
    if (n == kNoPng || (result != kNoPng && n >= result)) {
      std::free(candidate);
      continue;
    }
    std::free(file);
    file = candidate;
    result = n;
    chosen = tried.size() - 1;
  }
  // Blending adds transparency a requested form may lack: such plans are
  // passed over, and when none fits, the last one tried (whole changed
  // rectangles, replacing) says why.
  if (result == kNoPng && apng_request_given(&options)) {
    const ApngRequest last{out.data(), int32_t(out.size()), plays, true, false, false, false};
    *refused = !apng_request_fits(&options, &last, options.print);
  }
  if (result == kNoPng) return kNoPng;
  // The chosen plan in each colour form, and under the search mode searched;
  // with one form and no search the weighing made the file already.
  const ApngRequest frames_only{out.data(), int32_t(out.size()), plays, true, false, false, false};
  if (options.deep_level <= 0 && options.max_passes == 1 && apng_form_count(&frames_only) == 1 &&
      chosen + 1 == tried.size()) {
    *png = file;
    *frame_count = int32_t(screens.size());
    return result;
  }
  uint8_t* last = nullptr;
  const int32_t n = encode_plan(tried[chosen], options, true, &last);
  if (n != kNoPng && (n < result || options.deep_level > 0)) {
    std::free(file);
    file = last;
    result = n;
  } else {
    std::free(last);
  }
  *png = file;
  *frame_count = int32_t(screens.size());
  return result;
}

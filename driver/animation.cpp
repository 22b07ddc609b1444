#include "driver/animation.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/apng_decode.h"
#include "driver/memory_limit.h"
#include "encode/apng_write.h"

namespace {

struct DecodedFrames {
  ApngLayout layout{};
  std::vector<ApngFrame> frames;
  std::vector<std::vector<uint32_t>> pixels;  // frame by frame; with a hidden default image, it comes first
  std::vector<uint32_t> hidden;               // the default image when it is no frame
};

// Zero-filled targets, so a frame the decode leaves short cannot match by
// chance of old memory.
bool decode_all(const uint8_t* data, int32_t size, int64_t memory_budget, DecodedFrames* out) {
  if (read_apng_layout(data, size, &out->layout, nullptr, 0) != 0) return false;
  out->frames.resize(size_t(out->layout.frame_count));
  if (read_apng_layout(data, size, &out->layout, out->frames.data(), out->layout.frame_count) != 0) return false;
  int64_t pixels = out->layout.default_image_is_frame ? 0 : int64_t(out->layout.canvas_width) * out->layout.canvas_height;
  for (const ApngFrame& f : out->frames) pixels += int64_t(f.width) * f.height;
  // The input's frames and the decoded copy of the output's, 4 bytes a pixel
  // each, and what each frame takes beside.
  const int64_t frame_bytes = int64_t(out->frames.size()) * kAnimationFrameBytes;
  if (pixels > memory_budget / 8 || pixels * 8 > memory_budget - frame_bytes) return false;
  out->pixels.resize(out->frames.size());
  for (size_t i = 0; i < out->frames.size(); ++i) {
    const ApngFrame& f = out->frames[i];
    std::vector<uint32_t>& p = out->pixels[i];
    p.assign(size_t(f.width) * size_t(f.height), 0);
    SourceInfo info{};
    const DecodeTarget target{p.data(), f.width * 4, f.width, f.height, 0, 0};
    if (decode_apng_frame(data, size, out->layout, f, target, info) != 0 || info.incomplete) return false;
  }
  return true;
}

bool same_frame_controls(const ApngFrame& a, const ApngFrame& b) {
  return a.width == b.width && a.height == b.height && a.x_offset == b.x_offset && a.y_offset == b.y_offset &&
         a.delay_num == b.delay_num && a.delay_den == b.delay_den && a.dispose_op == b.dispose_op &&
         a.blend_op == b.blend_op && a.in_idat == b.in_idat;
}

}  // namespace

void drop_animation_chunks(ChunkSelection* s) {
  int32_t kept = 0, before_plte = 0, before_idat = 0;
  for (int32_t i = 0; i < s->kept_count; ++i) {
    const uint8_t* type = s->kept[i] + 4;
    const bool framing =
        std::memcmp(type, "acTL", 4) == 0 || std::memcmp(type, "fcTL", 4) == 0 || std::memcmp(type, "fdAT", 4) == 0;
    if (!framing) {
      s->kept[kept++] = s->kept[i];
      if (i < s->kept_before_plte) before_plte = kept;
      if (i < s->kept_before_idat) before_idat = kept;
    }
  }
  s->kept_before_plte = before_plte;
  s->kept_before_idat = before_idat;
  s->kept_count = kept;
}

int32_t recompress_apng(const uint8_t* data, int32_t size, const EncodeOptions& options, bool vary_blocks,
                        int64_t memory_limit, uint8_t** png, int32_t* frame_count, bool* refused) {
  *png = nullptr;
  *frame_count = 0;
  *refused = false;
  DecodedFrames in;
  if (!decode_all(data, size, memory_limit, &in)) return kNoPng;
  const ApngLayout& l = in.layout;
  // The default image comes whole from the ordinary decode when no frame shows it.
  if (!l.default_image_is_frame) {
    in.hidden.assign(size_t(l.canvas_width) * size_t(l.canvas_height), 0);
    if (options.pixels == nullptr || options.width != l.canvas_width || options.height != l.canvas_height)
      return kNoPng;
    std::memcpy(in.hidden.data(), options.pixels, in.hidden.size() * 4);
  }

  std::vector<ApngFrameIn> frames;
  if (!l.default_image_is_frame)
    frames.push_back(ApngFrameIn{in.hidden.data(), l.canvas_width, l.canvas_height, 0, 0, 0, 0, 0, 0});
  for (size_t i = 0; i < in.frames.size(); ++i) {
    const ApngFrame& f = in.frames[i];
    frames.push_back(ApngFrameIn{in.pixels[i].data(), f.width, f.height, f.x_offset, f.y_offset, f.delay_num,
                                 f.delay_den, f.dispose_op, f.blend_op});
  }
  const bool search = options.deep_level > 0;
  const ApngRequest request{frames.data(), int32_t(frames.size()), l.play_count, l.default_image_is_frame,
                            search, search && vary_blocks, true};
  if (!apng_request_fits(&options, &request, options.print)) {
    *refused = true;
    return kNoPng;
  }
  uint8_t* out = nullptr;
  const int32_t result = encode_apng(&options, &request, &out);
  if (result == kNoPng) return kNoPng;

  // Every frame of the result, decoded again, must be the input's.
  DecodedFrames back;
  bool same = decode_all(out, result, memory_limit, &back) && back.layout.play_count == l.play_count &&
              back.layout.default_image_is_frame == l.default_image_is_frame &&
              back.layout.canvas_width == l.canvas_width && back.layout.canvas_height == l.canvas_height &&
              back.frames.size() == in.frames.size();
  for (size_t i = 0; same && i < in.frames.size(); ++i)
    same = same_frame_controls(back.frames[i], in.frames[i]) && back.pixels[i] == in.pixels[i];
  if (!same) {
    std::free(out);
    return kNoPng;
  }
  *png = out;
  *frame_count = int32_t(in.frames.size());
  return result;
}

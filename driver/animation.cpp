#include "driver/animation.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/apng_decode.h"
#include "decode/png_decode.h"
#include "driver/memory_limit.h"
#include "encode/apng_write.h"
#include "encode/encode_wide.h"

namespace {

// An animation's frames as decoded: 8-bit pixels (0xAARRGGBB), and for a
// 16-bit file also every frame's samples, four a pixel.
struct DecodedFrames {
  ApngLayout layout{};
  std::vector<ApngFrame> frames;
  std::vector<std::vector<uint32_t>> pixels;  // frame by frame
  std::vector<std::vector<uint16_t>> wide;    // the same frames at 16 bits, for a 16-bit file
  std::vector<uint32_t> hidden;               // the default image when it is no frame
  std::vector<uint16_t> hidden_wide;
};

// Bytes a pixel of a decoded copy takes: 4, and 8 more at 16 bits.
int64_t pixel_bytes(const ApngLayout& l) { return l.bit_depth == 16 ? 12 : 4; }

// The high bytes of the samples, as the 8-bit picture holds them.
void high_bytes(const std::vector<uint16_t>& wide, std::vector<uint32_t>* pixels) {
  pixels->resize(wide.size() / 4);
  for (size_t i = 0; i < pixels->size(); ++i) {
    const uint16_t* w = wide.data() + 4 * i;
    (*pixels)[i] = uint32_t(w[3] >> 8) << 24 | uint32_t(w[0] >> 8) << 16 | uint32_t(w[1] >> 8) << 8 | (w[2] >> 8);
  }
}

// Every frame, and the default image when no frame shows it, decoded whole.
// Zero-filled targets, so a frame the decode leaves short cannot match by
// chance of old memory. budget bounds the pixels of two such copies (the
// input's and the output's) beside what each frame takes.
bool decode_all(const uint8_t* data, int32_t size, int64_t memory_budget, DecodedFrames* out) {
  if (read_apng_layout(data, size, &out->layout, nullptr, 0) != 0) return false;
  out->frames.resize(size_t(out->layout.frame_count));
  if (read_apng_layout(data, size, &out->layout, out->frames.data(), out->layout.frame_count) != 0) return false;
  const ApngLayout& l = out->layout;
  const bool wide = l.bit_depth == 16;
  int64_t pixels = l.default_image_is_frame ? 0 : int64_t(l.canvas_width) * l.canvas_height;
  for (const ApngFrame& f : out->frames) pixels += int64_t(f.width) * f.height;
  const int64_t frame_bytes = int64_t(out->frames.size()) * kAnimationFrameBytes;
  const int64_t per_pixel = 2 * pixel_bytes(l);
  if (pixels > memory_budget / per_pixel || pixels * per_pixel > memory_budget - frame_bytes) return false;
  if (!l.default_image_is_frame) {
    const size_t n = size_t(l.canvas_width) * size_t(l.canvas_height);
    out->hidden.assign(n, 0);
    SourceInfo info{};
    const DecodeTarget target{out->hidden.data(), l.canvas_width * 4, l.canvas_width, l.canvas_height, 0, 0};
    if (wide) {
      out->hidden_wide.assign(n * 4, 0);
      if (decode_png_wide(data, size, target, out->hidden_wide.data(), info) != 0 || info.incomplete) return false;
      high_bytes(out->hidden_wide, &out->hidden);
    } else if (decode_png(data, size, target, info) != 0 || info.incomplete) {
      return false;
    }
  }
  out->pixels.resize(out->frames.size());
  if (wide) out->wide.resize(out->frames.size());
  for (size_t i = 0; i < out->frames.size(); ++i) {
    const ApngFrame& f = out->frames[i];
    std::vector<uint32_t>& p = out->pixels[i];
    p.assign(size_t(f.width) * size_t(f.height), 0);
    SourceInfo info{};
    const DecodeTarget target{p.data(), f.width * 4, f.width, f.height, 0, 0};
    if (wide) {
      out->wide[i].assign(p.size() * 4, 0);
      if (decode_apng_frame_wide(data, size, l, f, target, out->wide[i].data(), info) != 0 || info.incomplete)
        return false;
      high_bytes(out->wide[i], &p);
    } else if (decode_apng_frame(data, size, l, f, target, info) != 0 || info.incomplete) {
      return false;
    }
  }
  return true;
}

bool same_frame_controls(const ApngFrame& a, const ApngFrame& b) {
  return a.width == b.width && a.height == b.height && a.x_offset == b.x_offset && a.y_offset == b.y_offset &&
         a.delay_num == b.delay_num && a.delay_den == b.delay_den && a.dispose_op == b.dispose_op &&
         a.blend_op == b.blend_op && a.in_idat == b.in_idat;
}

// Sample c (R, G, B, A) of pixel i, at 16 bits whatever the depth decoded.
uint16_t sample(const std::vector<uint32_t>& pixels, const std::vector<uint16_t>& wide, size_t i, int32_t c) {
  if (!wide.empty()) return wide[4 * i + size_t(c)];
  const int32_t shift = c == 3 ? 24 : 16 - 8 * c;
  return uint16_t(((pixels[i] >> shift) & 0xFF) * 257);
}

// Every sample equal, an 8-bit picture against a 16-bit one by value.
bool same_samples(const std::vector<uint32_t>& pa, const std::vector<uint16_t>& wa, const std::vector<uint32_t>& pb,
                  const std::vector<uint16_t>& wb) {
  if (pa.size() != pb.size()) return false;
  if (wa.empty() && wb.empty()) return pa == pb;
  if (!wa.empty() && !wb.empty()) return wa == wb;
  for (size_t i = 0; i < pa.size(); ++i)
    for (int32_t c = 0; c < 4; ++c)
      if (sample(pa, wa, i, c) != sample(pb, wb, i, c)) return false;
  return true;
}

// The two decodes show the same animation: canvas, play count, every
// frame's controls and every sample of every frame and of a hidden default
// image.
bool same_animation(const DecodedFrames& a, const DecodedFrames& b) {
  const ApngLayout &la = a.layout, &lb = b.layout;
  if (la.play_count != lb.play_count || la.default_image_is_frame != lb.default_image_is_frame ||
      la.canvas_width != lb.canvas_width || la.canvas_height != lb.canvas_height ||
      a.frames.size() != b.frames.size())
    return false;
  if (!la.default_image_is_frame && !same_samples(a.hidden, a.hidden_wide, b.hidden, b.hidden_wide)) return false;
  const std::vector<uint16_t> none;
  for (size_t i = 0; i < a.frames.size(); ++i) {
    if (!same_frame_controls(a.frames[i], b.frames[i])) return false;
    if (!same_samples(a.pixels[i], a.wide.empty() ? none : a.wide[i], b.pixels[i],
                      b.wide.empty() ? none : b.wide[i]))
      return false;
  }
  return true;
}

// Every sample of every frame has equal high and low bytes.
bool fits_8_bits(const DecodedFrames& d) {
  for (const std::vector<uint16_t>& w : d.wide)
    if (!wide_fits_8_bits(w.data(), int32_t(w.size() / 4), 1)) return false;
  return d.hidden_wide.empty() || wide_fits_8_bits(d.hidden_wide.data(), int32_t(d.hidden_wide.size() / 4), 1);
}

}  // namespace

bool apng_output_matches(const uint8_t* input, int32_t input_size, const uint8_t* png, int32_t size,
                         int64_t memory_limit) {
  DecodedFrames in, back;
  return decode_all(input, input_size, memory_limit, &in) && decode_all(png, size, memory_limit, &back) &&
         same_animation(in, back);
}

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
  // 16-bit frames that 8 bits hold exactly are written as 8-bit ones; else
  // every frame keeps its 16-bit samples.
  const bool wide = !in.wide.empty() || !in.hidden_wide.empty();
  const bool wide_out = wide && (!fits_8_bits(in) || (options.background16 != nullptr &&
                                                      !wide_fits_8_bits(options.background16, 1, 1)));
  // The first image's bKGD: at 16 bits only with 16-bit frames.
  EncodeOptions base = options;
  if (!wide_out) {
    base.wide_pixels = nullptr;
    base.background16 = nullptr;
  }

  std::vector<ApngFrameIn> frames;
  if (!l.default_image_is_frame)
    frames.push_back(ApngFrameIn{in.hidden.data(), l.canvas_width, l.canvas_height, 0, 0, 0, 0, 0, 0,
                                 wide_out ? in.hidden_wide.data() : nullptr});
  for (size_t i = 0; i < in.frames.size(); ++i) {
    const ApngFrame& f = in.frames[i];
    frames.push_back(ApngFrameIn{in.pixels[i].data(), f.width, f.height, f.x_offset, f.y_offset, f.delay_num,
                                 f.delay_den, f.dispose_op, f.blend_op, wide_out ? in.wide[i].data() : nullptr});
  }
  const bool search = base.deep_level > 0;
  const ApngRequest request{frames.data(), int32_t(frames.size()), l.play_count, l.default_image_is_frame,
                            search, search && vary_blocks, true};
  if (!apng_request_fits(&base, &request, base.print)) {
    *refused = true;
    return kNoPng;
  }
  uint8_t* out = nullptr;
  const int32_t result = encode_apng(&base, &request, &out);
  if (result == kNoPng) return kNoPng;

  // Every frame of the result, decoded again, must be the input's.
  DecodedFrames back;
  if (!decode_all(out, result, memory_limit, &back) || !same_animation(in, back)) {
    std::free(out);
    return kNoPng;
  }
  *png = out;
  *frame_count = int32_t(in.frames.size());
  return result;
}

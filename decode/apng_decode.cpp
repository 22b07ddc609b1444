#include "decode/apng_decode.h"

#include <cstdlib>
#include <cstring>

#include "decode/byte_reader.h"
#include "decode/png_chunk_walk.h"
#include "decode/png_decode.h"

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// The chunk at pos, whole inside the file; false at the end or at a cut chunk.
bool chunk_at(const uint8_t* d, int32_t size, int64_t pos, PngChunkView* c) {
  PngChunkWalk walk = png_chunk_walk(d, size, pos);
  return png_chunk_next(&walk, c) && c->complete;
}

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

}  // namespace

int32_t read_apng_layout(const uint8_t* d, int32_t size, ApngLayout* l, ApngFrame* frames, int32_t capacity) {
  *l = ApngLayout{};
  if (d == nullptr || size < 8 || std::memcmp(d, kSignature, 8) != 0) return -1;
  bool have_header = false, have_actl = false, seen_idat = false, pending = false;
  uint32_t actl_frames = 0;
  // fcTL and fdAT carry one count from 0 up, in file order: a file whose
  // chunks were reordered, lost or doubled is shown by viewers as its
  // default image alone, and renumbered here it would start to play.
  uint32_t sequence = 0;
  ApngFrame current{};
  PngChunkView c;
  for (int64_t pos = 8; chunk_at(d, size, pos, &c); pos += int64_t(c.length) + 12) {
    ByteReader p(c.data, c.length);
    if (png_chunk_is(c, "IHDR")) {
      // A second header would change the canvas the frames were checked
      // against, and the pixel format their data is decoded in.
      if (have_header) return -1;
      l->canvas_width = int32_t(p.be32() & 0x7FFFFFFF);
      l->canvas_height = int32_t(p.be32() & 0x7FFFFFFF);
      l->bit_depth = int32_t(p.u8());
      l->colour_type = int32_t(p.u8());
      p.skip(2);
      l->interlace = int32_t(p.u8());
      if (!p.ok()) return -1;
      have_header = true;
    } else if (png_chunk_is(c, "acTL") && !seen_idat) {
      actl_frames = p.be32();
      l->play_count = p.be32();
      if (!p.ok()) return -1;
      have_actl = true;
    } else if (png_chunk_is(c, "fcTL")) {
      if (!have_header || pending) return -1;  // a frame without data
      if (p.be32() != sequence++) return -1;
      const uint32_t w = p.be32(), h = p.be32(), x = p.be32(), y = p.be32();
      current.delay_num = uint16_t(p.be16());
      current.delay_den = uint16_t(p.be16());
      current.dispose_op = uint8_t(p.u8());
      current.blend_op = uint8_t(p.u8());
      if (!p.ok() || w == 0 || h == 0 || current.dispose_op > 2 || current.blend_op > 1) return -1;
      if (uint64_t(x) + w > uint64_t(l->canvas_width) || uint64_t(y) + h > uint64_t(l->canvas_height)) return -1;
      current.width = int32_t(w);
      current.height = int32_t(h);
      current.x_offset = int32_t(x);
      current.y_offset = int32_t(y);
      current.in_idat = !seen_idat;
      if (current.in_idat && (x != 0 || y != 0 || int32_t(w) != l->canvas_width || int32_t(h) != l->canvas_height))
        return -1;
      if (!seen_idat) l->default_image_is_frame = true;
      pending = true;
    } else if (png_chunk_is(c, "IDAT")) {
      if (!seen_idat) l->first_idat = c.position;
      seen_idat = true;
      if (pending && current.in_idat) {
        current.first_data = c.position;
        if (l->frame_count < capacity) frames[l->frame_count] = current;
        l->frame_count += 1;
        pending = false;
      }
    } else if (png_chunk_is(c, "fdAT")) {
      if (!seen_idat || c.length < 4 || p.be32() != sequence++) return -1;
      if (pending) {
        current.first_data = c.position;
        if (l->frame_count < capacity) frames[l->frame_count] = current;
        l->frame_count += 1;
        pending = false;
      }
    } else if (png_chunk_is(c, "IEND")) {
      break;
    }
  }
  if (!have_header || !have_actl || !seen_idat || pending) return -1;
  if (l->frame_count < 1 || uint32_t(l->frame_count) != actl_frames) return -1;
  return 0;
}

// The frame becomes a still PNG of its own: the file's IHDR with the frame's
// size, the chunks before IDAT that shape the pixels (PLTE, tRNS), and the
// frame's data as IDAT chunks (fdAT without its sequence number), so the
// ordinary decode takes it with all its checks.
namespace {

int32_t decode_frame(const uint8_t* d, int32_t size, const ApngLayout& l, const ApngFrame& f,
                     const DecodeTarget& target, uint16_t* wide, SourceInfo& info) {
  int64_t bytes = 8 + 25 + 12;
  PngChunkView c;
  for (int64_t pos = 8; pos < l.first_idat && chunk_at(d, size, pos, &c); pos += int64_t(c.length) + 12)
    if (png_chunk_is(c, "PLTE") || png_chunk_is(c, "tRNS")) bytes += int64_t(c.length) + 12;
  for (int64_t pos = f.first_data; chunk_at(d, size, pos, &c); pos += int64_t(c.length) + 12) {
    if (!png_chunk_is(c, f.in_idat ? "IDAT" : "fdAT")) break;
    bytes += int64_t(c.length) + 12;
  }
  if (bytes > INT32_MAX) return -1;
  uint8_t* png = static_cast<uint8_t*>(std::malloc(size_t(bytes)));
  if (png == nullptr) return -1;
  int64_t n = 0;
  std::memcpy(png, kSignature, 8);
  n = 8;
  // Chunk CRCs are not checked by the decode, so the rebuilt ones are left 0.
  put_be32(png + n, 13);
  std::memcpy(png + n + 4, "IHDR", 4);
  put_be32(png + n + 8, uint32_t(f.width));
  put_be32(png + n + 12, uint32_t(f.height));
  png[n + 16] = uint8_t(l.bit_depth);
  png[n + 17] = uint8_t(l.colour_type);
  png[n + 18] = 0;
  png[n + 19] = 0;
  png[n + 20] = uint8_t(l.interlace);
  put_be32(png + n + 21, 0);
  n += 25;
  for (int64_t pos = 8; pos < l.first_idat && chunk_at(d, size, pos, &c); pos += int64_t(c.length) + 12) {
    if (!png_chunk_is(c, "PLTE") && !png_chunk_is(c, "tRNS")) continue;
    std::memcpy(png + n, d + pos, size_t(c.length) + 12);
    n += int64_t(c.length) + 12;
  }
  for (int64_t pos = f.first_data; chunk_at(d, size, pos, &c); pos += int64_t(c.length) + 12) {
    if (!png_chunk_is(c, f.in_idat ? "IDAT" : "fdAT")) break;
    const uint32_t skip = f.in_idat ? 0 : 4;
    if (c.length < skip) break;
    put_be32(png + n, c.length - skip);
    std::memcpy(png + n + 4, "IDAT", 4);
    std::memcpy(png + n + 8, c.data + skip, c.length - skip);
    put_be32(png + n + 8 + c.length - skip, 0);
    n += int64_t(c.length - skip) + 12;
  }
  put_be32(png + n, 0);
  std::memcpy(png + n + 4, "IEND", 4);
  put_be32(png + n + 8, 0);
  n += 12;
  reset_decode_fields(info);
  const int32_t result =
      wide != nullptr ? decode_png_wide(png, int32_t(n), target, wide, info) : decode_png(png, int32_t(n), target, info);
  std::free(png);
  return result;
}

}  // namespace

int32_t decode_apng_frame(const uint8_t* data, int32_t size, const ApngLayout& layout, const ApngFrame& frame,
                          const DecodeTarget& target, SourceInfo& info) {
  return decode_frame(data, size, layout, frame, target, nullptr, info);
}

int32_t decode_apng_frame_wide(const uint8_t* data, int32_t size, const ApngLayout& layout, const ApngFrame& frame,
                               const DecodeTarget& target, uint16_t* wide, SourceInfo& info) {
  if (layout.bit_depth != 16) return -1;
  return decode_frame(data, size, layout, frame, target, wide, info);
}

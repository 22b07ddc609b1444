#include "encode/apng_write.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "deflate/bitstream.h"
#include "encode/colour_analysis.h"
#include "encode/colour_hash.h"
#include "encode/encode_png.h"

namespace {

struct SharedForm {
  int32_t colour_type;  // 2, 3 or 6
  int32_t bit_depth;
  uint32_t palette[256];
  int32_t palette_count;
};

// The form every frame can take: a palette when all frames together have at
// most 256 colours (translucent entries first, so tRNS stays short), else RGB
// when nothing is translucent, else RGBA.
void choose_shared_form(const ApngRequest* r, SharedForm* form) {
  ColourHash hash;
  hash_reset(&hash, form->palette);
  int32_t count = 0;
  bool too_many = false, translucent = false, partial = false, over = false;
  for (int32_t i = 0; i < r->frame_count; ++i) {
    const ApngFrameIn& f = r->frames[i];
    over = over || f.blend_op == 1;
    const int64_t n = int64_t(f.width) * f.height;
    for (int64_t k = 0; k < n; ++k) {
      const uint32_t p = f.pixels[k];
      if (p < 0xFF000000u) translucent = true;
      if (p < 0xFF000000u && p > 0x00FFFFFFu) partial = true;
      if (too_many || (k > 0 && p == f.pixels[k - 1]) || hash_find(&hash, p) >= 0) continue;
      if (count == 256) {
        too_many = true;
        continue;
      }
      form->palette[count] = p;
      hash_insert(&hash, p, count);
      count += 1;
    }
  }
  // Frames blended over partly transparent palette entries are composed
  // differently by some viewers than the same frames in RGBA: RGBA is safe.
  if (partial && over) too_many = true;
  if (too_many) {
    form->colour_type = translucent ? 6 : 2;
    form->bit_depth = 8;
    form->palette_count = 0;
    return;
  }
  uint32_t ordered[256];
  int32_t n = 0;
  for (int32_t pass = 0; pass < 2; ++pass)
    for (int32_t i = 0; i < count; ++i)
      if ((form->palette[i] < 0xFF000000u) == (pass == 0)) ordered[n++] = form->palette[i];
  std::memcpy(form->palette, ordered, sizeof(uint32_t) * size_t(count));
  form->colour_type = 3;
  form->palette_count = count;
  form->bit_depth = palette_depth_needed(count);
}

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void put_be32(std::vector<uint8_t>* v, uint32_t x) {
  const uint8_t b[4] = {uint8_t(x >> 24), uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)};
  v->insert(v->end(), b, b + 4);
}

void put_chunk(std::vector<uint8_t>* out, const char* type, const uint8_t* data, uint32_t n,
               const uint8_t* prefix = nullptr, uint32_t prefix_n = 0) {
  put_be32(out, n + prefix_n);
  const size_t start = out->size();
  out->insert(out->end(), type, type + 4);
  if (prefix_n) out->insert(out->end(), prefix, prefix + prefix_n);
  if (n) out->insert(out->end(), data, data + n);
  put_be32(out, ~crc32_fold(0xFFFFFFFFu, out->data() + start, out->size() - start));
}

void put_fctl(std::vector<uint8_t>* out, uint32_t sequence, const ApngFrameIn& f) {
  uint8_t d[26];
  const uint32_t fields[5] = {sequence, uint32_t(f.width), uint32_t(f.height), uint32_t(f.x_offset),
                              uint32_t(f.y_offset)};
  for (int32_t i = 0; i < 5; ++i) {
    d[4 * i] = uint8_t(fields[i] >> 24);
    d[4 * i + 1] = uint8_t(fields[i] >> 16);
    d[4 * i + 2] = uint8_t(fields[i] >> 8);
    d[4 * i + 3] = uint8_t(fields[i]);
  }
  d[20] = uint8_t(f.delay_num >> 8);
  d[21] = uint8_t(f.delay_num);
  d[22] = uint8_t(f.delay_den >> 8);
  d[23] = uint8_t(f.delay_den);
  d[24] = f.dispose_op;
  d[25] = f.blend_op;
  put_chunk(out, "fcTL", d, 26);
}

// A finished still PNG, taken apart: where its IDAT run starts and ends.
struct StillParts {
  const uint8_t* png;
  int32_t size;
  int32_t idat_begin, idat_end;  // offsets of the first IDAT and of the chunk after the last
};

bool find_idat_run(const uint8_t* png, int32_t size, StillParts* s) {
  s->png = png;
  s->size = size;
  s->idat_begin = s->idat_end = -1;
  for (int64_t pos = 8; pos + 12 <= size;) {
    const int64_t next = pos + 12 + int64_t(be32(png + pos));
    if (next > size) return false;
    const bool idat = std::memcmp(png + pos + 4, "IDAT", 4) == 0;
    if (idat && s->idat_begin < 0) s->idat_begin = int32_t(pos);
    if (!idat && s->idat_begin >= 0 && s->idat_end < 0) s->idat_end = int32_t(pos);
    pos = next;
  }
  return s->idat_begin > 0 && s->idat_end > s->idat_begin;
}

// The chunks between IHDR and IDAT that give the pixels their colours; every
// frame's must equal the first one's for the frames to share them.
bool same_colour_chunks(const StillParts& a, const StillParts& b) {
  auto span = [](const StillParts& s, const uint8_t** p, int64_t* n) {
    *p = s.png + 33;
    *n = s.idat_begin - 33;
  };
  const uint8_t *pa, *pb;
  int64_t na, nb;
  span(a, &pa, &na);
  span(b, &pb, &nb);
  // The first image may carry kept chunks the others lack: compare PLTE and
  // tRNS only.
  auto find = [](const uint8_t* p, int64_t n, const char* type, const uint8_t** at, uint32_t* len) {
    for (int64_t pos = 0; pos + 12 <= n; pos += 12 + int64_t(be32(p + pos))) {
      if (std::memcmp(p + pos + 4, type, 4) == 0) {
        *at = p + pos + 8;
        *len = be32(p + pos);
        return true;
      }
    }
    return false;
  };
  for (const char* type : {"PLTE", "tRNS"}) {
    const uint8_t *ca = nullptr, *cb = nullptr;
    uint32_t la = 0, lb = 0;
    const bool ha = find(pa, na, type, &ca, &la), hb = find(pb, nb, type, &cb, &lb);
    if (ha != hb || la != lb || (ha && std::memcmp(ca, cb, la) != 0)) return false;
  }
  return true;
}

}  // namespace

int32_t encode_apng(const EncodeOptions* base, const ApngRequest* r, uint8_t** out) {
  *out = nullptr;
  if (r->frame_count < 1) return kNoPng;
  SharedForm form{};
  choose_shared_form(r, &form);

  std::vector<uint8_t*> stills(size_t(r->frame_count), nullptr);
  std::vector<StillParts> parts(size_t(r->frame_count));
  bool ok = true;
  for (int32_t i = 0; i < r->frame_count && ok; ++i) {
    const ApngFrameIn& f = r->frames[i];
    EncodeOptions o = *base;
    o.pixels = const_cast<uint32_t*>(f.pixels);
    o.pitch = f.width * 4;
    o.width = f.width;
    o.height = f.height;
    o.wide_pixels = nullptr;
    o.kbuf = nullptr;
    o.kbuf_capacity = 0;
    o.colour_type = form.colour_type;
    o.bit_depth = form.bit_depth;
    o.source_palette = form.palette;
    o.source_palette_count = form.palette_count;
    o.keep_palette = form.colour_type == 3 ? 1 : 0;
    o.print = PrintFn{};
    if (i > 0) {
      o.kept_before_plte = o.kept_before_idat = o.kept_count = 0;
      o.background = 0;
    }
    int32_t size = kNoPng;
    // Frames differ (a whole first screen, small changed rectangles after
    // it), so each gets the filter that suits it; ties keep the lower one.
    const bool trying = r->per_frame_filters && base->filter < 0;
    for (int32_t f = trying ? 0 : -1; f <= (trying ? 5 : -1); ++f) {
      EncodeOptions t = o;
      t.kbuf = nullptr;  // o's buffer holds the best so far
      t.kbuf_capacity = 0;
      if (trying) t.filter = f;
      const int32_t s = encode_png(&t);
      if (s != kNoPng && s < size) {
        std::free(o.kbuf);
        o.kbuf = t.kbuf;
        o.kbuf_capacity = t.kbuf_capacity;
        size = s;
      } else {
        std::free(t.kbuf);
      }
    }
    stills[size_t(i)] = o.kbuf;
    ok = size != kNoPng && size <= o.kbuf_capacity && find_idat_run(o.kbuf, size, &parts[size_t(i)]) &&
         (i == 0 || same_colour_chunks(parts[0], parts[size_t(i)]));
  }

  std::vector<uint8_t> file;
  if (ok) {
    const StillParts& first = parts[0];
    file.insert(file.end(), first.png, first.png + first.idat_begin);
    const int32_t animated = r->frame_count - (r->default_image_is_frame ? 0 : 1);
    const uint8_t actl[8] = {uint8_t(animated >> 24),      uint8_t(animated >> 16),      uint8_t(animated >> 8),
                             uint8_t(animated),            uint8_t(r->play_count >> 24), uint8_t(r->play_count >> 16),
                             uint8_t(r->play_count >> 8), uint8_t(r->play_count)};
    put_chunk(&file, "acTL", actl, 8);
    uint32_t sequence = 0;
    if (r->default_image_is_frame) put_fctl(&file, sequence++, r->frames[0]);
    file.insert(file.end(), first.png + first.idat_begin, first.png + first.idat_end);
    for (int32_t i = 1; i < r->frame_count; ++i) {
      put_fctl(&file, sequence++, r->frames[i]);
      const StillParts& s = parts[size_t(i)];
      for (int64_t pos = s.idat_begin; pos < s.idat_end; pos += 12 + int64_t(be32(s.png + pos))) {
        uint8_t seq[4] = {uint8_t(sequence >> 24), uint8_t(sequence >> 16), uint8_t(sequence >> 8),
                          uint8_t(sequence)};
        put_chunk(&file, "fdAT", s.png + pos + 8, be32(s.png + pos), seq, 4);
        sequence += 1;
      }
    }
    file.insert(file.end(), first.png + first.idat_end, first.png + first.size);
  }
  for (uint8_t* p : stills) std::free(p);
  if (!ok || file.size() > size_t(INT32_MAX - 1)) return kNoPng;
  *out = static_cast<uint8_t*>(std::malloc(file.size()));
  if (*out == nullptr) return kNoPng;
  std::memcpy(*out, file.data(), file.size());
  return int32_t(file.size());
}

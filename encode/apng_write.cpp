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

// What all frames together hold: their colours in order of first sight
// while there are at most 256, whether any pixel is translucent or partly
// so, whether every pixel is gray (R = G = B, transparent ones too) and the
// least gray depth that holds every level.
struct FrameColours {
  uint32_t palette[256];
  int32_t count;
  bool too_many, translucent, partial, over, gray;
  int32_t gray_depth;
};

void survey(const ApngRequest* r, FrameColours* c) {
  ColourHash hash;
  hash_reset(&hash, c->palette);
  c->count = 0;
  c->too_many = c->translucent = c->partial = c->over = false;
  c->gray = true;
  bool level[256] = {};
  for (int32_t i = 0; i < r->frame_count; ++i) {
    const ApngFrameIn& f = r->frames[i];
    c->over = c->over || f.blend_op == 1;
    const int64_t n = int64_t(f.width) * f.height;
    for (int64_t k = 0; k < n; ++k) {
      const uint32_t p = f.pixels[k];
      if (k > 0 && p == f.pixels[k - 1]) continue;
      if (p < 0xFF000000u) c->translucent = true;
      if (p < 0xFF000000u && p > 0x00FFFFFFu) c->partial = true;
      const uint32_t g = p & 0xFF;
      if (((p >> 16) & 0xFF) != g || ((p >> 8) & 0xFF) != g) c->gray = false;
      level[g] = true;
      if (c->too_many || hash_find(&hash, p) >= 0) continue;
      if (c->count == 256) {
        c->too_many = true;
        continue;
      }
      c->palette[c->count] = p;
      hash_insert(&hash, p, c->count);
      c->count += 1;
    }
  }
  c->gray_depth = 1;
  for (int32_t v = 0; v < 256; ++v) {
    if (!level[v]) continue;
    while (c->gray_depth < 8 && v % (255 / ((1 << c->gray_depth) - 1)) != 0) c->gray_depth *= 2;
  }
}

// A palette of the frames' colours, translucent entries first so tRNS stays
// short. Frames blended over partly transparent palette entries are
// composed differently by some viewers than the same frames in RGBA: there
// no palette is offered.
bool palette_form(const FrameColours& c, SharedForm* form) {
  if (c.too_many || (c.partial && c.over)) return false;
  int32_t n = 0;
  for (int32_t pass = 0; pass < 2; ++pass)
    for (int32_t i = 0; i < c.count; ++i)
      if ((c.palette[i] < 0xFF000000u) == (pass == 0)) form->palette[n++] = c.palette[i];
  form->colour_type = 3;
  form->palette_count = c.count;
  form->bit_depth = palette_depth_needed(c.count);
  return true;
}

// The forms every frame can take, the one tried first first: the palette
// when the colours fit one, gray (with alpha when anything is translucent)
// when every pixel is gray, and RGB or RGBA.
int32_t requested_depth(const EncodeOptions* base) {
  const int32_t d = base->bit_depth;
  return d == 1 || d == 2 || d == 4 || d == 8 ? d : 0;
}

// Over 16-bit frames: whether every pixel is gray and every one opaque.
void survey_wide(const ApngRequest* r, bool* gray, bool* opaque) {
  *gray = *opaque = true;
  for (int32_t i = 0; i < r->frame_count; ++i) {
    const ApngFrameIn& f = r->frames[i];
    const int64_t n = int64_t(f.width) * f.height;
    for (const uint16_t* p = f.wide; p < f.wide + n * 4; p += 4) {
      if (p[0] != p[1] || p[0] != p[2]) *gray = false;
      if (p[3] != 0xFFFF) *opaque = false;
    }
  }
}

bool wide_request(const ApngRequest* r) { return r->frame_count > 0 && r->frames[0].wide != nullptr; }

// The 16-bit forms: gray first when it holds every pixel.
int32_t shared_wide_forms(const ApngRequest* r, SharedForm forms[3]) {
  bool gray = true, opaque = true;
  survey_wide(r, &gray, &opaque);
  int32_t n = 0;
  if (gray) {
    forms[n] = SharedForm{};
    forms[n].colour_type = opaque ? 0 : 4;
    forms[n].bit_depth = 16;
    n += 1;
  }
  forms[n] = SharedForm{};
  forms[n].colour_type = opaque ? 2 : 6;
  forms[n].bit_depth = 16;
  return n + 1;
}

const char* const kWideTypeNames[7] = {"/c0 (Gray)", "", "/c2 (RGB)", "", "/c4 (Gray+Alpha)", "",
                                       "/c6 (RGB+Alpha)"};

// A request over 16-bit frames, under the still 16-bit picture's rules.
int32_t requested_wide_forms(const EncodeOptions* base, const ApngRequest* r, PrintFn print, SharedForm forms[3]) {
  bool gray = true, opaque = true;
  survey_wide(r, &gray, &opaque);
  if (base->colour_type < 0 && requested_depth(base) == 0) return shared_wide_forms(r, forms);
  const int32_t suggestion = gray ? (opaque ? 0 : 4) : (opaque ? 2 : 6);
  const int32_t type = base->colour_type, depth = requested_depth(base);
  if (depth > 0) {
    print("\rImage has 16-bit samples that %d bits would not hold exactly; omit /d%d", depth, depth);
    return 0;
  }
  if (type == 3) {
    print("\rImage has 16-bit samples that a palette would not hold exactly; try %s instead",
          kWideTypeNames[suggestion]);
    return 0;
  }
  if (type != 0 && type != 2 && type != 4 && type != 6) {
    print("\rPNG color type %d not supported\n", type);
    return 0;
  }
  const bool lacks_alpha = !opaque && (type == 0 || type == 2);
  const bool lacks_colour = !gray && (type == 0 || type == 4);
  if (lacks_alpha || lacks_colour) {
    print("\rImage ");
    if (lacks_alpha) print("requires full alpha; ");
    if (lacks_colour) print("is not grayscale; ");
    print("try %s instead", kWideTypeNames[suggestion]);
    return 0;
  }
  forms[0] = SharedForm{};
  forms[0].colour_type = type;
  forms[0].bit_depth = 16;
  return 1;
}

int32_t shared_forms(const ApngRequest* r, SharedForm forms[3]) {
  if (wide_request(r)) return shared_wide_forms(r, forms);
  FrameColours c{};
  survey(r, &c);
  int32_t n = 0;
  forms[n] = SharedForm{};
  if (palette_form(c, &forms[n])) n += 1;
  if (c.gray) {
    forms[n] = SharedForm{};
    forms[n].colour_type = c.translucent ? 4 : 0;
    forms[n].bit_depth = c.translucent ? 8 : c.gray_depth;
    n += 1;
  }
  forms[n] = SharedForm{};
  forms[n].colour_type = c.translucent ? 6 : 2;
  forms[n].bit_depth = 8;
  return n + 1;
}

// The forms a request leaves (0 when it can't hold the frames, after
// printing why).
int32_t requested_forms(const EncodeOptions* base, const ApngRequest* r, PrintFn print, SharedForm forms[3]) {
  if (wide_request(r)) return requested_wide_forms(base, r, print, forms);
  const int32_t type = base->colour_type, depth = requested_depth(base);
  if (type < 0) {
    SharedForm all[3];
    const int32_t n = shared_forms(r, all);
    int32_t kept = 0;
    for (int32_t k = 0; k < n; ++k) {
      const bool sized = all[k].colour_type == 0 || all[k].colour_type == 3;
      if (sized ? all[k].bit_depth > depth : depth != 8) continue;
      forms[kept] = all[k];
      forms[kept].bit_depth = depth;
      kept += 1;
    }
    if (kept == 0) refuse_bit_depth(depth, 16, print);
    return kept;
  }
  FrameColours c{};
  survey(r, &c);
  // Frames share no transparent key, so any transparency takes alpha.
  const int32_t flags =
      (c.translucent ? kNeedsAlpha : 0) | (c.gray ? 0 : kNotGray) | (c.too_many ? kTooManyColours : 0);
  if (type != 0 && type != 2 && type != 3 && type != 4 && type != 6) {
    print("\rPNG color type %d not supported\n", type);
    return 0;
  }
  if (refuse_colour_type(flags, c.count, type, print)) return 0;
  forms[0] = SharedForm{};
  if (type == 3 && !palette_form(c, &forms[0])) {
    print("\rImage frames blend over translucent colors; try /c6 (RGB+Alpha) instead");
    return 0;
  }
  forms[0].colour_type = type;
  if (type != 0 && type != 3) {
    forms[0].bit_depth = 8;
    return 1;
  }
  const int32_t needed = type == 0 ? c.gray_depth : forms[0].bit_depth;
  if (depth > 0 && refuse_bit_depth(depth, needed, print)) return 0;
  forms[0].bit_depth = depth > 0 ? depth : needed;
  return 1;
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

namespace {

// Every frame in the one form, framed as an animated PNG. With
// per_frame_filters each frame keeps the smallest of filters 0..5 (when base
// names none), with per_frame_blocks then also the smallest of a single
// block and two other split thresholds (when base asks for no block count).
int32_t encode_in_form(const EncodeOptions* base, const ApngRequest* r, const SharedForm& form,
                       bool per_frame_filters, bool per_frame_blocks, uint8_t** out) {
  *out = nullptr;

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
    o.wide_pixels = form.bit_depth == 16 ? f.wide : nullptr;
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
      o.background16 = nullptr;
    }
    int32_t size = kNoPng;
    // Frames differ (a whole first screen, small changed rectangles after
    // it), so each gets the filter that suits it; ties keep the lower one.
    const bool trying = per_frame_filters && base->filter < 0;
    int32_t best_filter = o.filter;
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
        best_filter = t.filter;
      } else {
        std::free(t.kbuf);
      }
    }
    // With the frame's filter, other block settings: small frames often
    // want a single block, large ones more or fewer splits.
    const bool blocks = per_frame_blocks && base->exact_block_count <= 0;
    for (int32_t v = 0; blocks && size != kNoPng && v < 3; ++v) {
      EncodeOptions t = o;
      t.kbuf = nullptr;
      t.kbuf_capacity = 0;
      t.filter = best_filter;
      if (v == 0) t.exact_block_count = 1;
      if (v == 1) t.block_threshold = base->block_threshold / 2;
      if (v == 2) t.block_threshold = base->block_threshold * 4;
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

}  // namespace

bool apng_request_given(const EncodeOptions* base) {
  return base->colour_type >= 0 || requested_depth(base) > 0;
}

bool apng_request_fits(const EncodeOptions* base, const ApngRequest* r, PrintFn print) {
  SharedForm forms[3];
  return !apng_request_given(base) || requested_forms(base, r, print, forms) > 0;
}

int32_t apng_form_count(const ApngRequest* r) {
  SharedForm forms[3];
  return shared_forms(r, forms);
}

int32_t encode_apng(const EncodeOptions* base, const ApngRequest* r, uint8_t** out) {
  *out = nullptr;
  if (r->frame_count < 1) return kNoPng;
  SharedForm forms[3];
  const int32_t available =
      apng_request_given(base) ? requested_forms(base, r, PrintFn{}, forms) : shared_forms(r, forms);
  if (available == 0) {
    if (r->refused != nullptr) *r->refused = true;
    return kNoPng;
  }
  const int32_t count = r->try_forms ? available : 1;
  const bool deep = base->deep_level > 0 || r->per_frame_filters || r->per_frame_blocks;
  if (count == 1) return encode_in_form(base, r, forms[0], r->per_frame_filters, r->per_frame_blocks, out);
  // Each form is weighed with one pass of the plain engine (no whole-stream
  // search, one filter setting for all frames), the smallest kept, the first
  // of equal ones; that form alone then gets the full encode and, under the
  // search mode, the search.
  EncodeOptions plain = *base;
  plain.deep_level = 0;
  plain.max_passes = 1;
  int32_t best = kNoPng, chosen = 0;
  for (int32_t k = 0; k < count; ++k) {
    uint8_t* file = nullptr;
    const int32_t n = encode_in_form(&plain, r, forms[k], false, false, &file);
    if (n != kNoPng && n < best) {
      std::free(*out);
      *out = file;
      best = n;
      chosen = k;
    } else {
      std::free(file);
    }
  }
  if (best == kNoPng || (!deep && base->max_passes == 1)) return best;
  std::free(*out);
  return encode_in_form(base, r, forms[chosen], r->per_frame_filters, r->per_frame_blocks, out);
}

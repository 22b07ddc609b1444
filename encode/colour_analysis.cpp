#include "encode/colour_analysis.h"

#include <cstring>

namespace {

const char* const kSuggestionNames[7] = {"/c0 (Gray)",       "", "/c2 (RGB)",      "/c3 (Pal)",
                                         "/c4 (Gray+Alpha)", "", "/c6 (RGB+Alpha)"};

inline const uint32_t* row_of(const EncodeOptions* o, int32_t y) {
  return reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(o->pixels) +
                                           int64_t(y) * o->pitch);
}

inline void swap_entries(ColourChoice* c, int32_t a, int32_t b) {
  const uint32_t p = c->palette[a];
  c->palette[a] = c->palette[b];
  c->palette[b] = p;
  const int32_t f = c->frequency[a];
  c->frequency[a] = c->frequency[b];
  c->frequency[b] = f;
}

// Scan for the flags, the smallest pixel and the first 256 distinct colours
// (collected into the palette in order of first appearance).
int32_t scan_picture(const EncodeOptions* o, KeyCheckFn key_check, ColourHash* hash, ColourChoice* c,
                     uint32_t* smallest) {
  hash_reset(hash, c->palette);
  int32_t flags = 0, count = 0;
  uint32_t least = 0xFFFFFFFFu;
  for (int32_t y = 0; y < o->height; ++y) {
    if (key_check(1)) return -1;
    const uint32_t* row = row_of(o, y);
    // Runs of one colour are the common case; the last value seen needs no lookup.
    bool have_last = false;
    uint32_t last = 0;
    for (int32_t x = 0; x < o->width; ++x) {
      const uint32_t p = row[x];
      if (p < least) least = p;
      if (!(flags & kNotGray) && ((p >> 8) ^ p) & 0xFFFF) flags |= kNotGray;
      if (flags & kTooManyColours) continue;
      if (have_last && p == last) continue;
      have_last = true;
      last = p;
      if (hash_find(hash, p) >= 0) continue;
      if (count < 256) {
        c->palette[count] = p;
        hash_insert(hash, p, count);
        count += 1;
      } else {
        flags |= kTooManyColours;
      }
    }
  }
  c->flags = flags;
  c->distinct_colours = count;
  *smallest = least;
  return 0;
}

// A transparent key stands for all transparency only when every non-opaque
// pixel is that one value and its colour never occurs visibly.
int32_t check_key(const EncodeOptions* o, KeyCheckFn key_check, ColourChoice* c, uint32_t least) {
  if (least >= 0xFF000000u) {
    c->transparent_key = kNoTransparentKey;
    return 0;
  }
  if (least > 0x00FFFFFFu) {
    c->flags |= kNeedsAlpha;
    c->transparent_key = kNoTransparentKey;
    return 0;
  }
  const uint32_t key = least;
  for (int32_t y = 0; y < o->height; ++y) {
    if (key_check(1)) return -1;
    const uint32_t* row = row_of(o, y);
    for (int32_t x = 0; x < o->width; ++x) {
      const uint32_t p = row[x];
      if (((p & 0xFFFFFFu) == key && (p >> 24) != 0) || (p < 0xFF000000u && p != key)) {
        c->flags |= kNeedsAlpha;
        c->transparent_key = kNoTransparentKey;
        return 0;
      }
    }
  }
  c->transparent_key = key;
  return 0;
}

int32_t refuse(const ColourChoice* c, int32_t colour_type, PrintFn print) {
  const char* name = kSuggestionNames[c->suggestion];
  const int32_t flags = c->flags;
  if (colour_type == 2 && (flags & kNeedsAlpha)) {
    print("\rImage requires full alpha; try %s instead", name);
    return -1;
  }
  if (colour_type == 0 && flags) {
    print("\rImage ");
    if (flags & kNeedsAlpha) print("requires full alpha; ");
    if (flags & kNotGray) print("is not grayscale; ");
    if (flags & kTooManyColours) print("doesn't fit into 256 color entries; ");
    print("try %s instead", name);
    return -1;
  }
  if (colour_type == 3 && (flags & kTooManyColours)) {
    print("\rImage doesn't fit into 256 color entries; try %s instead", name);
    return -1;
  }
  if (colour_type == 4 && (flags & kNotGray)) {
    print("\rImage is not grayscale; try %s instead", name);
    return -1;
  }
  return 0;
}

int32_t settle_depth(ColourChoice* c, int32_t requested, int32_t needed, PrintFn print) {
  if (requested != 1 && requested != 2 && requested != 4 && requested != 8) requested = needed;
  if (refuse_bit_depth(requested, needed, print)) return -1;
  c->bit_depth = requested;
  return 0;
}

int32_t choose_gray(const EncodeOptions* o, KeyCheckFn key_check, PrintFn print, ColourChoice* c) {
  uint8_t used[256] = {};
  for (int32_t y = 0; y < o->height; ++y) {
    if (key_check(1)) return -1;
    const uint32_t* row = row_of(o, y);
    for (int32_t x = 0; x < o->width; ++x) used[row[x] & 0xFF] = 1;
  }
  if (settle_depth(c, o->bit_depth, gray_depth_needed(used), print)) return -1;
  static const uint32_t kStep[9] = {0, 0xFFFFFF, 0x555555, 0, 0x111111, 0, 0, 0, 0x010101};
  const uint32_t step = kStep[c->bit_depth];
  c->palette_used = 1 << c->bit_depth;
  for (int32_t i = 0; i < c->palette_used; ++i) c->palette[i] = 0xFF000000u + uint32_t(i) * step;
  // The transparent level must map to its own index so the key survives the lookup.
  if (c->transparent_key != kNoTransparentKey) c->palette[c->transparent_key / step] = c->transparent_key;
  print(", bitdepth:%d", c->bit_depth);
  return 0;
}

// Counts every pixel into c->frequency through the hash. A colour the hash
// lacks is appended as entry *n while append is set and there is room.
// Returns 0, 1 for a colour that could not be appended, -1 on a stop.
int32_t count_colours(const EncodeOptions* o, KeyCheckFn key_check, ColourHash* hash, ColourChoice* c, bool append,
                      int32_t* n) {
  for (int32_t y = 0; y < o->height; ++y) {
    if (key_check(1)) return -1;
    const uint32_t* row = row_of(o, y);
    for (int32_t x = 0; x < o->width; ++x) {
      const uint32_t p = row[x];
      const int32_t i = hash_find(hash, p);
      if (i >= 0) {
        c->frequency[i] += 1;
        continue;
      }
      if (!append || *n == 256) return 1;
      c->palette[*n] = p;
      c->frequency[*n] = 1;
      hash_insert(hash, p, *n);
      *n += 1;
    }
  }
  return 0;
}

// Palette in order of first appearance, then by falling frequency. The sort
// is a gapped insertion sort whose order among equal counts is part of the
// output (the same picture must always give the same file).
int32_t palette_from_pixels(const EncodeOptions* o, KeyCheckFn key_check, ColourHash* hash, ColourChoice* c) {
  hash_reset(hash, c->palette);
  std::memset(c->frequency, 0, sizeof c->frequency);
  int32_t n = 0;
  // The scan already refused pictures of more than 256 colours, so running
  // out of room is as final as a stop.
  if (count_colours(o, key_check, hash, c, true, &n) != 0) return -1;
  for (int32_t gap = n / 2; gap > 0; gap /= 2) {
    for (int32_t i = 0; i < n - gap; ++i) {
      for (int32_t j = i; j >= 0 && c->frequency[j] < c->frequency[j + gap]; j -= gap) {
        swap_entries(c, j, j + gap);
      }
    }
  }
  c->palette_used = n;
  return 0;
}

// The input's palette, counted. A pixel the palette lacks (a decoder may leave
// one, e.g. an index past a short palette) is never looked up as -1: with
// keep_palette it is appended while there is room; otherwise, or when there is
// no room, the caller builds the palette from the pixels.
// Returns 0, 1 when the palette does not cover the picture, -1 on a stop.
int32_t palette_from_source(const EncodeOptions* o, KeyCheckFn key_check, ColourHash* hash, ColourChoice* c) {
  hash_reset(hash, c->palette);
  int32_t n = c->palette_used;
  for (int32_t i = n - 1; i >= 0; --i) hash_insert(hash, c->palette[i], i);
  std::memset(c->frequency, 0, sizeof c->frequency);
  const int32_t counted = count_colours(o, key_check, hash, c, c->keep_palette != 0, &n);
  if (counted != 0) return counted;
  if (!c->keep_palette) {
    int32_t kept = 0;
    for (int32_t i = 0; i < n; ++i) {
      if (c->frequency[i] == 0) continue;
      c->palette[kept] = c->palette[i];
      c->frequency[kept] = c->frequency[i];
      kept += 1;
    }
    n = kept;
  }
  c->palette_used = n;
  return 0;
}

int32_t choose_palette(const EncodeOptions* o, KeyCheckFn key_check, PrintFn print, ColourHash* hash,
                       ColourChoice* c) {
  bool from_pixels = c->palette_used == 0;
  if (from_pixels) {
    if (c->keep_palette) print("\nIgnoring /kp (palette not found)");
  } else {
    const int32_t r = palette_from_source(o, key_check, hash, c);
    if (r < 0) return -1;
    if (r == 1) {
      if (c->keep_palette) print("\nIgnoring /kp (palette not found)");
      from_pixels = true;
    }
  }
  if (from_pixels && palette_from_pixels(o, key_check, hash, c)) return -1;
  const int32_t n = c->palette_used;
  if (settle_depth(c, o->bit_depth, palette_depth_needed(n), print)) return -1;
  if (c->keep_palette) {
    print(", %d colors, bitdepth:%d", n, c->bit_depth);
    return 0;
  }
  // Translucent entries first, so that tRNS covers as few entries as possible.
  for (int32_t i = 1; i < n; ++i) {
    for (int32_t j = 0; j < i; ++j) {
      if (c->palette[j] >= 0xFF000000u && c->palette[i] < 0xFF000000u) swap_entries(c, i, j);
    }
  }
  print(", %d unique colors, bitdepth:%d", n, c->bit_depth);
  return 0;
}

}  // namespace

int32_t suggest_colour_type(int32_t flags, int32_t distinct_colours) {
  if (!(flags & kTooManyColours)) {
    if (flags & (kNeedsAlpha | kNotGray)) return 3;
    return distinct_colours < 128 ? 3 : 0;
  }
  if ((flags & kNeedsAlpha) && (flags & kNotGray)) return 6;
  if (flags & kNeedsAlpha) return 4;
  if (flags & kNotGray) return 2;
  // 256 gray levels plus a transparent key: gray with tRNS takes it.
  return 0;
}

int32_t gray_depth_needed(const uint8_t* used) {
  int32_t r = 0;
  for (int32_t v = 128; v >= 1; --v) {
    if (!used[v] && !used[255 - v]) continue;
    r |= 1;
    if (v == 85) continue;
    r = 3;
    if ((v >> 4) != (v & 15)) {
      r = 7;
      break;
    }
  }
  return r + 1;
}

int32_t palette_depth_needed(int32_t count) {
  if (count <= 2) return 1;
  if (count <= 4) return 2;
  if (count <= 16) return 4;
  return 8;
}

int32_t refuse_colour_type(int32_t flags, int32_t distinct_colours, int32_t colour_type, PrintFn print) {
  ColourChoice c{};
  c.flags = flags;
  c.distinct_colours = distinct_colours;
  c.suggestion = suggest_colour_type(flags, distinct_colours);
  return refuse(&c, colour_type, print);
}

int32_t refuse_bit_depth(int32_t requested, int32_t needed, PrintFn print) {
  if (needed <= requested) return 0;
  print("\rImage doesn't fit in selected bitdepth");
  return -1;
}

int32_t analyse_colours(const EncodeOptions* o, PrintFn print, KeyCheckFn key_check, ColourHash* hash,
                        ColourChoice* c) {
  std::memset(c, 0, sizeof *c);
  int32_t colour_type = o->colour_type;
  int32_t source_count = o->source_palette ? o->source_palette_count : 0;
  if (source_count < 0) source_count = 0;
  if (source_count > 256) source_count = 256;
  c->keep_palette = o->keep_palette ? 1 : 0;
  c->transparent_key = kNoTransparentKey;

  if (colour_type != 6) {
    uint32_t least = 0;
    if (scan_picture(o, key_check, hash, c, &least)) return -1;
    if (check_key(o, key_check, c, least)) return -1;
    c->suggestion = suggest_colour_type(c->flags, c->distinct_colours);
    if (colour_type < 0) colour_type = c->suggestion;
    if (refuse(c, colour_type, print)) return -1;
  }
  if (colour_type != 0 && colour_type != 2 && colour_type != 3 && colour_type != 4 && colour_type != 6) {
    print("\rPNG color type %d not supported\n", colour_type);
    return -1;
  }
  c->colour_type = colour_type;
  c->filter = o->filter;
  if (c->filter < 0 || c->filter > 7) c->filter = colour_type == 3 ? 0 : 5;

  c->palette_used = source_count;
  if (source_count > 0) std::memcpy(c->palette, o->source_palette, sizeof(uint32_t) * source_count);

  if (colour_type == 0) return choose_gray(o, key_check, print, c);
  if (colour_type == 3) return choose_palette(o, key_check, print, hash, c);
  c->bit_depth = 8;
  return 0;
}

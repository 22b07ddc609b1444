#include "encode/encode_wide.h"

#include <cstring>

namespace {

const char* const kTypeNames[7] = {"/c0 (Gray)", "", "/c2 (RGB)", "", "/c4 (Gray+Alpha)", "", "/c6 (RGB+Alpha)"};

struct WideScan {
  bool opaque;       // every alpha is 65535
  bool gray;         // red, green and blue agree in every pixel
  bool key_usable;   // alpha only 0 or 65535, every clear pixel one colour, never seen opaque
  uint16_t key[3];
};

// Two passes: the first finds the flags and the first clear colour, the
// second whether that colour also occurs opaque, which a key would hide.
int32_t scan_wide(const EncodeOptions* o, KeyCheckFn key_check, WideScan* s) {
  s->opaque = true;
  s->gray = true;
  s->key_usable = true;
  bool have_key = false;
  const int64_t row_samples = int64_t(o->width) * 4;
  for (int32_t y = 0; y < o->height; ++y) {
    if (key_check(1)) return -1;
    const uint16_t* p = o->wide_pixels + y * row_samples;
    for (int32_t x = 0; x < o->width; ++x, p += 4) {
      if (p[0] != p[1] || p[0] != p[2]) s->gray = false;
      if (p[3] == 0xFFFF) continue;
      s->opaque = false;
      if (p[3] != 0) {
        s->key_usable = false;
      } else if (!have_key) {
        have_key = true;
        std::memcpy(s->key, p, sizeof s->key);
      } else if (std::memcmp(s->key, p, sizeof s->key) != 0) {
        s->key_usable = false;
      }
    }
  }
  if (s->opaque || !s->key_usable) return 0;
  for (int32_t y = 0; y < o->height; ++y) {
    if (key_check(1)) return -1;
    const uint16_t* p = o->wide_pixels + y * row_samples;
    for (int32_t x = 0; x < o->width; ++x, p += 4) {
      if (p[3] != 0 && std::memcmp(s->key, p, sizeof s->key) == 0) {
        s->key_usable = false;
        return 0;
      }
    }
  }
  return 0;
}

int32_t suggestion_of(const WideScan& s) {
  const bool needs_alpha = !s.opaque && !s.key_usable;
  return s.gray ? (needs_alpha ? 4 : 0) : (needs_alpha ? 6 : 2);
}

}  // namespace

int32_t suggest_wide_colour_type(const EncodeOptions* o) {
  WideScan s{};
  scan_wide(o, KeyCheckFn{}, &s);
  return suggestion_of(s);
}

bool wide_fits_8_bits(const uint16_t* samples, int32_t width, int32_t height) {
  const int64_t n = int64_t(width) * height * 4;
  for (int64_t i = 0; i < n; ++i) {
    if ((samples[i] >> 8) != (samples[i] & 0xFF)) return false;
  }
  return true;
}

int32_t analyse_wide(const EncodeOptions* o, PrintFn print, KeyCheckFn key_check, ColourChoice* c) {
  std::memset(c, 0, sizeof *c);
  c->transparent_key = kNoTransparentKey;
  WideScan s{};
  if (scan_wide(o, key_check, &s)) return -1;
  const bool needs_alpha = !s.opaque && !s.key_usable;
  const int32_t suggestion = suggestion_of(s);
  const int32_t requested = o->colour_type;
  if (o->bit_depth > 0 && o->bit_depth < 16) {
    print("\rImage has 16-bit samples that %d bits would not hold exactly; omit /d%d", o->bit_depth,
          o->bit_depth);
    return -1;
  }
  if (requested == 3) {
    print("\rImage has 16-bit samples that a palette would not hold exactly; try %s instead",
          kTypeNames[suggestion]);
    return -1;
  }
  if (requested >= 0) {
    const bool lacks_alpha = needs_alpha && (requested == 0 || requested == 2);
    const bool lacks_colour = !s.gray && (requested == 0 || requested == 4);
    if (requested != 0 && requested != 2 && requested != 4 && requested != 6) {
      print("\rPNG color type %d not supported\n", requested);
      return -1;
    }
    if (lacks_alpha || lacks_colour) {
      print("\rImage ");
      if (lacks_alpha) print("requires full alpha; ");
      if (lacks_colour) print("is not grayscale; ");
      print("try %s instead", kTypeNames[suggestion]);
      return -1;
    }
  }
  c->colour_type = requested >= 0 ? requested : suggestion;
  c->bit_depth = 16;
  c->suggestion = suggestion;
  c->filter = o->filter;
  if (c->filter < 0 || c->filter > 7) c->filter = 5;
  if (!s.opaque && (c->colour_type == 0 || c->colour_type == 2)) {
    c->has_key16 = 1;
    std::memcpy(c->key16, s.key, sizeof c->key16);
  }
  print(", bitdepth:16");
  return 0;
}

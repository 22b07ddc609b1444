#pragma once
#include <cstdint>

#include "deflate/callbacks.h"
#include "encode/colour_hash.h"
#include "encode/encode_options.h"

constexpr uint32_t kNoTransparentKey = 0xFFFFFFFFu;

// Bits of ColourChoice::flags gathered over the picture.
constexpr int32_t kNeedsAlpha = 1;      // transparency that one key colour can't express
constexpr int32_t kNotGray = 2;         // some pixel with red, green, blue not all equal
constexpr int32_t kTooManyColours = 4;  // more than 256 distinct pixel values

// The PNG form colour analysis settles on for one run.
struct ColourChoice {
  int32_t colour_type;    // 0, 2, 3, 4 or 6
  int32_t bit_depth;      // 1, 2, 4 or 8 (always 8 for types 2, 4, 6)
  int32_t filter;         // 0..5
  int32_t keep_palette;   // palette order is the input's: never reordered
  uint32_t palette[256];  // 0xAARRGGBB; the gray ramp for type 0
  int32_t palette_used;
  int32_t frequency[256];    // pixels per palette entry (type 3 built from pixels)
  uint32_t transparent_key;  // the one fully transparent pixel value, or kNoTransparentKey
  int32_t flags;
  int32_t distinct_colours;  // collected by the scan, at most 256
  int32_t suggestion;        // the colour type that would take the picture
  int32_t has_key16;         // bit_depth 16: key16 is the transparent colour
  uint16_t key16[3];         // R, G, B (gray in all three)
};

// Looks at every pixel of options' picture and settles colour type, bit
// depth, filter, palette and transparent key. Returns 0, or -1 when the
// request was refused (after printing why) or key_check asked to stop.
// Leaves hash pointing at choice->palette in an undefined state: rebuild it
// with hash_fill before use.
int32_t analyse_colours(const EncodeOptions* options, PrintFn print, KeyCheckFn key_check, ColourHash* hash,
                        ColourChoice* choice);

// The still picture's rules for a requested form, for callers that gather
// the flags themselves (over several frames): -1 after printing why a
// picture with these flags and distinct colours can't take colour_type, or
// why needed bits exceed the requested depth; else 0.
int32_t refuse_colour_type(int32_t flags, int32_t distinct_colours, int32_t colour_type, PrintFn print);
int32_t refuse_bit_depth(int32_t requested, int32_t needed, PrintFn print);

// The colour type a picture with these flags and distinct colours fits into.
int32_t suggest_colour_type(int32_t flags, int32_t distinct_colours);
// Smallest gray depth (1, 2, 4, 8) that holds every level marked in used[256].
int32_t gray_depth_needed(const uint8_t* used);
// Smallest depth (1, 2, 4, 8) whose index range holds count entries.
int32_t palette_depth_needed(int32_t count);

#include "decode/dds_blocks.h"

#include <algorithm>

#include "decode/decoder.h"

namespace {

// reciprocal[a] = 0xFF0000 / a undoes premultiplication by a with one multiply
// and a 16-bit shift; 0x10000 for alpha 0 leaves the colour as it is.
struct Reciprocals {
  uint32_t value[256];
  constexpr Reciprocals() : value{} {
    value[0] = 0x10000;
    for (uint32_t a = 1; a < 256; ++a) value[a] = 0xFF0000u / a;
  }
};
constexpr Reciprocals reciprocal;
static_assert(reciprocal.value[128] == 130560 && reciprocal.value[255] == 0x10000);

struct Rgb {
  uint32_t r, g, b;
};

// 5:6:5 widened to full range by repeating each channel's top bits below it,
// so 31 becomes 255 and 63 becomes 255.
Rgb expand565(uint32_t c) {
  const uint32_t r = c >> 11 & 31, g = c >> 5 & 63, b = c & 31;
  return {r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2};
}

uint32_t argb(uint32_t a, Rgb c) { return a << 24 | c.r << 16 | c.g << 8 | c.b; }

// Thirds by multiplying with 0x5555 / 65536, just under 1/3.
uint32_t third(uint32_t twice, uint32_t once) { return ((2 * twice + once + 1) * 0x5555) >> 16; }

// The eight levels of an interpolated part between endpoints a0 and a1;
// `low` and `high` are the two fixed levels of the six-level form. Levels are
// rounded down, as the established decoders do, so that the pictures agree.
void level_table(uint32_t a0, uint32_t a1, uint32_t low, uint32_t high, uint32_t out[8]) {
  out[0] = a0;
  out[1] = a1;
  if (a0 > a1) {
    for (uint32_t k = 0; k < 6; ++k) out[2 + k] = ((6 - k) * a0 + (1 + k) * a1) / 7;
  } else {
    for (uint32_t k = 0; k < 4; ++k) out[2 + k] = ((4 - k) * a0 + (1 + k) * a1) / 5;
    out[6] = low;
    out[7] = high;
  }
}

// The sixteen 3-bit level indices of an interpolated part, pixel 0 lowest.
uint64_t level_indices(const uint8_t* part) {
  uint64_t bits = 0;
  for (int i = 7; i >= 2; --i) bits = bits << 8 | part[i];
  return bits;
}

}  // namespace

void decode_colour_block(const uint8_t* part, bool three_colour_mode, uint32_t pixels[16]) {
  const uint32_t c0 = read_le16(part);
  const uint32_t c1 = read_le16(part + 2);
  const Rgb a = expand565(c0);
  const Rgb b = expand565(c1);
  uint32_t colours[4];
  colours[0] = argb(255, a);
  colours[1] = argb(255, b);
  if (c0 > c1 || !three_colour_mode) {
    colours[2] = argb(255, {third(a.r, b.r), third(a.g, b.g), third(a.b, b.b)});
    colours[3] = argb(255, {third(b.r, a.r), third(b.g, a.g), third(b.b, a.b)});
  } else {
    colours[2] = argb(255, {(a.r + b.r) >> 1, (a.g + b.g) >> 1, (a.b + b.b) >> 1});
    colours[3] = 0;
  }
  const uint32_t indices = read_le32(part + 4);
  for (int k = 0; k < 16; ++k) pixels[k] = colours[(indices >> (2 * k)) & 3];
}

void apply_explicit_alpha(const uint8_t* part, uint32_t pixels[16]) {
  for (int k = 0; k < 16; ++k) {
    const uint32_t nibble = (part[k / 2] >> (4 * (k & 1))) & 0xF;
    pixels[k] = (pixels[k] & 0x00FFFFFFu) | (nibble * 17) << 24;
  }
}

void apply_interpolated_alpha(const uint8_t* part, uint32_t pixels[16]) {
  uint32_t levels[8];
  level_table(part[0], part[1], 0, 255, levels);
  const uint64_t bits = level_indices(part);
  for (int k = 0; k < 16; ++k) pixels[k] = (pixels[k] & 0x00FFFFFFu) | levels[(bits >> (3 * k)) & 7] << 24;
}

void decode_channel_block(const uint8_t* part, bool is_signed, uint8_t values[16]) {
  // Signed endpoints are moved up by 128 (the top bit flipped), which keeps
  // their order; the levels then follow the unsigned rule.
  const uint32_t flip = is_signed ? 0x80 : 0;
  uint32_t levels[8];
  level_table(part[0] ^ flip, part[1] ^ flip, 0, 255, levels);
  const uint64_t bits = level_indices(part);
  for (int k = 0; k < 16; ++k) values[k] = uint8_t(levels[(bits >> (3 * k)) & 7]);
}

void unpremultiply_block(uint32_t pixels[16]) {
  for (int k = 0; k < 16; ++k) {
    const uint32_t pixel = pixels[k];
    const uint32_t alpha = pixel >> 24;
    if (alpha == 0) continue;
    const uint32_t r = reciprocal.value[alpha];
    auto channel = [r](uint32_t c) { return std::min<uint32_t>((c * r) >> 16, 255); };
    pixels[k] = alpha << 24 | channel(pixel >> 16 & 0xFF) << 16 | channel(pixel >> 8 & 0xFF) << 8 |
                channel(pixel & 0xFF);
  }
}

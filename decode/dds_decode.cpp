#include "decode/dds_decode.h"

#include <algorithm>
#include <cstring>

// Only the first (largest) image is read: uncompressed 32-bit BGRA with the
// exact standard masks, or DXT1 to DXT5 blocks. source_info is left alone, so
// the colour type stays what the caller set.
//
// Data that ends before the picture does: the pixels (or 4 x 4 blocks) that
// are wholly present are decoded, the rest of the picture becomes opaque
// black, source_info.incomplete is set and the result is still 0. Opaque, so
// that a cut-short opaque texture stays an opaque picture.
namespace {

constexpr int64_t kHeaderSize = 128;
constexpr uint32_t kFlagUncompressed = 0x40;
constexpr uint32_t kFlagFourCc = 0x04;
constexpr uint32_t kMissing = 0xFF000000u;
// Row sizes beyond this would wrap a signed 32-bit byte count.
constexpr int64_t kMaxRowBytes = INT32_MAX;

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

// 5:6:5 widened with empty low bits: 31 becomes 248 and 63 becomes 252.
Rgb expand565(uint32_t c) { return {(c >> 8) & 0xF8, (c >> 3) & 0xFC, (c << 3) & 0xF8}; }

uint32_t argb(uint32_t a, Rgb c) { return a << 24 | c.r << 16 | c.g << 8 | c.b; }

// Thirds by multiplying with 0x5555 / 65536, just under 1/3.
uint32_t third(uint32_t twice, uint32_t once) { return ((2 * twice + once + 1) * 0x5555) >> 16; }

// The four colours of a colour part, as 0xAARRGGBB.
void colour_table(const uint8_t* part, bool dxt1, uint32_t out[4]) {
  const uint32_t c0 = read_le16(part);
  const uint32_t c1 = read_le16(part + 2);
  const Rgb a = expand565(c0);
  const Rgb b = expand565(c1);
  out[0] = argb(255, a);
  out[1] = argb(255, b);
  if (c0 > c1 || !dxt1) {
    out[2] = argb(255, {third(a.r, b.r), third(a.g, b.g), third(a.b, b.b)});
    out[3] = argb(255, {third(b.r, a.r), third(b.g, a.g), third(b.b, a.b)});
  } else {
    out[2] = argb(255, {(a.r + b.r) >> 1, (a.g + b.g) >> 1, (a.b + b.b) >> 1});
    out[3] = 0;
  }
}

// The eight alpha levels of an interpolated alpha part.
void alpha_table(uint32_t a0, uint32_t a1, uint32_t out[8]) {
  out[0] = a0;
  out[1] = a1;
  if (a0 > a1) {
    for (uint32_t k = 0; k < 6; ++k) out[2 + k] = (((6 - k) * a0 + (1 + k) * a1 + 3) * 0x2492) >> 16;
  } else {
    for (uint32_t k = 0; k < 4; ++k) out[2 + k] = (((4 - k) * a0 + (1 + k) * a1 + 2) * 0x3333) >> 16;
    out[6] = 0;
    out[7] = 255;
  }
}

uint32_t unpremultiply(uint32_t pixel) {
  const uint32_t alpha = pixel >> 24;
  if (alpha == 0) return pixel;
  const uint32_t r = reciprocal.value[alpha];
  auto channel = [r](uint32_t c) { return std::min<uint32_t>((c * r) >> 16, 255); };
  return alpha << 24 | channel(pixel >> 16 & 0xFF) << 16 | channel(pixel >> 8 & 0xFF) << 8 |
         channel(pixel & 0xFF);
}

// Decodes one block (variant 1..5) into 16 pixels, row-major.
void decode_block(const uint8_t* block, int variant, uint32_t pixels[16]) {
  const uint8_t* colour_part = variant == 1 ? block : block + 8;
  uint32_t colours[4];
  colour_table(colour_part, variant == 1, colours);
  const uint32_t indices = read_le32(colour_part + 4);
  for (int k = 0; k < 16; ++k) pixels[k] = colours[(indices >> (2 * k)) & 3];

  if (variant == 2 || variant == 3) {
    for (int k = 0; k < 16; ++k) {
      const uint32_t nibble = (block[k / 2] >> (4 * (k & 1))) & 0xF;
      pixels[k] = (pixels[k] & 0x00FFFFFFu) | (nibble * 17) << 24;
    }
  } else if (variant == 4 || variant == 5) {
    uint32_t levels[8];
    alpha_table(block[0], block[1], levels);
    const uint32_t low = uint32_t(block[2]) | uint32_t(block[3]) << 8 | uint32_t(block[4]) << 16;
    const uint32_t high = uint32_t(block[5]) | uint32_t(block[6]) << 8 | uint32_t(block[7]) << 16;
    for (int k = 0; k < 16; ++k) {
      const uint32_t bits = k < 8 ? low >> (3 * k) : high >> (3 * (k - 8));
      pixels[k] = (pixels[k] & 0x00FFFFFFu) | levels[bits & 7] << 24;
    }
  }
  if (variant == 2 || variant == 4)
    for (int k = 0; k < 16; ++k) pixels[k] = unpremultiply(pixels[k]);
}

uint32_t* target_row(const DecodeTarget& t, int64_t y) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
}

// Picture rows [first, last) and columns [first, last) that land inside the
// target; nothing outside them is visible, so nothing else is visited.
struct Span {
  int64_t first, last;
};
Span visible(int64_t picture_size, int64_t offset, int64_t target_size) {
  return {std::max<int64_t>(0, -offset), std::min(picture_size, target_size - offset)};
}

int32_t decode_uncompressed(const uint8_t* d, int64_t size, int64_t width, int64_t height,
                            const DecodeTarget& t) {
  if (width * 4 > kMaxRowBytes) return -1;
  const int64_t pixels_present = (size - kHeaderSize) / 4;
  if (pixels_present < width * height) {
    source_info.incomplete = 1;
    source_info.decoded_rows = int32_t(pixels_present / width);
  }
  const Span rows = visible(height, t.y_offset, t.height);
  const Span columns = visible(width, t.x_offset, t.width);
  for (int64_t r = rows.first; r < rows.last; ++r) {
    uint32_t* line = target_row(t, r + t.y_offset);
    const int64_t present = std::clamp<int64_t>(pixels_present - r * width, 0, width);
    const int64_t copy_end = std::min(present, columns.last);
    if (copy_end > columns.first)
      std::memcpy(line + columns.first + t.x_offset, d + kHeaderSize + (r * width + columns.first) * 4,
                  size_t(copy_end - columns.first) * 4);
    for (int64_t x = std::max(copy_end, columns.first); x < columns.last; ++x)
      line[x + t.x_offset] = kMissing;
  }
  return 0;
}

int32_t decode_blocks(const uint8_t* d, int64_t size, int64_t width, int64_t height, int variant,
                      const DecodeTarget& t) {
  const int64_t block_size = variant == 1 ? 8 : 16;
  const int64_t blocks_across = (width + 3) / 4;
  const int64_t row_bytes = blocks_across * block_size;
  if (row_bytes > kMaxRowBytes) return -1;
  const int64_t blocks_present = (size - kHeaderSize) / block_size;
  if (blocks_present < blocks_across * ((height + 3) / 4)) {
    source_info.incomplete = 1;
    source_info.decoded_rows = int32_t(std::min<int64_t>(blocks_present / blocks_across * 4, height));
  }

  // Edge blocks are written whole where the target has room, also beyond the
  // picture's own size, so the visible range is taken in whole blocks.
  const Span rows = visible((height + 3) / 4 * 4, t.y_offset, t.height);
  const Span columns = visible(blocks_across * 4, t.x_offset, t.width);
  if (rows.first >= rows.last || columns.first >= columns.last) return 0;
  uint32_t pixels[16];
  for (int64_t by = rows.first / 4; by * 4 < rows.last; ++by) {
    for (int64_t bx = columns.first / 4; bx * 4 < columns.last; ++bx) {
      const int64_t index = by * blocks_across + bx;
      if (index < blocks_present) {
        decode_block(d + kHeaderSize + index * block_size, variant, pixels);
      } else {
        std::fill(pixels, pixels + 16, kMissing);
      }
      for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) put_pixel(t, bx * 4 + i, by * 4 + j, pixels[4 * j + i]);
    }
  }
  return 0;
}

}  // namespace

int32_t decode_dds(const uint8_t* d, int32_t size, const DecodeTarget& t) {
  // Without the whole header the pixel format is unknown.
  if (size < kHeaderSize) return -1;
  const int64_t height = read_le32(d + 12);
  const int64_t width = read_le32(d + 16);
  // Sizes the probe reports as negative are not pictures.
  if (height > INT32_MAX || width > INT32_MAX) return -1;
  const uint32_t flags = read_le32(d + 80);

  if (flags & kFlagUncompressed) {
    if (read_le32(d + 88) != 32 || read_le32(d + 92) != 0x00FF0000u || read_le32(d + 96) != 0x0000FF00u ||
        read_le32(d + 100) != 0x000000FFu || read_le32(d + 104) != 0xFF000000u)
      return -1;
    return decode_uncompressed(d, size, width, height, t);
  }
  if (flags & kFlagFourCc) {
    const uint8_t* code = d + 84;
    if (std::memcmp(code, "DXT", 3) != 0 || code[3] < '1' || code[3] > '5') return -1;
    return decode_blocks(d, size, width, height, code[3] - '0', t);
  }
  return -1;
}

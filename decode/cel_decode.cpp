#include "decode/cel_decode.h"

// Layout: 32-byte header (0x19 0x91, LE16 width at 2, LE16 height at 4, bits
// per pixel 8 at 10, compression 0 at 11), 256 six-bit RGB palette entries at
// 32, then one index per pixel from offset 800, rows top first, no padding.
namespace {
constexpr int32_t kPaletteOffset = 32;
constexpr int32_t kPixelOffset = 800;
}  // namespace

int32_t decode_cel(const uint8_t* d, int32_t size, const DecodeTarget& t) {
  source_info.source_color_type = 3;
  source_info.source_bit_depth = 8;
  source_info.palette_count = 256;
  const int32_t width = int32_t(read_le16(d + 2));
  const int32_t height = int32_t(read_le16(d + 4));
  if (width == 0 || height == 0) return -1;
  // Without the whole palette there is no colour to give any pixel.
  if (size < kPixelOffset) return -1;

  uint32_t* palette = source_info.palette;
  for (int i = 0; i < 256; ++i) {
    const uint8_t* e = d + kPaletteOffset + 3 * i;
    // Six-bit values are scaled by 4 with empty low bits: 63 becomes 252. A
    // byte above 63 (not a valid entry) is kept inside its own channel.
    auto scale = [](uint8_t v) { return uint32_t(v) * 4 & 0xFF; };
    palette[i] = 0xFF000000u | scale(e[0]) << 16 | scale(e[1]) << 8 | scale(e[2]);
  }

  const int64_t available = int64_t(size) - kPixelOffset;
  const int64_t wanted = int64_t(width) * height;
  if (available < wanted) {
    source_info.incomplete = 1;
    source_info.decoded_rows = int32_t(available / width);
  }
  const uint8_t* src = d + kPixelOffset;
  for (int32_t y = 0; y < height; ++y) {
    const int64_t row = int64_t(y) * width;
    if (row >= available) break;
    for (int32_t x = 0; x < width && row + x < available; ++x) put_pixel(t, x, y, palette[src[row + x]]);
  }
  return 0;
}

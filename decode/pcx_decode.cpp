#include "decode/pcx_decode.h"

// Layout: 128-byte header (signature 0x0A 0x05 0x01 0x08 read as one LE32,
// signed xmin/ymin/xmax/ymax at 4..11, plane count at 65, bytes per plane row
// at 66), run-length data from 128, and for one plane a 256-entry RGB palette
// in the last 768 bytes. Each picture row is stored as `planes` plane rows of
// bytes-per-line values; the values past the width are padding.
namespace {

constexpr int64_t kHeaderSize = 128;
constexpr int64_t kPaletteSize = 768;
constexpr uint32_t kSignature = 0x0801050Au;

int64_t s16(const uint8_t* p) { return int16_t(read_le16(p)); }

}  // namespace

int32_t decode_pcx(const uint8_t* d, int32_t size, const DecodeTarget& t) {
  if (d == nullptr || size < 4 || read_le32(d) != kSignature) return -1;
  if (size < kHeaderSize) return -1;
  const int64_t width = s16(d + 8) - s16(d + 4) + 1;
  const int64_t height = s16(d + 10) - s16(d + 6) + 1;
  if (width < 1 || height < 1) return -1;
  const uint32_t planes = d[65];
  const int64_t line = read_le16(d + 66);
  // Other plane counts describe layouts nothing here decodes; accepting them
  // would hand back a picture of which no pixel was written.
  if (planes != 1 && planes != 3) return -1;
  // A plane row shorter than the picture cannot hold its pixels (and a zero
  // length would never finish a row).
  if (line < width) return -1;

  int64_t end = size;
  const bool paletted = planes == 1;
  if (paletted) {
    // Without the palette there is no colour to give any pixel.
    if (end < kHeaderSize + kPaletteSize) return -1;
    const uint8_t* p = d + end - kPaletteSize;
    for (int i = 0; i < 256; ++i, p += 3)
      source_info.palette[i] = 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    source_info.source_color_type = 3;
    source_info.source_bit_depth = 8;
    source_info.palette_count = 256;
    // The palette is not image data: a short run-length stream must end
    // before it rather than decode it as pixels.
    end -= kPaletteSize;
  } else {
    source_info.source_color_type = 2;
  }

  const int64_t x_first = t.x_offset < 0 ? -int64_t(t.x_offset) : 0;
  const int64_t x_limit = int64_t(t.width) - t.x_offset;
  auto row_of = [&](int64_t y) -> uint32_t* {
    y += t.y_offset;
    if (y < 0 || y >= t.height) return nullptr;
    return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
  };

  if (!paletted) {
    // The planes fill red, green and blue one byte at a time.
    for (int64_t y = 0; y < height; ++y) {
      const int64_t ty = y + t.y_offset;
      if (ty < 0 || ty >= t.height) continue;
      uint32_t* out = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + ty * t.pitch);
      for (int64_t x = x_first; x < width && x < x_limit; ++x) out[x + t.x_offset] |= 0xFF000000u;
    }
  }

  // Position in the stored values: column within the plane row, plane, row.
  int64_t x = 0, y = 0;
  uint32_t plane = 0;
  uint32_t* out = row_of(0);
  int64_t pos = kHeaderSize;
  int64_t decoded = 0;
  while (y < height) {
    if (pos >= end) break;
    uint32_t value = d[pos++];
    int64_t count = 1;
    if (value >= 0xC0) {
      if (pos >= end) break;
      count = value & 0x3F;
      value = d[pos++];
    }
    // A run is handled a plane-row piece at a time: the pixels of the piece,
    // then its padding, then the move to the next plane or row.
    while (count > 0 && y < height) {
      const int64_t span = count < line - x ? count : line - x;
      const int64_t stop = x + span < width ? x + span : width;
      if (x < stop) {
        decoded += stop - x;
        const int64_t lo = x > x_first ? x : x_first;
        const int64_t hi = stop < x_limit ? stop : x_limit;
        if (out != nullptr && lo < hi) {
          if (paletted) {
            const uint32_t c = source_info.palette[value];
            for (int64_t i = lo; i < hi; ++i) out[i + t.x_offset] = c;
          } else {
            const uint32_t shift = 16 - 8 * plane;
            const uint32_t keep = ~(0xFFu << shift), put = value << shift;
            for (int64_t i = lo; i < hi; ++i) {
              uint32_t& px = out[i + t.x_offset];
              px = (px & keep) | put;
            }
          }
        }
      }
      x += span;
      count -= span;
      if (x == line) {
        x = 0;
        if (++plane == planes) {
          plane = 0;
          out = row_of(++y);
        }
      }
    }
  }
  if (decoded == 0) return -1;
  if (y < height) {
    source_info.incomplete = 1;
    source_info.decoded_rows = int32_t(y);
  }
  return 0;
}

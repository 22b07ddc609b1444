#include "decode/bmp_decode.h"

#include <bit>
#include <climits>

// Layout: 14-byte file header ("BM", pixel data offset at 10), information
// header at 14 whose first field is its own size (12 = the old core layout
// with 16-bit sizes and 3-byte palette entries), palette up to the pixel
// data, then rows padded to 4 bytes, bottom row first unless the height is
// negative.
namespace {

constexpr int64_t kInfoOffset = 14;
constexpr int64_t kCoreHeaderSize = 12;
// Bit-field masks sit right after a 40-byte information header. The larger
// headers (52, 56, 108, 124 bytes) keep them at the same place, inside the
// header, so the end of the header is the wrong place to look.
constexpr int64_t kMaskOffset = 54;
constexpr int64_t kFullMaskHeaderSize = 40;
// Headers shorter than this (the 16-byte short form of the later layout)
// end before the compression field.
constexpr int64_t kCompressionFieldEnd = 20;

// One colour channel of a 16- or 32-bit pixel: rotating the pixel left by
// `rotation` brings the top bit of the channel's field to the top bit of its
// byte in 0xAARRGGBB, and `mask` keeps at most the top 8 bits of the field.
// Narrow fields keep zero low bits (5 bits give 0, 8, ..., 248).
struct Channel {
  uint32_t rotation;
  uint32_t mask;
};

struct BitFields {
  Channel red, green, blue;
};

// `byte_top` is 24, 16 or 8: one past the channel byte's top bit. Taking the
// rotation modulo 32 and capping the kept width at 8 gives the same result as
// the plain rule for every ordinary mask and a defined one for the rest: a
// zero mask gives a zero channel, a field wider than the room below it
// (red over 24 bits) still yields its top 8 bits.
Channel place_channel(uint32_t field, int byte_top) {
  int shift = 0;
  while (shift < 32 && ((field >> shift) & 1) == 0) ++shift;
  int width = 0;
  while (shift + width < 32 && ((field >> (shift + width)) & 1) != 0) ++width;
  const int kept = width < 8 ? width : 8;
  Channel c;
  c.rotation = uint32_t(byte_top - (shift + width)) & 31;
  c.mask = ((0xFFu << (8 - kept)) & 0xFFu) << (byte_top - 8);
  return c;
}

BitFields make_bit_fields(uint32_t red, uint32_t green, uint32_t blue) {
  return BitFields{place_channel(red, 24), place_channel(green, 16), place_channel(blue, 8)};
}

inline uint32_t convert(uint32_t v, const BitFields& f) {
  return 0xFF000000u | (std::rotl(v, int(f.red.rotation)) & f.red.mask) |
         (std::rotl(v, int(f.green.rotation)) & f.green.mask) |
         (std::rotl(v, int(f.blue.rotation)) & f.blue.mask);
}

// Decodes columns [x0, x1) of one stored row into out[x + shift]; the caller
// has checked that every byte they need lies inside the row and that every
// target index lies inside the target row.
void decode_row(const uint8_t* row, int32_t bpp, int64_t x0, int64_t x1, uint32_t* out, int64_t shift,
                const uint32_t* palette, const BitFields& fields) {
  out += shift + x0;
  switch (bpp) {
    case 1:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = palette[(row[x >> 3] >> (7 - (x & 7))) & 1];
      break;
    case 4:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = palette[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F];
      break;
    case 8:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = palette[row[x]];
      break;
    case 16:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = convert(read_le16(row + 2 * x), fields);
      break;
    case 24:
      for (int64_t x = x0; x < x1; ++x) {
        const uint8_t* p = row + 3 * x;
        out[x - x0] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      }
      break;
    default:  // 32
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = convert(read_le32(row + 4 * x), fields);
      break;
  }
}

}  // namespace

int32_t decode_bmp(const uint8_t* d, int32_t size, const DecodeTarget& t) {
  if (d == nullptr || size < kInfoOffset + 4) return -1;
  const int64_t end = size;
  const int64_t header_size = read_le32(d + kInfoOffset);
  const bool core = header_size == kCoreHeaderSize;

  int64_t width, height;
  uint32_t planes, bpp, compression = 0;
  if (core) {
    if (end < 26) return -1;
    width = read_le16(d + 18);
    height = read_le16(d + 20);
    planes = read_le16(d + 22);
    bpp = read_le16(d + 24);
  } else {
    if (end < 30) return -1;
    width = int32_t(read_le32(d + 18));
    height = int32_t(read_le32(d + 22));
    planes = read_le16(d + 26);
    bpp = read_le16(d + 28);
    if (header_size >= kCompressionFieldEnd) {
      if (end < 34) return -1;
      compression = read_le32(d + 30);
    }
  }
  // The most negative height has no positive row count in 32 bits.
  if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) return -1;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return -1;
  if (compression != 0 && compression != 3) return -1;
  // Bit fields only describe 16- and 32-bit pixels; elsewhere compression 3
  // is a real compression (1-bit Huffman) that raw decoding would garble.
  if (compression == 3 && bpp != 16 && bpp != 32) return -1;

  const bool top_down = height < 0;
  if (top_down) height = -height;
  const int64_t header_end = kInfoOffset + header_size;
  const int64_t pixel_offset = read_le32(d + 10);

  BitFields fields{};
  uint32_t* palette = source_info.palette;
  if (bpp == 16 || bpp == 32) {
    source_info.source_color_type = 2;
    if (compression == 3) {
      const int64_t at = header_size >= kFullMaskHeaderSize ? kMaskOffset : header_end;
      if (at + 12 > end) return -1;
      fields = make_bit_fields(read_le32(d + at), read_le32(d + at + 4), read_le32(d + at + 8));
    } else if (bpp == 16) {
      fields = make_bit_fields(0x7C00, 0x03E0, 0x001F);
    } else {
      fields = make_bit_fields(0x00FF0000, 0x0000FF00, 0x000000FF);
    }
  } else if (bpp <= 8) {
    // Indexes the file gives no colour for must come out transparent black,
    // not as whatever an earlier picture left in the palette.
    for (int i = 0; i < 256; ++i) palette[i] = 0;
    const int64_t entry_size = core ? 3 : 4;
    int32_t count = 0;
    for (int64_t at = header_end; count < 256 && at < pixel_offset && at + entry_size <= end;
         at += entry_size) {
      palette[count++] = 0xFF000000u | uint32_t(d[at + 2]) << 16 | uint32_t(d[at + 1]) << 8 | d[at];
    }
    source_info.source_color_type = 3;
    source_info.source_bit_depth = int8_t(bpp);
    source_info.palette_count = count;
  }

  // 64-bit: a width near 2^31 at 32 bits per pixel needs 37 bits.
  const int64_t row_bytes = ((int64_t(bpp) * width + 31) >> 3) & ~int64_t(3);
  const int64_t x0 = t.x_offset < 0 ? -int64_t(t.x_offset) : 0;
  const int64_t x1 = width < int64_t(t.width) - t.x_offset ? width : int64_t(t.width) - t.x_offset;

  bool complete = true;
  int64_t decoded_rows = 0, whole_rows = 0;
  for (int64_t stored = 0; stored < height; ++stored) {
    const int64_t row_start = pixel_offset + stored * row_bytes;
    const int64_t available = row_start < end ? end - row_start : 0;
    // Whole pixels whose bytes are present; a cut row keeps its leading part.
    const int64_t columns = available >= row_bytes ? width : available * 8 / bpp;
    if (columns < width) complete = false;
    if (columns == 0) break;
    ++decoded_rows;
    whole_rows += columns == width;
    const int64_t y = (top_down ? stored : height - 1 - stored) + t.y_offset;
    if (y < 0 || y >= t.height) continue;
    const int64_t last = columns < x1 ? columns : x1;
    if (x0 >= last) continue;
    uint32_t* out = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
    decode_row(d + row_start, int32_t(bpp), x0, last, out, t.x_offset, palette, fields);
  }
  if (decoded_rows == 0) return -1;
  if (!complete) {
    source_info.incomplete = 1;
    source_info.decoded_rows = int32_t(whole_rows);
  }
  return 0;
}

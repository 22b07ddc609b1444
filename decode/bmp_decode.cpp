#include "decode/bmp_decode.h"

#include <climits>
#include <cmath>

#include "decode/bmp_huffman.h"
#include "decode/bmp_rle.h"
#include "decode/byte_reader.h"
#include "decode/jpeg_decode.h"
#include "decode/png_decode.h"

// Layout: 14-byte file header ("BM", pixel data offset at 10), information
// header at 14 whose first field is its own size (12 = the old core layout
// with 16-bit sizes and 3-byte palette entries), palette up to the pixel
// data, then rows padded to 4 bytes, bottom row first unless the height is
// negative, or one run-length stream for the whole picture. An OS/2 bitmap
// array ("BA") chains headers of 14 bytes, each followed by a whole file
// header and information header of one picture; offsets stay counted from
// the start of the file.
namespace {

constexpr int64_t kArrayHeaderSize = 14;

constexpr int64_t kInfoOffset = 14;
constexpr int64_t kCoreHeaderSize = 12;
// Bit-field masks sit right after a 40-byte information header. The larger
// headers (52, 56, 108, 124 bytes) keep them at the same place, inside the
// header, so the end of the header is the wrong place to look. The alpha mask
// follows the three colour masks; headers of 56 bytes and more hold it.
constexpr int64_t kMaskOffset = 54;
constexpr int64_t kAlphaMaskOffset = 66;
constexpr int64_t kFullMaskHeaderSize = 40;
constexpr int64_t kAlphaMaskHeaderSize = 56;
// Headers shorter than this (the 16-byte short form of the later layout)
// end before the compression field.
constexpr int64_t kCompressionFieldEnd = 20;

enum Compression : uint32_t {
  kRaw = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kRle24 = 4,  // at 24 bits per pixel (OS/2); at 0 bits an embedded JPEG file
  kPng = 5,    // at 0 bits: an embedded PNG file
  kAlphaBitFields = 6,
};

// One channel of a 16- or 32-bit pixel: where its top 8 bits (or all of a
// narrower field) sit, and the channel's value, already in its place in
// 0xAARRGGBB, for every value they can take. Fields wider than 8 bits keep
// their top 8 bits; narrower ones repeat their bits downwards, so that the
// largest value is 255 (31 of 5 bits gives 255, 16 gives 132).
struct Channel {
  uint32_t shift;  // from the pixel's bit 0 to the lowest kept bit
  uint32_t kept;   // mask of the kept bits after the shift, at most 0xFF
  uint32_t value[256];
};

// The mask's lowest run of set bits is the field; a zero mask gives a channel
// that is always `none`. `place` is the channel's bit position in 0xAARRGGBB.
void place_channel(uint32_t mask, uint8_t none, uint32_t place, Channel* c) {
  uint32_t shift = 0;
  while (shift < 32 && ((mask >> shift) & 1) == 0) ++shift;
  uint32_t width = 0;
  while (shift + width < 32 && ((mask >> (shift + width)) & 1) != 0) ++width;
  const uint32_t kept = width > 8 ? 8 : width;
  c->shift = (shift + width - kept) & 31;
  c->kept = (1u << kept) - 1;
  for (uint32_t v = 0; v < 256; ++v) {
    uint32_t wide = none;
    if (kept != 0) {
      const uint32_t top = v & c->kept;
      uint32_t filled = 0;
      for (wide = 0; filled < 8; filled += kept) wide = (wide << kept) | top;
      wide >>= filled - 8;
    }
    c->value[v] = wide << place;
  }
}

struct BitFields {
  Channel red, green, blue, alpha;
};

inline uint32_t channel_of(uint32_t v, const Channel& c) { return c.value[(v >> c.shift) & c.kept]; }

// Without an alpha mask every pixel is opaque, and the alpha lookup is left out.
template <bool kAlpha>
inline uint32_t convert(uint32_t v, const BitFields& f) {
  const uint32_t alpha = kAlpha ? channel_of(v, f.alpha) : 0xFF000000u;
  return alpha | channel_of(v, f.red) | channel_of(v, f.green) | channel_of(v, f.blue);
}

template <bool kAlpha>
void convert_row(const uint8_t* row, int32_t bytes, int64_t x0, int64_t x1, uint32_t* out,
                 const BitFields& fields) {
  if (bytes == 2) {
    for (int64_t x = x0; x < x1; ++x) out[x - x0] = convert<kAlpha>(read_le16(row + 2 * x), fields);
  } else {
    for (int64_t x = x0; x < x1; ++x) out[x - x0] = convert<kAlpha>(read_le32(row + 4 * x), fields);
  }
}

// Decodes columns [x0, x1) of one stored row into out[x + shift]; the caller
// has checked that every byte they need lies inside the row and that every
// target index lies inside the target row.
// A 64-bit pixel holds blue, green, red and alpha as signed 16-bit numbers
// with 13 fraction bits (8192 is 1.0), the colours in linear light. Colours
// are shown as the suite's renderings show them: encoded for the standard
// screen (sRGB) and rounded to 8 bits, by the table of every value from 0 to
// 8192; alpha stays linear. Values outside 0 to 1 are clamped.
constexpr int32_t kFixedOne = 8192;

void fill_linear_to_screen(uint8_t* table) {
  for (int32_t v = 0; v <= kFixedOne; ++v) {
    const double x = double(v) / kFixedOne;
    const double e = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1 / 2.4) - 0.055;
    table[v] = uint8_t(std::lround(e * 255));
  }
}

inline int32_t fixed_sample(const uint8_t* p) {
  const int32_t v = int16_t(read_le16(p));
  return v < 0 ? 0 : (v > kFixedOne ? kFixedOne : v);
}

void decode_row(const uint8_t* row, int32_t bpp, int64_t x0, int64_t x1, uint32_t* out, int64_t shift,
                const uint32_t* palette, const BitFields& fields, const uint8_t* screen) {
  out += shift + x0;
  switch (bpp) {
    case 1:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = palette[(row[x >> 3] >> (7 - (x & 7))) & 1];
      break;
    case 2:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = palette[(row[x >> 2] >> (6 - 2 * (x & 3))) & 3];
      break;
    case 4:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = palette[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F];
      break;
    case 8:
      for (int64_t x = x0; x < x1; ++x) out[x - x0] = palette[row[x]];
      break;
    case 16:
    case 32:
      if (fields.alpha.kept != 0)
        convert_row<true>(row, bpp / 8, x0, x1, out, fields);
      else
        convert_row<false>(row, bpp / 8, x0, x1, out, fields);
      break;
    case 64:
      for (int64_t x = x0; x < x1; ++x) {
        const uint8_t* p = row + 8 * x;
        const uint32_t alpha = uint32_t((fixed_sample(p + 6) * 255 + kFixedOne / 2) / kFixedOne);
        out[x - x0] = alpha << 24 | uint32_t(screen[fixed_sample(p + 4)]) << 16 |
                      uint32_t(screen[fixed_sample(p + 2)]) << 8 | screen[fixed_sample(p)];
      }
      break;
    default:  // 24
      for (int64_t x = x0; x < x1; ++x) {
        const uint8_t* p = row + 3 * x;
        out[x - x0] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      }
      break;
  }
}

// Which compressions go with which pixel sizes; anything else is refused
// (compression 3 is bit fields on true colour and the OS/2 Huffman coding
// at 1 bit, 24-bit run-length at other sizes an embedded JPEG).
bool layout_known(uint32_t bpp, uint32_t compression) {
  switch (compression) {
    case kRaw:
      return bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32 || bpp == 64;
    case kRle8:
      return bpp == 8;
    case kRle4:
      return bpp == 4;
    case kRle24:
      return bpp == 24 || bpp == 0;
    case kPng:
      return bpp == 0;
    case kBitFields:
      return bpp == 1 || bpp == 16 || bpp == 32;
    case kAlphaBitFields:
      return bpp == 16 || bpp == 32;
    default:
      return false;
  }
}

}  // namespace

int32_t decode_bmp(const uint8_t* d, int32_t size, const DecodeTarget& t, SourceInfo& info) {
  if (d == nullptr) return -1;
  const int64_t end = size;
  // The first picture of a bitmap array is the one shown.
  const int64_t base = size >= 2 && d[0] == 'B' && d[1] == 'A' ? kArrayHeaderSize : 0;
  // Arrays also hold icons and pointers, laid out otherwise.
  if (base != 0 && (size < base + 2 || d[base] != 'B' || d[base + 1] != 'M')) return -1;
  ByteReader r(d, size);
  r.seek(base + 10);
  const int64_t pixel_offset = r.le32();
  const int64_t header_size = r.le32();
  const bool core = header_size == kCoreHeaderSize;

  int64_t width, height;
  uint32_t planes, bpp, compression = kRaw;
  if (core) {
    width = r.le16();
    height = r.le16();
    planes = r.le16();
    bpp = r.le16();
  } else {
    width = int32_t(r.le32());
    height = int32_t(r.le32());
    planes = r.le16();
    bpp = r.le16();
    if (header_size >= kCompressionFieldEnd) compression = r.le32();
  }
  if (!r.ok()) return -1;
  // The most negative height has no positive row count in 32 bits.
  if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) return -1;
  if (!layout_known(bpp, compression)) return -1;
  const bool run_length = compression == kRle8 || compression == kRle4 || compression == kRle24;

  const bool top_down = height < 0;
  if (top_down) height = -height;
  const int64_t header_end = base + kInfoOffset + header_size;

  // A whole JPEG or PNG file in place of the pixels (meant for printers): its
  // own decoder reads it, and says what it found.
  if (bpp == 0) {
    if (pixel_offset >= end) return -1;
    const uint8_t* file = d + pixel_offset;
    const int32_t length = int32_t(end - pixel_offset);
    if (compression == kPng)
      return length >= 8 && file[0] == 0x89 && file[1] == 'P' ? decode_png(file, length, t, info) : -1;
    return length >= 2 && file[0] == 0xFF && file[1] == 0xD8 ? decode_jpeg(file, length, t, info) : -1;
  }

  BitFields fields{};
  uint32_t* palette = info.palette;
  if (bpp == 16 || bpp == 32) {
    info.source_color_type = 2;
    uint32_t masks[4] = {0, 0, 0, 0};
    if (compression == kBitFields || compression == kAlphaBitFields) {
      const int64_t at = header_size >= kFullMaskHeaderSize ? base + kMaskOffset : header_end;
      ByteReader m(d, size);
      m.seek(at);
      for (int i = 0; i < 3; ++i) masks[i] = m.le32();
      if (!m.ok()) return -1;
      // The alpha mask is the fourth mask of the alpha variant, or the field
      // after the colour masks in a header long enough to hold it.
      static_assert(kAlphaMaskOffset == kMaskOffset + 12, "the alpha mask follows the colour masks");
      const bool alpha_present = compression == kAlphaBitFields || header_size >= kAlphaMaskHeaderSize;
      if (alpha_present && at == base + kMaskOffset && m.has(4)) masks[3] = m.le32();
    } else if (bpp == 16) {
      masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else {
      masks[0] = 0x00FF0000, masks[1] = 0x0000FF00, masks[2] = 0x000000FF;
    }
    place_channel(masks[0], 0, 16, &fields.red);
    place_channel(masks[1], 0, 8, &fields.green);
    place_channel(masks[2], 0, 0, &fields.blue);
    place_channel(masks[3], 0xFF, 24, &fields.alpha);
    if (masks[3] != 0) info.source_color_type = 6;
  } else if (bpp == 64) {
    info.source_color_type = 6;
  } else if (bpp <= 8) {
    // Indexes the file gives no colour for must come out transparent black,
    // not as whatever an earlier picture left in the palette.
    for (int i = 0; i < 256; ++i) palette[i] = 0;
    const int64_t entry_size = core ? 3 : 4;
    int32_t count = 0;
    // The palette ends at the pixel data or the file's end, whichever is first.
    ByteReader entries(d, size);
    entries.seek(header_end);
    while (count < 256 && entries.pos < pixel_offset && entries.has(entry_size)) {
      const uint8_t* e = entries.bytes(entry_size);
      palette[count++] = 0xFF000000u | uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
    }
    info.source_color_type = 3;
    info.source_bit_depth = int8_t(bpp);
    info.palette_count = count;
  }

  if (bpp == 1 && compression == kBitFields) {
    if (pixel_offset >= end) return -1;
    const BmpHuffmanStream s{d + pixel_offset, end - pixel_offset, width, height, top_down, palette};
    const BmpHuffmanResult h = decode_bmp_huffman(s, t);
    info.work = h.steps;
    if (h.rows_decoded == 0 && h.stream_ended) return -1;
    if (h.stream_ended) {
      info.incomplete = 1;
      info.decoded_rows = int32_t(h.rows_decoded);
    }
    return 0;
  }

  if (run_length) {
    if (pixel_offset >= end) return -1;
    const BmpRleStream s{d + pixel_offset,
                         end - pixel_offset,
                         int32_t(compression == kRle24 ? 24 : bpp),
                         width,
                         height,
                         top_down,
                         palette};
    const BmpRleResult r = decode_bmp_rle(s, t);
    info.work = r.steps;
    if (r.pixels_written == 0 && r.stream_ended) return -1;
    if (r.stream_ended) {
      info.incomplete = 1;
      info.decoded_rows = int32_t(r.rows_passed);
    }
    if (r.pixels_written < width * height) {
      // Skipped pixels add transparent black to the colours: an index depth
      // without room for one more colour grows to 8 bits, and a full palette
      // (or true colour) needs an alpha channel.
      if (bpp <= 8 && info.palette_count < 256) {
        if (info.palette_count + 1 > (1 << bpp)) info.source_bit_depth = 8;
      } else {
        info.source_color_type = 6;
      }
    }
    return 0;
  }

  // 64-bit: a width near 2^31 at 32 bits per pixel needs 37 bits.
  const int64_t row_bytes = ((int64_t(bpp) * width + 31) >> 3) & ~int64_t(3);
  const int64_t x0 = t.x_offset < 0 ? -int64_t(t.x_offset) : 0;
  const int64_t x1 = width < int64_t(t.width) - t.x_offset ? width : int64_t(t.width) - t.x_offset;

  uint8_t screen[kFixedOne + 1];
  if (bpp == 64) fill_linear_to_screen(screen);
  bool complete = true;
  int64_t decoded_rows = 0, whole_rows = 0;
  for (int64_t stored = 0; stored < height; ++stored) {
    ByteReader row(d, size);
    row.seek(pixel_offset + stored * row_bytes);
    const int64_t available = row.remaining();
    // Whole pixels whose bytes are present; a cut row keeps its leading part.
    const int64_t columns = available >= row_bytes ? width : available * 8 / bpp;
    const uint8_t* stored_row = row.bytes(available < row_bytes ? available : row_bytes);
    if (columns < width) complete = false;
    if (columns == 0) break;
    ++decoded_rows;
    whole_rows += columns == width;
    const int64_t y = (top_down ? stored : height - 1 - stored) + t.y_offset;
    if (y < 0 || y >= t.height) continue;
    const int64_t last = columns < x1 ? columns : x1;
    if (x0 >= last) continue;
    uint32_t* out = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
    decode_row(stored_row, int32_t(bpp), x0, last, out, t.x_offset, palette, fields, screen);
  }
  if (decoded_rows == 0) return -1;
  if (!complete) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(whole_rows);
  }
  return 0;
}

#include "decode/dds_decode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "decode/byte_reader.h"
#include "decode/dds_bc7.h"
#include "decode/dds_blocks.h"

// Only the first (largest) image is read: for a cube map or an array that is
// the first face's top level, which the file stores first. Mip, depth and
// array counts are never read, and only the pixels or blocks that land in
// the target are visited: the work (SourceInfo::work counts each pixel or
// block written) follows the target, whatever sizes the header claims. The pixel format
// comes from the legacy header (a four-character code or bit masks) or, for
// the code "DX10", from the extended header's format number.
//
// Data that ends before the picture does: the pixels (or 4 x 4 blocks) that
// are wholly present are decoded, the rest of the picture becomes opaque
// black, info.incomplete is set and the result is still 0. Opaque, so
// that a cut-short opaque texture stays an opaque picture.
//
// The colour type reported is what the decoded pixels need: grey for one
// channel, with alpha only when some visible pixel is not opaque.
namespace {

constexpr int64_t kHeaderSize = 128;
constexpr int64_t kExtendedHeaderSize = 20;
constexpr uint32_t kFlagAlphaPixels = 0x1;
constexpr uint32_t kFlagAlphaOnly = 0x2;
constexpr uint32_t kFlagFourCc = 0x4;
constexpr uint32_t kFlagPalette = 0x20;
constexpr uint32_t kFlagRgb = 0x40;
constexpr uint32_t kFlagLuminance = 0x20000;
constexpr uint32_t kMissing = 0xFF000000u;
// Row sizes beyond this would wrap a signed 32-bit byte count.
constexpr int64_t kMaxRowBytes = INT32_MAX;

enum class Codec { kMasks, kPalette, kBc1, kBc2, kBc3, kBc4, kBc5, kBc7 };

struct Layout {
  Codec codec = Codec::kMasks;
  bool premultiplied = false;  // DXT2 and DXT4 store colour times alpha
  bool is_signed = false;      // BC4 and BC5 with values -127..127
  bool gray = false;           // one channel: red (or luminance) fills all three
  int32_t bytes_per_pixel = 0;
  uint32_t mask[4] = {};  // red, green, blue, alpha within a little-endian pixel
  int64_t data_offset = kHeaderSize;
};

struct Channel {
  int32_t shift;
  int32_t bits;  // 0: the channel is absent
};

Channel channel_of(uint32_t mask) {
  if (mask == 0) return {0, 0};
  const int32_t shift = std::countr_zero(mask);
  return {shift, 32 - std::countl_zero(mask >> shift)};
}

// A channel of `bits` bits widened to 8 by repeating its top bits below it
// (31 of 5 bits becomes 255), or cut to its top 8 bits.
uint32_t widen(uint32_t v, int32_t bits) {
  if (bits >= 8) return v >> (bits - 8);
  uint32_t out = 0;
  for (int32_t shift = 8 - bits; shift > -bits; shift -= bits) out |= shift >= 0 ? v << shift : v >> -shift;
  return out & 0xFF;
}

bool from_dxgi(uint32_t format, Layout* l) {
  auto masks = [l](int32_t bytes, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    l->codec = Codec::kMasks;
    l->bytes_per_pixel = bytes;
    l->mask[0] = r;
    l->mask[1] = g;
    l->mask[2] = b;
    l->mask[3] = a;
    return true;
  };
  auto blocks = [l](Codec c, bool is_signed) {
    l->codec = c;
    l->is_signed = is_signed;
    return true;
  };
  switch (format) {
    case 24:  // R10G10B10A2
      return masks(4, 0x3FF, 0xFFC00, 0x3FF00000, 0xC0000000u);
    case 27:  // R8G8B8A8, typeless, plain and sRGB
    case 28:
    case 29:
      return masks(4, 0xFF, 0xFF00, 0xFF0000, 0xFF000000u);
    case 48:  // R8G8
    case 49:
      return masks(2, 0xFF, 0xFF00, 0, 0);
    case 60:  // R8
    case 61:
      l->gray = true;
      return masks(1, 0xFF, 0, 0, 0);
    case 65:  // A8
      return masks(1, 0, 0, 0, 0xFF);
    case 70:
    case 71:
    case 72:
      return blocks(Codec::kBc1, false);
    case 73:
    case 74:
    case 75:
      return blocks(Codec::kBc2, false);
    case 76:
    case 77:
    case 78:
      return blocks(Codec::kBc3, false);
    case 79:
    case 80:
      return blocks(Codec::kBc4, false);
    case 81:
      return blocks(Codec::kBc4, true);
    case 82:
    case 83:
      return blocks(Codec::kBc5, false);
    case 84:
      return blocks(Codec::kBc5, true);
    case 85:  // B5G6R5
      return masks(2, 0xF800, 0x07E0, 0x001F, 0);
    case 86:  // B5G5R5A1
      return masks(2, 0x7C00, 0x03E0, 0x001F, 0x8000);
    case 87:  // B8G8R8A8, plain, typeless and sRGB
    case 90:
    case 91:
      return masks(4, 0xFF0000, 0xFF00, 0xFF, 0xFF000000u);
    case 88:  // B8G8R8X8, plain, typeless and sRGB
    case 92:
    case 93:
      return masks(4, 0xFF0000, 0xFF00, 0xFF, 0);
    case 97:
    case 98:
    case 99:
      return blocks(Codec::kBc7, false);
    case 115:  // B4G4R4A4
      return masks(2, 0x0F00, 0x00F0, 0x000F, 0xF000);
    default:
      return false;
  }
}

bool from_four_cc(const uint8_t* code, Layout* l) {
  auto is = [code](const char* name) { return std::memcmp(code, name, 4) == 0; };
  if (is("DXT1")) {
    l->codec = Codec::kBc1;
  } else if (is("DXT2") || is("DXT3")) {
    l->codec = Codec::kBc2;
    l->premultiplied = code[3] == '2';
  } else if (is("DXT4") || is("DXT5")) {
    l->codec = Codec::kBc3;
    l->premultiplied = code[3] == '4';
  } else if (is("ATI1") || is("BC4U") || is("BC4S")) {
    l->codec = Codec::kBc4;
    l->is_signed = code[3] == 'S';
  } else if (is("ATI2") || is("BC5U") || is("BC5S")) {
    l->codec = Codec::kBc5;
    l->is_signed = code[3] == 'S';
  } else {
    return false;
  }
  return true;
}

// The fields of the 128-byte legacy header this decoder uses.
struct Header {
  int64_t height, width;
  uint32_t flags;
  const uint8_t* four_cc;
  uint32_t bit_count;
  uint32_t mask[4];  // red (or luminance), green, blue, alpha
};

// False when the data is shorter than the header.
bool read_header(const uint8_t* d, int64_t size, Header* h) {
  if (size < kHeaderSize) return false;
  ByteReader r(d, size);
  r.seek(12);
  h->height = r.le32();
  h->width = r.le32();
  r.seek(80);
  h->flags = r.le32();
  h->four_cc = r.bytes(4);
  h->bit_count = r.le32();
  for (uint32_t& m : h->mask) m = r.le32();
  return r.ok();
}

// The legacy header's bit masks. Only whole-byte pixels of 1 to 4 bytes with
// at least one channel are accepted.
bool from_masks(const Header& h, Layout* l) {
  const uint32_t flags = h.flags;
  const uint32_t bit_count = h.bit_count;
  if (flags & kFlagPalette) {
    // Indices are bytes whatever the bit count says; 256 entries of red,
    // green, blue and a flags byte come first.
    l->codec = Codec::kPalette;
    l->bytes_per_pixel = 1;
    l->data_offset = kHeaderSize + 1024;
    return true;
  }
  if (bit_count != 8 && bit_count != 16 && bit_count != 24 && bit_count != 32) return false;
  l->codec = Codec::kMasks;
  l->bytes_per_pixel = int32_t(bit_count / 8);
  const uint32_t alpha = h.mask[3];
  if (flags & kFlagLuminance) {
    // 24- and 32-bit luminance does not exist; such a header is a damaged one.
    if (bit_count > 16) return false;
    l->gray = true;
    l->mask[0] = h.mask[0];
    // Some writers leave the mask of 8-bit luminance at 0xFF000000; the
    // samples are still the whole bytes.
    if (bit_count == 8 && (l->mask[0] & 0xFF) == 0) l->mask[0] = 0xFF;
    l->mask[3] = flags & kFlagAlphaPixels ? alpha : 0;
  } else if (flags & kFlagRgb) {
    for (int c = 0; c < 3; ++c) l->mask[c] = h.mask[c];
    l->mask[3] = alpha;
  } else if (flags & kFlagAlphaOnly) {
    l->mask[3] = alpha;
  } else {
    return false;
  }
  const uint64_t reach = bit_count == 32 ? 0xFFFFFFFFu : (uint64_t(1) << bit_count) - 1;
  bool any = false;
  for (uint32_t m : l->mask) {
    if (m & ~reach) return false;
    any = any || m != 0;
  }
  return any;
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

struct Picture {
  const uint8_t* data;  // first byte of the first image
  int64_t bytes;        // bytes present from there
  int64_t width, height;
  const Layout* layout;
  const uint32_t* palette;
  uint32_t alpha_seen;  // AND of every written pixel's alpha
};

int32_t decode_pixels(Picture& p, const DecodeTarget& t, SourceInfo& info) {
  const Layout& l = *p.layout;
  const int64_t bpp = l.bytes_per_pixel;
  if (p.width * bpp > kMaxRowBytes) return -1;
  const int64_t pixels_present = p.bytes / bpp;
  if (pixels_present < p.width * p.height) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(pixels_present / p.width);
  }
  Channel ch[4];
  for (int c = 0; c < 4; ++c) ch[c] = channel_of(l.mask[c]);
  const Span rows = visible(p.height, t.y_offset, t.height);
  const Span columns = visible(p.width, t.x_offset, t.width);
  uint32_t alpha_seen = 0xFF;
  for (int64_t r = rows.first; r < rows.last; ++r) {
    if (columns.last > columns.first) info.work += columns.last - columns.first;
    uint32_t* line = target_row(t, r + t.y_offset) + t.x_offset;
    const int64_t present = std::clamp<int64_t>(pixels_present - r * p.width, 0, p.width);
    const int64_t end = std::min(present, columns.last);
    const uint8_t* src = p.data + r * p.width * bpp;
    for (int64_t x = columns.first; x < end; ++x) {
      const uint8_t* s = src + x * bpp;
      uint32_t v = 0;
      for (int64_t i = bpp - 1; i >= 0; --i) v = v << 8 | s[i];
      uint32_t pixel;
      if (l.codec == Codec::kPalette) {
        pixel = p.palette[v];
      } else {
        uint32_t c[4];
        for (int k = 0; k < 4; ++k)
          c[k] = ch[k].bits ? widen((v & l.mask[k]) >> ch[k].shift, ch[k].bits) : (k == 3 ? 255 : 0);
        if (l.gray) c[1] = c[2] = c[0];
        pixel = c[3] << 24 | c[0] << 16 | c[1] << 8 | c[2];
      }
      alpha_seen &= pixel >> 24;
      line[x] = pixel;
    }
    for (int64_t x = std::max(end, columns.first); x < columns.last; ++x) line[x] = kMissing;
  }
  p.alpha_seen = alpha_seen;
  return 0;
}

void decode_block(const Layout& l, const uint8_t* block, uint32_t pixels[16]) {
  switch (l.codec) {
    case Codec::kBc1:
      decode_colour_block(block, true, pixels);
      break;
    case Codec::kBc2:
      decode_colour_block(block + 8, false, pixels);
      apply_explicit_alpha(block, pixels);
      break;
    case Codec::kBc3:
      decode_colour_block(block + 8, false, pixels);
      apply_interpolated_alpha(block, pixels);
      break;
    case Codec::kBc4: {
      uint8_t v[16];
      decode_channel_block(block, l.is_signed, v);
      for (int k = 0; k < 16; ++k) pixels[k] = 0xFF000000u | uint32_t(v[k]) * 0x010101u;
      break;
    }
    case Codec::kBc5: {
      // Red and green; blue is the channels' zero (128 for signed values).
      uint8_t r[16], g[16];
      decode_channel_block(block, l.is_signed, r);
      decode_channel_block(block + 8, l.is_signed, g);
      const uint32_t blue = l.is_signed ? 128 : 0;
      for (int k = 0; k < 16; ++k) pixels[k] = 0xFF000000u | uint32_t(r[k]) << 16 | uint32_t(g[k]) << 8 | blue;
      break;
    }
    case Codec::kBc7:
      decode_bc7_block(block, pixels);
      break;
    default:
      break;
  }
  if (l.premultiplied) unpremultiply_block(pixels);
}

int32_t decode_blocks(Picture& p, const DecodeTarget& t, SourceInfo& info) {
  const Layout& l = *p.layout;
  const int64_t block_size = l.codec == Codec::kBc1 || l.codec == Codec::kBc4 ? 8 : 16;
  const int64_t blocks_across = (p.width + 3) / 4;
  const int64_t row_bytes = blocks_across * block_size;
  if (row_bytes > kMaxRowBytes) return -1;
  const int64_t blocks_present = p.bytes / block_size;
  if (blocks_present < blocks_across * ((p.height + 3) / 4)) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(std::min<int64_t>(blocks_present / blocks_across * 4, p.height));
  }

  // Edge blocks are written whole where the target has room, also beyond the
  // picture's own size, so the visible range is taken in whole blocks.
  const Span rows = visible((p.height + 3) / 4 * 4, t.y_offset, t.height);
  const Span columns = visible(blocks_across * 4, t.x_offset, t.width);
  if (rows.first >= rows.last || columns.first >= columns.last) return 0;
  uint32_t pixels[16];
  uint32_t alpha_seen = 0xFF;
  for (int64_t by = rows.first / 4; by * 4 < rows.last; ++by) {
    for (int64_t bx = columns.first / 4; bx * 4 < columns.last; ++bx) {
      const int64_t index = by * blocks_across + bx;
      ++info.work;
      if (index < blocks_present) {
        decode_block(l, p.data + index * block_size, pixels);
      } else {
        std::fill(pixels, pixels + 16, kMissing);
      }
      for (int j = 0; j < 4; ++j) {
        const int64_t y = by * 4 + j + t.y_offset;
        if (y < 0 || y >= t.height) continue;
        for (int i = 0; i < 4; ++i) {
          const int64_t x = bx * 4 + i + t.x_offset;
          if (x < 0 || x >= t.width) continue;
          target_row(t, y)[x] = pixels[4 * j + i];
          alpha_seen &= pixels[4 * j + i] >> 24;
        }
      }
    }
  }
  p.alpha_seen = alpha_seen;
  return 0;
}

}  // namespace

int32_t decode_dds(const uint8_t* d, int32_t size, const DecodeTarget& t, SourceInfo& info) {
  // Without the whole header the pixel format is unknown.
  Header h;
  if (d == nullptr || !read_header(d, size, &h)) return -1;
  const int64_t height = h.height, width = h.width;
  // Sizes the probe reports as negative are not pictures.
  if (height > INT32_MAX || width > INT32_MAX) return -1;
  ByteReader r(d, size);
  r.seek(kHeaderSize);

  Layout layout;
  if (h.flags & kFlagFourCc) {
    if (std::memcmp(h.four_cc, "DX10", 4) == 0) {
      layout.data_offset = kHeaderSize + kExtendedHeaderSize;
      const uint32_t format = r.le32();
      r.skip(kExtendedHeaderSize - 4);
      if (!r.ok()) return -1;
      // Floating-point blocks hold colours beyond 0..1 that 8-bit samples
      // cannot show.
      if (format >= 94 && format <= 96) {
        info.refusal = "BC6H textures hold HDR (floating-point) colours";
        return -1;
      }
      if (!from_dxgi(format, &layout)) return -1;
    } else if (!from_four_cc(h.four_cc, &layout)) {
      return -1;
    }
  } else if (!from_masks(h, &layout)) {
    return -1;
  }

  uint32_t palette[256];
  if (layout.codec == Codec::kPalette) {
    const uint8_t* entries = r.bytes(4 * 256);
    if (entries == nullptr) return -1;
    for (int i = 0; i < 256; ++i) {
      const uint8_t* e = entries + 4 * i;
      palette[i] = 0xFF000000u | uint32_t(e[0]) << 16 | uint32_t(e[1]) << 8 | e[2];
    }
  }
  Picture p{d + layout.data_offset, std::max<int64_t>(0, size - layout.data_offset), width, height, &layout,
            palette, 0xFF};
  const int32_t result = layout.codec == Codec::kMasks || layout.codec == Codec::kPalette
                             ? decode_pixels(p, t, info)
                             : decode_blocks(p, t, info);
  if (result != 0) return result;

  const bool gray = layout.gray || layout.codec == Codec::kBc4 ||
                    (layout.codec == Codec::kMasks && layout.mask[0] == 0 && layout.mask[1] == 0 &&
                     layout.mask[2] == 0);
  const bool alpha = p.alpha_seen != 0xFF;
  info.source_bit_depth = 8;
  if (layout.codec == Codec::kPalette) {
    info.source_color_type = 3;
    std::memcpy(info.palette, palette, sizeof palette);
    info.palette_count = 256;
  } else {
    info.source_color_type = int8_t(gray ? (alpha ? 4 : 0) : (alpha ? 6 : 2));
  }
  return 0;
}

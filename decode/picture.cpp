#include "decode/picture.h"

#include <cstdlib>
#include <cstring>

#include "decode/bmp_decode.h"
#include "decode/cel_decode.h"
#include "decode/dds_decode.h"
#include "decode/decoder.h"
#include "decode/gif_decode.h"
#include "decode/jpeg_decode.h"
#include "decode/pcx_decode.h"
#include "decode/png_chunk_walk.h"
#include "decode/png_decode.h"
#include "decode/tga_decode.h"

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// The recognition tests shared by probing and dispatch. Each reads only bytes
// below size.
bool is_png_start(const uint8_t* d, int32_t size) { return size >= 2 && d[0] == 0x89 && d[1] == 0x50; }
bool has_png_signature(const uint8_t* d, int32_t size) {
  return size >= 8 && std::memcmp(d, kPngSignature, 8) == 0;
}
bool is_jpeg(const uint8_t* d, int32_t size) { return size >= 2 && d[0] == 0xFF && d[1] == 0xD8; }
bool is_gif_start(const uint8_t* d, int32_t size) {
  return size >= 3 && d[0] == 'G' && d[1] == 'I' && d[2] == 'F';
}
bool is_cel(const uint8_t* d, int32_t size) {
  return size >= 12 && d[0] == 0x19 && d[1] == 0x91 && d[10] == 8 && d[11] == 0;
}
// A bitmap array ("BA") is read for its first picture, a whole BMP header
// after 14 bytes of its own.
bool is_bmp(const uint8_t* d, int32_t size) { return size >= 2 && d[0] == 'B' && (d[1] == 'M' || d[1] == 'A'); }
bool is_dds(const uint8_t* d, int32_t size) {
  return size >= 8 && std::memcmp(d, "DDS ", 4) == 0 && read_le32(d + 4) == 124;
}
bool is_tga(const uint8_t* d, int32_t size) {
  if (size < 20) return false;
  const uint8_t t = d[2], bits = d[16];
  return d[1] <= 1 && (t == 1 || t == 2 || t == 3 || t == 9 || t == 10 || t == 11) &&
         (bits == 8 || bits == 16 || bits == 24 || bits == 32) && d[17] < 64;
}

int32_t s16(const uint8_t* p) { return int16_t(read_le16(p)); }

void probe_png(const uint8_t* d, int32_t size, int32_t* w, int32_t* h) {
  PngChunkWalk walk = png_chunk_walk(d, size);
  PngChunkView c;
  while (png_chunk_next(&walk, &c)) {
    if (png_chunk_is(c, "IHDR") && c.available >= 8) {
      *w = int32_t(read_be32(c.data));
      *h = int32_t(read_be32(c.data + 4));
      return;
    }
  }
}

void probe_jpeg(const uint8_t* d, int32_t size, int32_t* w, int32_t* h) {
  if (size - 8 <= 2) return;
  const int64_t end = int64_t(size) - 8;
  int64_t pos = 2;
  while (pos < end) {
    if (d[pos] != 0xFF) {
      pos += 1;
    } else if ((d[pos + 1] >= 0xC0 && d[pos + 1] <= 0xC3) || d[pos + 1] == 0xC9 || d[pos + 1] == 0xCA) {
      *h = int32_t(read_be16(d + pos + 5));
      *w = int32_t(read_be16(d + pos + 7));
      return;
    } else {
      pos += 2 + int64_t(read_be16(d + pos + 2));
    }
  }
}

void probe_bmp(const uint8_t* d, int32_t size, int32_t* w, int32_t* h) {
  if (d[1] == 'A') {
    if (size < 16 || d[14] != 'B' || d[15] != 'M') return;
    d += 14;
    size -= 14;
  }
  if (size < 30) return;
  if (read_le32(d + 14) == 12) {
    if (read_le16(d + 22) != 1) return;
    *w = int32_t(read_le16(d + 18));
    *h = int32_t(read_le16(d + 20));
    return;
  }
  if (read_le16(d + 26) != 1) return;
  const int32_t height = int32_t(read_le32(d + 22));
  // A top-down picture stores a negative height; the most negative value has
  // no positive twin and is left as 0.
  if (height == INT32_MIN) return;
  *w = int32_t(read_le32(d + 18));
  *h = std::abs(height);
}

}  // namespace

uint16_t byte_swap16(uint16_t x) { return uint16_t(x << 8 | x >> 8); }

void probe_picture(const uint8_t* d, int32_t size, int32_t* width, int32_t* height) {
  *width = 0;
  *height = 0;
  if (d == nullptr || size < 16) return;
  if (is_png_start(d, size)) {
    if (has_png_signature(d, size)) probe_png(d, size, width, height);
    return;
  }
  if (is_jpeg(d, size)) return probe_jpeg(d, size, width, height);
  if (is_gif_start(d, size)) return probe_gif(d, size, width, height);
  if (is_cel(d, size)) {
    *width = int32_t(read_le16(d + 2));
    *height = int32_t(read_le16(d + 4));
    return;
  }
  if (is_bmp(d, size)) return probe_bmp(d, size, width, height);
  if (is_pcx(d, size)) {
    *width = s16(d + 8) - s16(d + 4) + 1;
    *height = s16(d + 10) - s16(d + 6) + 1;
    return;
  }
  if (is_dcx(d, size)) return probe_dcx(d, size, width, height);
  if (is_dds(d, size)) {
    if (size < 20) return;
    *width = int32_t(read_le32(d + 16));
    *height = int32_t(read_le32(d + 12));
    return;
  }
  if (is_tga(d, size)) {
    *width = int32_t(read_le16(d + 12));
    *height = int32_t(read_le16(d + 14));
  }
}

int32_t decode_picture(const uint8_t* d, int32_t size, const DecodeTarget& t, SourceInfo& info) {
  reset_decode_fields(info);
  if (d == nullptr || size <= 0) return -1;

  if (is_png_start(d, size)) {
    // A damaged signature is refused outright rather than guessed at.
    if (!has_png_signature(d, size)) return -1;
    return decode_png(d, size, t, info);
  }
  if (is_jpeg(d, size)) return decode_jpeg(d, size, t, info);
  if (is_gif_start(d, size)) {
    info.source_color_type = 3;
    info.source_bit_depth = 8;
    return decode_gif(d, size, t, info);
  }
  if (is_cel(d, size)) return decode_cel(d, size, t, info);
  if (is_bmp(d, size)) return decode_bmp(d, size, t, info);
  if (is_pcx(d, size)) return decode_pcx(d, size, t, info);
  if (is_dcx(d, size)) return decode_dcx(d, size, t, info);
  if (is_dds(d, size)) return decode_dds(d, size, t, info);
  if (is_tga(d, size)) return decode_tga(d, size, t, info);
  return -1;
}

int32_t picture_sample_depth(const uint8_t* d, int32_t size) {
  if (d == nullptr || size <= 0) return 0;
  if (has_png_signature(d, size)) return png_sample_depth(d, size) == 16 ? 16 : 8;
  if (is_jpeg(d, size)) return jpeg_sample_depth(d, size) > 8 ? 16 : 8;
  return 8;
}

int32_t decode_picture_wide(const uint8_t* d, int32_t size, const DecodeTarget& t, uint16_t* wide,
                            SourceInfo& info) {
  reset_decode_fields(info);
  if (d == nullptr || size <= 0 || wide == nullptr) return -1;
  if (has_png_signature(d, size)) return decode_png_wide(d, size, t, wide, info);
  if (is_jpeg(d, size)) return decode_jpeg_wide(d, size, t, wide, info);
  return -1;
}

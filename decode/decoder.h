#pragma once
#include <cstdint>

#include "decode/source_info.h"

// The call every format decoder answers: the whole file image, the target
// picture with the offset at which picture pixel (0, 0) lands, and the
// caller's source record, which the decoder fills in. Pixels outside the
// target are dropped. Returns 0 on success, -1 for a refused file. Nothing
// else is read or written, so decodes in different threads never meet.
struct DecodeTarget {
  uint32_t* pixels;
  int32_t pitch;   // bytes
  int32_t width;
  int32_t height;
  int32_t x_offset;
  int32_t y_offset;
  // JPEG: subsampled chroma interpolated between its samples rather than
  // repeated (the default, whose pixels are pinned).
  bool smooth_chroma = false;
};

// The fields of the source record that describe one decode; the rest (colour
// type, depth, palette entries) carry over as the dispatcher's contract says.
inline void reset_decode_fields(SourceInfo& info) {
  info.palette_count = 0;
  info.background = 0;
  info.background16[0] = info.background16[1] = info.background16[2] = 0;
  info.zlib_header = 0;
  info.deflate_block_count = 0;
  info.source_filter = -1;
  info.incomplete = 0;
  info.refusal = nullptr;
  info.decoded_rows = 0;
  info.work = 0;
}

// Little helpers for the header fields every format reads. Callers check the
// bounds before reading.
inline uint32_t read_le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t read_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t read_be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | uint32_t(p[1]); }
inline uint32_t read_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Stores one pixel when it falls inside the target.
inline void put_pixel(const DecodeTarget& t, int64_t x, int64_t y, uint32_t value) {
  x += t.x_offset;
  y += t.y_offset;
  if (x >= 0 && x < t.width && y >= 0 && y < t.height)
    reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch)[x] = value;
}

#include "encode/stored_layout.h"

#include "encode/png_chunks.h"

int64_t stored_capacity_estimate(const EncodeOptions* o, const ColourChoice* c) {
  int64_t estimate = 2111;
  if (o->kept_chunks) {
    const int32_t count = o->kept_count > 256 ? 256 : o->kept_count;
    for (int32_t i = 0; i < count; ++i) estimate += kept_chunk_size(o->kept_chunks[i]);
  }
  const int64_t h = o->height;
  const int64_t row = row_byte_count(c->colour_type, c->bit_depth, o->width);
  switch (c->colour_type) {
    case 2:
      estimate += (row + 6) * h;
      if (c->transparent_key != kNoTransparentKey) estimate += 18;
      break;
    case 3:
      estimate += 24 + 4 * int64_t(c->palette_used) + (row + 6) * h;
      break;
    case 0:
      estimate += (row + 6) * h;
      if (c->transparent_key != kNoTransparentKey) estimate += 14;
      break;
    default:
      estimate += (row + 6) * h;
      break;
  }
  // Every further stored block a row needs costs its 5 header bytes.
  const int64_t blocks = (row + 1 + kStoredBlockMax - 1) / kStoredBlockMax;
  estimate += (blocks - 1) * 5 * h;
  return estimate;
}

int32_t write_stored_png(EncoderContext* ctx) {
  const EncodeOptions* o = ctx->options;
  ColourChoice* c = &ctx->colours;
  BitWriter* w = &ctx->out;
  const RowFormat format = encoder_row_format(ctx);
  if (filter_stage_begin(&ctx->filters, &format, 0, ctx->print)) return 0;

  PngHeader header = {o->width,   o->height,       c->colour_type,    c->bit_depth,
                      c->palette, c->palette_used, c->transparent_key};
  if (c->has_key16) header.key16 = c->key16;
  if (!write_header_chunks(w, o, ctx->print, &header)) return 0;

  // The capacity estimate sized kbuf for all of it, so the chunk's CRC can
  // be read back from kbuf.
  const int32_t idat = open_chunk(w, "IDAT");
  const uint8_t zlib_header[2] = {0x78, 0x01};
  emit_bytes(w, zlib_header, 2);

  uint8_t* row = filter_stage_scratch(&ctx->filters);
  const int32_t length = ctx->filters.row_bytes + 1;
  uint32_t adler = 1;
  for (int32_t y = 0; y < o->height; ++y) {
    row[0] = 0;
    pack_row(&format, y, row + 1);
    adler = adler32_bytes(adler, row, size_t(length));
    for (int32_t at = 0; at < length;) {
      const int32_t piece = length - at < kStoredBlockMax ? length - at : kStoredBlockMax;
      const bool last = y == o->height - 1 && at + piece == length;
      const uint8_t block_head[5] = {uint8_t(last ? 1 : 0), uint8_t(piece), uint8_t(piece >> 8),
                                     uint8_t(~piece), uint8_t(~piece >> 8)};
      emit_bytes(w, block_head, 5);
      emit_bytes(w, row + at, piece);
      at += piece;
    }
  }
  const uint8_t trailer[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8),
                              uint8_t(adler)};
  emit_bytes(w, trailer, 4);
  close_chunk(w, idat);

  write_trailer_chunks(w, o);
  return 1;
}

#include "encode/deep_pass.h"

#include <vector>

#include "deflate/deep_deflate.h"
#include "encode/encoder_context.h"
#include "encode/png_chunks.h"

namespace {

struct Collected {
  std::vector<uint8_t> bytes;
  bool failed;
};

void append_bytes(void* user, const uint8_t* bytes, int32_t n) {
  auto* c = static_cast<Collected*>(user);
  if (c->failed) return;
  try {
    c->bytes.insert(c->bytes.end(), bytes, bytes + n);
  } catch (...) {
    c->failed = true;
  }
}

void no_finish(void*) {}

}  // namespace

int32_t deep_recompress(EncoderContext* ctx) {
  EncodeOptions* o = ctx->options;
  ColourChoice* c = &ctx->colours;
  // The compressing sink, not the collecting one, so that every row is
  // filtered against the row above it as the real passes filter it.
  Collected collected{{}, false};
  const int64_t expected = (row_byte_count(c->colour_type, c->bit_depth, o->width) + 1) * int64_t(o->height);
  if (expected > INT32_MAX) return -1;
  try {
    collected.bytes.reserve(size_t(expected));
  } catch (...) {
    return -1;
  }
  RowFormat format = encoder_row_format(ctx);
  if (filter_stage_begin(&ctx->filters, &format, c->filter, ctx->print)) return -1;
  const CompressSink sink = {&collected, append_bytes, no_finish};
  install_sink_compress(&ctx->filters, &sink);
  for (int32_t y = 0; y < o->height; ++y)
    if (filter_row(&ctx->filters, y)) return -1;
  if (collected.failed || int64_t(collected.bytes.size()) != expected) return -1;

  DeepSettings settings;
  deep_settings_for_level(o->deep_level, &settings);
  if (o->block_threshold > 0.0) settings.threshold = o->block_threshold;
  std::vector<uint8_t> raw;
  if (!deep_deflate(collected.bytes.data(), int32_t(collected.bytes.size()), &settings, &raw, ctx->key_check))
    return -1;

  BitWriter* w = &ctx->out;
  // The IDAT length field holds the zlib stream's size: 2 header bytes, the
  // deflate bytes and 4 of Adler-32.
  if (w->out_count > w->kbuf_capacity) return 0;
  const uint8_t* at = w->kbuf + ctx->idat_start;
  const int64_t old_stream = int64_t(at[0]) << 24 | int64_t(at[1]) << 16 | int64_t(at[2]) << 8 | at[3];
  if (int64_t(raw.size()) + 6 >= old_stream) return 0;
  w->out_count = ctx->idat_start;
  ctx->idat_start = open_chunk(w, "IDAT");
  begin_zlib(w);
  emit_bytes(w, raw.data(), int32_t(raw.size()));
  end_zlib(w, adler32_bytes(1, collected.bytes.data(), collected.bytes.size()));
  close_chunk(w, ctx->idat_start);
  write_trailer_chunks(w, o);
  return 0;
}

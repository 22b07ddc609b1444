#include "encode/encoder_context.h"

int32_t lookup_palette_index(void* user, uint32_t pixel) {
  return hash_find(static_cast<const ColourHash*>(user), pixel);
}

RowFormat encoder_row_format(EncoderContext* ctx) {
  const EncodeOptions* o = ctx->options;
  ColourChoice* c = &ctx->colours;
  if (c->colour_type == 0 || c->colour_type == 3) hash_fill(&ctx->hash, c->palette, c->palette_used);
  RowFormat format{
      o->pixels, o->pitch, o->width, o->height, c->colour_type, c->bit_depth, lookup_palette_index,
      &ctx->hash};
  if (c->bit_depth == 16) format.wide = o->wide_pixels;
  return format;
}

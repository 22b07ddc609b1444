#include "encode/encode_png.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "encode/colour_analysis.h"
#include "encode/deep_pass.h"
#include "encode/encode_wide.h"
#include "encode/encoder_context.h"
#include "encode/passes.h"
#include "encode/stored_layout.h"

namespace {

int32_t abort_run(EncoderContext* ctx) {
  filter_stage_end_run(&ctx->filters);
  return kNoPng;
}

// Sizes and allocates kbuf (the caller's buffer is used as it is).
int32_t prepare_output(EncoderContext* ctx) {
  EncodeOptions* o = ctx->options;
  if (o->kbuf_capacity < 0) o->kbuf_capacity = 0;
  if (ctx->capacity_estimate < o->kbuf_capacity) o->kbuf_capacity = ctx->capacity_estimate;
  if (!o->kbuf) {
    if (o->kbuf_capacity == 0) o->kbuf_capacity = ctx->capacity_estimate;
    o->kbuf = static_cast<uint8_t*>(std::malloc(size_t(o->kbuf_capacity)));
    if (!o->kbuf) {
      ctx->print("\rmalloc failed (gpo->kbuf)");
      return -1;
    }
  }
  return 0;
}

int32_t stored_output(EncoderContext* ctx) {
  EncodeOptions* o = ctx->options;
  if (o->kbuf_capacity < ctx->capacity_estimate) {
    std::free(o->kbuf);
    o->kbuf_capacity = ctx->capacity_estimate;
    o->kbuf = static_cast<uint8_t*>(std::malloc(size_t(o->kbuf_capacity)));
    if (!o->kbuf) {
      ctx->print("\r!malloc failed (gpo->kbuf)");
      return -1;
    }
  }
  ctx->out.kbuf = o->kbuf;
  ctx->out.kbuf_capacity = o->kbuf_capacity;
  if (!write_stored_png(ctx)) return -1;
  if (!o->verbose) ctx->print("\r");
  ctx->print("Output size:%8d bytes (no compression)", ctx->out.out_count);
  if (o->verbose) ctx->print("\n");
  return 0;
}

int32_t encode_in(EncoderContext* ctx, EncodeOptions* o) {
  // Nothing to encode, or rows that do not fit the pitch: no PNG rather than
  // reading outside the picture.
  if (!o->pixels || o->width < 1 || o->height < 1 || int64_t(o->pitch) < int64_t(o->width) * 4) {
    return kNoPng;
  }

  ColourChoice* c = &ctx->colours;
  const int32_t refused = o->wide_pixels ? analyse_wide(o, ctx->print, ctx->key_check, c)
                                         : analyse_colours(o, ctx->print, ctx->key_check, &ctx->hash, c);
  if (refused) return abort_run(ctx);
  std::memcpy(o->chosen_palette, c->palette, sizeof o->chosen_palette);
  o->chosen_palette_count = c->palette_used;
  o->chosen_filter = c->filter;
  o->chosen_colour_type = c->colour_type;
  o->chosen_bit_depth = c->bit_depth;
  if (ctx->key_check(2)) return abort_run(ctx);

  const int64_t estimate = stored_capacity_estimate(o, c);
  // Output sizes are signed 32-bit; a PNG that can't be counted can't be built.
  if (estimate > INT32_MAX - 1) {
    ctx->print("\rmalloc failed (gpo->kbuf)");
    return abort_run(ctx);
  }
  ctx->capacity_estimate = int32_t(estimate);
  if (prepare_output(ctx)) return abort_run(ctx);

  const auto start = std::chrono::steady_clock::now();
  ctx->print("\n");
  ctx->out.kbuf = o->kbuf;
  ctx->out.kbuf_capacity = o->kbuf_capacity;

  bool stored = o->strategy >= 4;
  if (!stored) {
    const PassResult r = run_passes(ctx);
    if (r == kPassesAborted) return abort_run(ctx);
    // The passes' PNG stays whenever the engine cannot run or does not win.
    if (r == kPassesDone && o->deep_level > 0) (void)deep_recompress(ctx);
    // Compression that loses to the stored layout is not worth keeping.
    stored = r == kPassesStored || ctx->out.out_count > ctx->capacity_estimate;
  }
  if (stored && stored_output(ctx)) return abort_run(ctx);

  if (o->verbose) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ctx->print("Took %.3f sec.\n", seconds);
  }
  filter_stage_end_run(&ctx->filters);
  return ctx->out.out_count;
}

}  // namespace

int32_t encode_png(EncodeOptions* o) {
  const PrintFn print = o->print;
  // The context is this call's alone (several encodes may run at once in
  // threads) and is zeroed, which is the state every field starts a run in.
  auto* ctx = static_cast<EncoderContext*>(std::calloc(1, sizeof(EncoderContext)));
  if (!ctx) {
    print("\rmalloc failed (gpo->kbuf)");
    return kNoPng;
  }
  filter_stage_init(&ctx->filters);
  ctx->options = o;
  ctx->print = print;
  ctx->key_check = o->key_check;
  const int32_t result = encode_in(ctx, o);
  filter_stage_free(&ctx->filters);
  std::free(ctx->passes.collect);
  deflate_stream_destroy(ctx->stream);
  std::free(ctx);
  return result;
}

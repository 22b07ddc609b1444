#include "encode/passes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "deflate/match_store.h"
#include "encode/encoder_context.h"
#include "encode/png_chunks.h"

namespace {

// A recording of a detailed picture takes about 8 bytes per filtered byte.
constexpr int64_t kMatchStoreBytesPerByte = 12;
constexpr int64_t kMatchStoreMaxBytes = int64_t(512) << 20;

int write_header_hook(void* user) {
  auto* ctx = static_cast<EncoderContext*>(user);
  ColourChoice* c = &ctx->colours;
  const bool indexed = c->colour_type == 0 || c->colour_type == 3;
  PngHeader header = {
      ctx->options->width,        ctx->options->height,           c->colour_type,
      indexed ? c->bit_depth : 8, indexed ? c->palette : nullptr, indexed ? c->palette_used : 0,
      c->transparent_key};
  if (c->bit_depth == 16) {
    header.bit_depth = 16;
    header.key16 = c->has_key16 ? c->key16 : nullptr;
  }
  if (!write_header_chunks(&ctx->out, ctx->options, ctx->print, &header)) return 0;
  // The pass's zlib stream goes into one IDAT chunk.
  ctx->idat_start = open_chunk(&ctx->out, "IDAT");
  return 1;
}

void write_trailer_hook(void* user) {
  auto* ctx = static_cast<EncoderContext*>(user);
  close_chunk(&ctx->out, ctx->idat_start);
  write_trailer_chunks(&ctx->out, ctx->options);
}

// The pass size, and the saving the recomputed lengths promise for the next
// pass with the size they promise, in bytes with three decimals.
void report_pass_size(void* user) {
  auto* ctx = static_cast<EncoderContext*>(user);
  const int32_t out_count = ctx->out.out_count;
  const int32_t excess = ctx->stream->excess_bits;
  if (!ctx->options->verbose) ctx->print("\r");
  ctx->print("Output size:%8d bytes", out_count);
  if (excess >= 1 && !ctx->passes.final_pass) {
    // 64-bit: eight times a large PNG's size does not fit 32 bits.
    const int64_t promised = int64_t(out_count) * 8 - excess;
    ctx->print(" -%7d.%03d -> %7d.%03d", excess >> 3, (excess & 7) * 125, int32_t(promised >> 3),
               int32_t(promised & 7) * 125);
  } else {
    ctx->print("%*c", 31, ' ');
  }
  if (ctx->options->verbose) ctx->print("\n");
}

void feed_stream(void* user, const uint8_t* bytes, int32_t n) {
  auto* s = static_cast<DeflateStream*>(user);
  deflate_feed_bytes(s, bytes, n);
}

void finish_stream(void* user) { deflate_finish(static_cast<DeflateStream*>(user)); }

void lengths_to_bytes(const DeflateStream* s, uint8_t* out) {
  for (int32_t k = 0; k < s->block_count; ++k) {
    const int32_t* len = s->blocks[k].lengths;
    uint8_t* dst = out + size_t(k) * kSymbolSlots;
    for (int32_t i = 0; i < kSymbolSlots; ++i) dst[i] = uint8_t(len[i]);
  }
}

void restore_best(EncoderContext* ctx) {
  PassState* ps = &ctx->passes;
  DeflateStream* s = ctx->stream;
  for (int32_t k = 0; k < s->block_count; ++k) {
    const uint8_t* src = ps->best_lengths + size_t(k) * kSymbolSlots;
    for (int32_t i = 0; i < kSymbolSlots; ++i) s->blocks[k].lengths[i] = src[i];
  }
  std::memcpy(ctx->colours.palette, ps->best_palette, sizeof ps->best_palette);
  ps->final_pass = 1;
}

// With filter 0 at depth 8 a palette index is the literal itself, so giving
// the entries with the shortest codes the lowest indexes among entries of
// equal alpha keeps the picture and the tRNS length while letting the next
// pass's lengths settle differently. Entry 0 never moves.
void reorder_palette(EncoderContext* ctx) {
  ColourChoice* c = &ctx->colours;
  DeflateStream* s = ctx->stream;
  int32_t* first = s->blocks[0].lengths;
  for (int32_t i = 2; i < c->palette_used; ++i) {
    for (int32_t j = 1; j < i; ++j) {
      if ((c->palette[j] >> 24) != (c->palette[i] >> 24) || first[i] >= first[j]) continue;
      const uint32_t p = c->palette[i];
      c->palette[i] = c->palette[j];
      c->palette[j] = p;
      for (int32_t k = s->block_count - 1; k >= 0; --k) {
        int32_t* len = s->blocks[k].lengths;
        const int32_t t = len[i];
        len[i] = len[j];
        len[j] = t;
      }
    }
  }
}

PassResult abort_passes(EncoderContext* ctx) {
  std::free(ctx->passes.collect);
  ctx->passes.collect = nullptr;
  return kPassesAborted;
}

// One pass over the picture's rows, with the progress shown and a stop
// check before each row: each row filtered through the installed sink, or,
// with kept, the bytes an earlier pass filtered (row_size a row) fed to sink,
// or, with neither, nothing fed. 0, or -1 when key_check asked to stop or the
// filter stage failed.
int32_t pass_over_rows(EncoderContext* ctx, bool filter, const CompressSink* sink = nullptr,
                       const uint8_t* kept = nullptr, int64_t row_size = 0) {
  const PassState* ps = &ctx->passes;
  int32_t shown = -1;
  for (int32_t y = 0; y < ctx->options->height; ++y) {
    const int32_t p = progress_percent(y, ps->progress_mult, ps->progress_bias);
    if (p > shown) {
      ctx->print("%2d%% \r", p);
      shown = p;
    }
    if (ctx->key_check(1)) return -1;
    if (filter) {
      if (filter_row(&ctx->filters, y)) return -1;
    } else if (kept) {
      sink->feed(sink->user, kept + size_t(y) * size_t(row_size), int32_t(row_size));
    }
  }
  if (kept) sink->finish(sink->user);
  return 0;
}

// The PNG of the best pass so far. The pass that ends a run on its best
// pass writes it with that pass's lengths, palette and filtered bytes, which
// makes that PNG again; keeping it spares the run that pass.
struct BestPng {
  uint8_t* bytes = nullptr;
  int32_t capacity = 0;
  int32_t count = -1;  // bytes held; -1 for none
  int32_t idat_start = 0;
  int32_t size = 0;  // the best size it was kept for
  BestPng() = default;
  BestPng(const BestPng&) = delete;
  BestPng& operator=(const BestPng&) = delete;
  ~BestPng() { std::free(bytes); }
};

void keep_best_png(BestPng* b, const EncoderContext* ctx, int32_t size) {
  const BitWriter* w = &ctx->out;
  b->count = -1;
  // Bytes beyond the buffer were only counted; a PNG that big is not kept.
  if (w->out_count > w->kbuf_capacity || w->out_count != size) return;
  if (w->out_count > b->capacity) {
    void* p = std::realloc(b->bytes, size_t(w->out_count));
    if (!p) return;
    b->bytes = static_cast<uint8_t*>(p);
    b->capacity = w->out_count;
  }
  std::memcpy(b->bytes, w->kbuf, size_t(w->out_count));
  b->count = w->out_count;
  b->idat_start = ctx->idat_start;
  b->size = size;
}

// The last pass of a run that ends on its best pass, when that pass's PNG is
// kept: the same progress and stop checks over the rows, then that PNG and
// its report. 0, or -1 when key_check asked to stop.
int32_t write_kept_best(EncoderContext* ctx, const BestPng* b) {
  if (pass_over_rows(ctx, false)) return -1;
  std::memcpy(ctx->out.kbuf, b->bytes, size_t(b->count));
  ctx->out.out_count = b->count;
  ctx->out.bit_buffer = 0;
  ctx->out.bit_count = 0;
  ctx->idat_start = b->idat_start;
  ctx->stream->invalid = 0;
  report_pass_size(ctx);
  return 0;
}

}  // namespace

uint32_t pass_hash(const uint8_t* lengths, int32_t block_count, const uint32_t* palette,
                   int32_t colour_type) {
  const uint32_t* crc = crc_table();
  uint32_t h = 0xFFFFFFFFu;
  for (int32_t k = block_count * kSymbolSlots - 2; k >= 0; k -= 2) {
    const uint32_t byte = (uint32_t(lengths[k + 1]) * 16 + lengths[k]) & 0xFF;
    h = (h >> 8) ^ crc[(h ^ byte) & 0xFF];
  }
  if (colour_type == 3) {
    for (int32_t m = 1023; m >= 0; --m) {
      const uint32_t byte = palette[m >> 2] >> (8 * (m & 3)) & 0xFF;
      h = (h >> 8) ^ crc[(h ^ byte) & 0xFF];
    }
  }
  return h;
}

void progress_constants(int32_t height, uint32_t* mult, uint32_t* bias) {
  if (height < 2) {
    *mult = uint32_t(0) - uint32_t(height);
  } else {
    *mult = uint32_t(((uint64_t(1) << 33) + uint64_t(height)) / (2 * uint64_t(height)));
  }
  *bias = uint64_t(*mult) * uint64_t(uint32_t(height)) < (uint64_t(1) << 32) ? 1 : 0;
}

int32_t progress_percent(int32_t y, uint32_t mult, uint32_t bias) {
  const uint32_t scaled = uint32_t(y) * 100u + bias;
  return int32_t((uint64_t(scaled) * mult) >> 32);
}

PassStep judge_pass(PassState* ps, bool valid, int32_t out_count, int32_t excess_bits, int32_t block_count,
                    const uint32_t* palette, int32_t colour_type) {
  // A pass that needed a symbol without a code wrote no valid stream: it
  // counts as the largest size, so it is never the best and never the result.
  const int32_t size = valid ? out_count : kNoSize;
  if (ps->final_pass) return valid ? PassStep::done : PassStep::stored;
  bool reproduce = false;
  if (excess_bits < 1) {
    if (valid && size <= ps->best_size) return PassStep::done;
    reproduce = true;
  } else if (ps->pass > kMaxRecordedPasses) {
    if (valid) return PassStep::done;
    reproduce = true;
  } else {
    ps->sizes[ps->pass] = size;
    if (size < ps->best_size) {
      ps->best_size = size;
      std::memcpy(ps->best_lengths, ps->lengths, size_t(block_count) * kSymbolSlots);
      std::memcpy(ps->best_palette, palette, sizeof ps->best_palette);
    }
    const uint32_t h = pass_hash(ps->lengths, block_count, palette, colour_type);
    ps->hashes[ps->pass] = h;
    for (int32_t q = ps->pass - 1; q >= 0; --q) {
      if (ps->hashes[q] != h || ps->sizes[q] != size) continue;
      if (valid && size <= ps->best_size) return PassStep::done;
      reproduce = true;
      break;
    }
  }
  if (!reproduce) return PassStep::next;
  if (ps->best_size == kNoSize) return PassStep::stored;
  return PassStep::reproduce_best;
}

namespace {

PassResult run_passes_with(EncoderContext* ctx, MatchStore* store) {
  EncodeOptions* o = ctx->options;
  ColourChoice* c = &ctx->colours;
  PassState* ps = &ctx->passes;
  if (!ctx->stream) ctx->stream = deflate_stream_create();
  DeflateStream* s = ctx->stream;
  if (!s) {
    ctx->print("\rmalloc failed");
    return kPassesAborted;
  }
  s->matches = store;
  s->parse_threads = o->parse_threads > 1 ? o->parse_threads : 1;
  s->parallel_passes = 0;
  s->parallel_lists = 0;
  s->out = &ctx->out;
  s->print = ctx->print;
  s->key_check = ctx->key_check;
  s->verbose = o->verbose;
  s->zl121_mode = o->zl121_mode;
  s->strategy = o->strategy < 0 ? 0 : (o->strategy > 3 ? 3 : o->strategy);
  s->hooks = StreamHooks{ctx, write_header_hook, write_trailer_hook, report_pass_size};

  std::memset(ps->sizes, 0, sizeof ps->sizes);
  std::memset(ps->hashes, 0, sizeof ps->hashes);
  ps->best_size = kNoSize;
  ps->final_pass = 0;
  ps->collect = nullptr;
  progress_constants(o->height, &ps->progress_mult, &ps->progress_bias);

  const bool splitting = o->exact_block_count > 0 || o->block_threshold > 0.0;
  RowFormat format = encoder_row_format(ctx);
  int64_t collect_size = 0;
  if (splitting) {
    ps->pass = -1;
    collect_size = (row_byte_count(c->colour_type, c->bit_depth, o->width) + 1) * int64_t(o->height);
    // Stream positions are signed 32-bit; the capacity estimate already
    // refused anything larger, this keeps the bound next to its use.
    if (collect_size > INT32_MAX) {
      ctx->print("\rmalloc failed");
      return kPassesAborted;
    }
    ps->collect = static_cast<uint8_t*>(std::malloc(size_t(collect_size)));
    if (!ps->collect) {
      ctx->print("\rmalloc failed");
      return kPassesAborted;
    }
    ctx->print("\r");
    if (filter_stage_begin(&ctx->filters, &format, c->filter, ctx->print)) return abort_passes(ctx);
    install_sink_collect(&ctx->filters, ps->collect, collect_size);
    if (pass_over_rows(ctx, true)) return abort_passes(ctx);
  }
  ps->pass = 0;

  if (splitting) {
    const int32_t r = find_block_boundaries(s, ps->collect, int32_t(ctx->filters.collect_count),
                                            o->block_threshold, o->exact_block_count);
    std::free(ps->collect);
    ps->collect = nullptr;
    if (r < 0) return kPassesAborted;
  } else {
    set_single_block(s);
    if (o->verbose) ctx->print("\n");
  }
  set_initial_lengths(s, o->randomize, o->random_seed);

  const CompressSink sink = {s, feed_stream, finish_stream};
  // Filtering depends on the pixels, the form and the palette only; the form
  // is fixed here, so a pass with the palette of the pass before may feed
  // the bytes the stream kept of it.
  const int64_t row_size = row_byte_count(c->colour_type, c->bit_depth, o->width) + 1;
  uint32_t fed_palette[256] = {};
  o->kept_passes = 0;
  o->kept_best = 0;
  BestPng best_png;
  for (;;) {
    lengths_to_bytes(s, ps->lengths);
    ctx->print("\r");
    if (c->colour_type == 3 && c->filter == 0 && c->bit_depth == 8 && ps->pass > 0 && !ps->final_pass &&
        !c->keep_palette) {
      reorder_palette(ctx);
      lengths_to_bytes(s, ps->lengths);
    }
    format = encoder_row_format(ctx);
    if (filter_stage_begin(&ctx->filters, &format, c->filter, ctx->print)) return kPassesAborted;
    if (ps->final_pass && best_png.count >= 0 && best_png.size == ps->best_size) {
      if (write_kept_best(ctx, &best_png)) return kPassesAborted;
      ps->pass += 1;
      o->kept_best = 1;
      return kPassesDone;
    }
    const uint8_t* kept = nullptr;
    if (ps->pass > 0 && std::memcmp(fed_palette, c->palette, sizeof fed_palette) == 0)
      kept = deflate_kept_bytes(s, row_size * o->height);
    std::memcpy(fed_palette, c->palette, sizeof fed_palette);
    if (!deflate_begin(s)) return kPassesAborted;
    install_sink_compress(&ctx->filters, &sink);
    if (kept) o->kept_passes += 1;
    if (pass_over_rows(ctx, !kept, &sink, kept, row_size)) return kPassesAborted;
    ps->pass += 1;

    const bool valid = !s->invalid;
    const int32_t best_before = ps->best_size;
    const PassStep step =
        judge_pass(ps, valid, ctx->out.out_count, s->excess_bits, s->block_count, c->palette, c->colour_type);
    if (ps->best_size != best_before) keep_best_png(&best_png, ctx, ps->best_size);
    if (step == PassStep::done) return kPassesDone;
    if (step == PassStep::stored) return kPassesStored;
    if (step == PassStep::reproduce_best) restore_best(ctx);
    // A capped run ends on its best pass: the one just made, or a replay of it.
    if (step == PassStep::next && o->max_passes > 0 && ps->pass >= o->max_passes) {
      if (valid && ctx->out.out_count == ps->best_size) return kPassesDone;
      if (ps->best_size == kNoSize) return kPassesStored;
      restore_best(ctx);
    }
    if (ctx->key_check(0)) {
      ctx->print("\nEarly ESC! ");
      if (valid) return kPassesDone;
      if (ps->best_size == kNoSize) return kPassesStored;
      if (!ps->final_pass) restore_best(ctx);
    }
  }
}

}  // namespace

PassResult run_passes(EncoderContext* ctx) {
  // The match lists of one pass, kept for the next passes over the same
  // filtered bytes. Beyond the bound the passes compute the rest themselves;
  // the bytes are the same either way.
  const ColourChoice* c = &ctx->colours;
  const int64_t stream_bytes =
      (row_byte_count(c->colour_type, c->bit_depth, ctx->options->width) + 1) * int64_t(ctx->options->height);
  int64_t limit = std::min(kMatchStoreBytesPerByte * stream_bytes, kMatchStoreMaxBytes);
  if (ctx->options->match_store_limit != 0) limit = std::min(limit, ctx->options->match_store_limit);
  MatchStore store;
  match_store_init(&store, limit);
  const PassResult r = run_passes_with(ctx, limit > 0 ? &store : nullptr);
  if (ctx->stream) {
    deflate_end_passes(ctx->stream);
    ctx->stream->matches = nullptr;
    ctx->options->parallel_passes = ctx->stream->parallel_passes;
    ctx->options->parallel_lists = ctx->stream->parallel_lists;
  }
  match_store_free(&store);
  return r;
}

#include <cstdint>
#include <new>

#include "deflate/deflate_stream.h"
#include "deflate/huffman.h"
#include "deflate/lz77_parse.h"
#include "deflate/match_store.h"
#include "deflate/parallel_parse.h"

namespace {

constexpr int32_t kLastBlockEnd = 0x7FFFFFFF;
constexpr uint32_t kSeenMark = 0x80000000u;

// A small generator of our own for the "-r" tables, so that a seed gives the
// same tables on every platform.
uint32_t next_random(uint32_t* state) {
  *state = *state * 1103515245u + 12345u;
  return (*state >> 16) & 0x7FFF;
}

void set_fixed_lengths(DeflateBlock* b, int32_t strategy) {
  int32_t* len = b->lengths;
  for (int32_t i = 0; i < kSymbolSlots; ++i) len[i] = 0;
  if (strategy == 3) {
    // Literals only: 255 codes of 8 bits and two of 9 (literal 128 and the
    // end of block) fill the code space exactly.
    for (int32_t i = 0; i < 256; ++i) len[i] = 8;
    len[128] = 9;
    len[256] = 9;
    return;
  }
  for (int32_t i = 0; i < 144; ++i) len[i] = 8;
  for (int32_t i = 144; i < 256; ++i) len[i] = 9;
  for (int32_t i = 256; i < 282; ++i) len[i] = 7;
  for (int32_t i = 282; i < 286; ++i) len[i] = 8;
  for (int32_t i = 0; i < 2; ++i) len[kDistanceSlot + i] = 4;
  for (int32_t i = 2; i < 30; ++i) len[kDistanceSlot + i] = 5;
}

void set_random_lengths(DeflateBlock* b, uint32_t* state, int32_t zl121_mode) {
  int32_t counts[286];
  for (int32_t i = 0; i < 286; ++i) counts[i] = 0x4000 + int32_t(next_random(state));
  for (int32_t i = 0; i < kSymbolSlots; ++i) b->lengths[i] = 0;
  huffman_code_lengths(counts, 286, b->lengths, 16, zl121_mode);
  for (int32_t i = 0; i < 30; ++i) counts[i] = 0x4000 + int32_t(next_random(state));
  huffman_code_lengths(counts, 30, b->lengths + kDistanceSlot, 16, zl121_mode);
}

}  // namespace

DeflateStream* deflate_stream_create() {
  DeflateStream* s = new (std::nothrow) DeflateStream();
  if (!s) return nullptr;
  // Default-initialised: the state is about 19 MB, nearly all of it the list
  // pool, and zero-filling it was most of the time of encoding a small
  // picture or animation frame. lz77_reset sets everything a stream reads
  // before writing it; the pool, window and rings are written before use.
  s->parser = new (std::nothrow) Lz77State;
  if (!s->parser) {
    delete s;
    return nullptr;
  }
  s->parser->avx2 = lz77_cpu_has_avx2();
  set_single_block(s);
  set_initial_lengths(s, 0, 0);
  return s;
}

void deflate_stream_destroy(DeflateStream* s) {
  if (!s) return;
  parallel_parse_free(s);
  delete s->parser;
  delete s;
}

void deflate_end_passes(DeflateStream* s) {
  delete s->records;
  s->records = nullptr;
}

void set_single_block(DeflateStream* s) {
  s->block_count = 1;
  DeflateBlock* b = &s->blocks[0];
  b->start = 0;
  b->end = kLastBlockEnd;
  b->link = -1;
  b->split_point = 0;
  b->gain = 0.0;
}

void set_initial_lengths(DeflateStream* s, int32_t randomize, uint32_t seed) {
  uint32_t state = seed;
  for (int32_t k = 0; k < s->block_count; ++k) {
    if (randomize && s->strategy != 3)
      set_random_lengths(&s->blocks[k], &state, s->zl121_mode);
    else
      set_fixed_lengths(&s->blocks[k], s->strategy);
  }
}

void block_start(DeflateStream* s, int32_t k) {
  DeflateBlock* b = &s->blocks[k];
  for (int32_t i = 0; i < kSymbolSlots; ++i) b->counts[i] = 0;
  lz77_prepare_block(s->parser, b->counts, b->lengths, b->end);
  put_bits(s->out, k == s->block_count - 1 ? 1 : 0, 1);
  put_bits(s->out, 2, 2);
  write_dynamic_header(s->out, b->lengths);
}

void block_end(DeflateStream* s) {
  Lz77State* z = s->parser;
  DeflateBlock* b = &s->blocks[s->current_block];
  b->counts[256] = int32_t(uint32_t(b->counts[256]) + 1);
  if (b->lengths[256] == 0)
    s->invalid = 1;
  else
    put_bits(s->out, z->codes[256], b->lengths[256]);

  // A literal the parser met but always covered by matches still gets a code
  // next time, so the next parse can choose it.
  for (int32_t i = 0; i < kSymbolSlots; ++i) {
    const uint32_t c = uint32_t(b->counts[i]);
    b->counts[i] = c == kSeenMark ? 1 : int32_t(c & ~kSeenMark);
  }
  int32_t fresh[kSymbolSlots] = {};
  huffman_code_lengths(b->counts, 286, fresh, 16, s->zl121_mode);
  huffman_code_lengths(b->counts + kDistanceSlot, 30, fresh + kDistanceSlot, 16, s->zl121_mode);
  int64_t excess = s->excess_bits;
  for (int32_t i = 0; i < kSymbolSlots; ++i) {
    excess += int64_t(b->lengths[i] - fresh[i]) * b->counts[i];
    b->lengths[i] = fresh[i];
  }
  if (excess > INT32_MAX) excess = INT32_MAX;
  if (excess < INT32_MIN) excess = INT32_MIN;
  s->excess_bits = int32_t(excess);

  s->current_block += 1;
  if (s->current_block < s->block_count) block_start(s, s->current_block);
}

int32_t deflate_begin(DeflateStream* s) {
  if (s->hooks.write_header && !s->hooks.write_header(s->hooks.user)) return 0;
  if (s->block_count < 1) {
    set_single_block(s);
    set_initial_lengths(s, 0, 0);
  }
  begin_zlib(s->out);
  s->adler = 1;
  lz77_reset(s->parser, s->strategy);
  lz77_use_store(s->parser, s->matches);
  // A replay over several blocks is parsed at the pass's end, side by side;
  // so is a recording, whose lists are first found side by side.
  s->parser->deferred = s->parse_threads > 1 &&
                        ((s->block_count > 1 && s->parser->store_mode == kStoreReplay &&
                          s->matches->positions >= s->matches->byte_count &&
                          s->matches->byte_count >= kParallelMinBytes) ||
                         s->parser->store_mode == kStoreRecord);
  s->current_block = 0;
  s->excess_bits = 0;
  s->invalid = 0;
  s->blocks[s->block_count - 1].end = kLastBlockEnd;
  block_start(s, 0);
  // Blocks that end before any byte arrives are closed at once; the parser
  // only looks at block ends after it has written something.
  while (s->blocks[s->current_block].end <= 0 && s->current_block < s->block_count - 1) block_end(s);
  return 1;
}

void deflate_feed(DeflateStream* s, uint8_t byte) {
  s->adler = adler32_update(byte, s->adler);
  lz77_feed(s, &byte, 1);
}

void deflate_feed_bytes(DeflateStream* s, const uint8_t* bytes, int32_t n) {
  if (n <= 0) return;
  s->adler = adler32_bytes(s->adler, bytes, size_t(n));
  lz77_feed(s, bytes, n);
}

const uint8_t* deflate_kept_bytes(const DeflateStream* s, int64_t n) {
  const Lz77State* z = s->parser;
  const MatchStore* m = s->matches;
  if (!m || !z || z->unchecked || z->received != n || m->byte_count != n) return nullptr;
  // The conditions under which the next pass replays; a pass that records
  // anew would write the bytes it is being fed from.
  if (!m->ready || m->stale || m->recording || s->strategy > 1 || m->strategy != s->strategy) return nullptr;
  return m->bytes;
}

void deflate_finish(DeflateStream* s) {
  lz77_feed(s, nullptr, 0);
  // Blocks whose end lies beyond the data are written empty, so that the
  // stream still ends with the block that carries the final bit.
  while (s->current_block < s->block_count - 1) block_end(s);
  block_end(s);
  end_zlib(s->out, s->adler);
  if (s->hooks.write_trailer) s->hooks.write_trailer(s->hooks.user);
  if (s->hooks.report_pass) s->hooks.report_pass(s->hooks.user);
}

#pragma once
#include <cstdint>

// A fast stand-in for the real compressor, for ranking choices that change
// the filtered bytes (colour form, palette order, filters) before any of them
// gets real passes. The real parse prices every path with the block's codes;
// this one takes a lazy greedy match over a bounded hash chain and prices the
// symbols it wrote with their order-0 entropy. Its sizes run a little above
// the real ones but move with them, which is all a ranking needs.

constexpr int32_t kQuickHashBits = 15;
constexpr int32_t kQuickWindow = 32768;  // deflate's reach; prev is indexed by position & (window - 1)
constexpr int32_t kQuickLiteralLength = 286;
constexpr int32_t kQuickDistanceCodes = 30;

// Symbol counts of what a parse wrote: literals and length symbols 0..285,
// distance codes 0..29, and the extra bits of both.
struct QuickTally {
  int32_t literal_length[kQuickLiteralLength];
  int32_t distance[kQuickDistanceCodes];
  int64_t extra_bits;
};

// Hash chains over the bytes parsed so far. Positions are absolute indexes
// into the caller's contiguous buffer.
struct QuickMatcher {
  int32_t head[1 << kQuickHashBits];  // latest position per bucket, -1 for none
  int32_t prev[kQuickWindow];         // earlier position of the same bucket, -1 for none
  int32_t max_chain;                  // chain steps per search; more finds longer matches, slower
  int32_t inserted_to;                // positions below this are in the chains
  // Trial mode records every head it replaces, so a parse can be undone.
  int32_t* undo;
  int32_t undo_count;
  int32_t undo_capacity;
  bool recording;
};

void quick_matcher_reset(QuickMatcher* m, int32_t max_chain);
// Frees the undo log (the matcher itself is the caller's).
void quick_matcher_free(QuickMatcher* m);

// Parses data[begin, end) (data[0, begin) is earlier stream the matches may
// reach back into) and adds its symbols to tally. With m->recording set the
// chain heads replaced are logged; quick_matcher_undo then restores the
// matcher to where it was before the parse. Returns false when the undo log
// could not grow (the matcher is then undone already).
bool quick_parse(QuickMatcher* m, const uint8_t* data, int32_t begin, int32_t end, QuickTally* tally);
void quick_matcher_undo(QuickMatcher* m, int32_t inserted_to);

// Bits of one dynamic block holding the tally's symbols, written with the
// codes its own counts give: header, symbols, extra bits.
int64_t quick_tally_bits(const QuickTally* tally);

// Bits per symbol from a running tally, in 1/256 bit, for pricing trial
// parses: -log2 of the symbol's share with half a count for symbols not seen
// yet, so that a first use is dear but never impossible.
struct QuickPrices {
  int32_t literal_length[kQuickLiteralLength];
  int32_t distance[kQuickDistanceCodes];
};
void quick_prices(const QuickTally* tally, QuickPrices* prices);
// Cost in 1/256 bit of the symbols in delta at these prices, extra bits included.
int64_t quick_priced_cost(const QuickPrices* prices, const QuickTally* delta);

// The whole estimate for one filtered stream, in bytes (zlib framing
// included). Returns -1 when memory is short.
int64_t quick_estimate_bytes(const uint8_t* data, int32_t n, int32_t max_chain);
// The same for the stream cut into count blocks, block k ending at ends[k]
// (the last one at n whatever ends says).
int64_t quick_estimate_blocks(const uint8_t* data, int32_t n, const int32_t* ends, int32_t count,
                              int32_t max_chain);

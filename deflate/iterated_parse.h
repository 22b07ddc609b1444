#pragma once
#include <cstdint>
#include <vector>

#include "deflate/callbacks.h"

#include "deflate/block_cost.h"

// A whole-buffer cost parse for the search mode. The match candidates of a
// stretch of bytes are found once (for each position, the nearest distance of
// every match length it has) and kept; each pass is then only a shortest path
// over them with prices from symbol statistics, so many passes, several
// starting statistics and random restarts cost little next to finding the
// matches again.

// For positions [begin, end) of data: pairs (length, distance) with rising
// lengths and rising distances; every length up to a pair's length and above
// the previous pair's has that pair's distance as its nearest. Matches never
// reach past end nor before history.
struct PairStore {
  const uint8_t* data;
  int32_t begin, end;
  std::vector<uint32_t> offset;  // pairs of position p: [offset[p - begin], offset[p - begin + 1])
  std::vector<uint32_t> pairs;   // length | distance << 16
  // Positions whose longest match (258 bytes) would go on for 258 more: only
  // that match is worth pricing there.
  std::vector<uint8_t> deep_run;
};

// Finds the matches of data[begin, end) reaching back to history (<= begin);
// chain_limit bounds the candidates looked at per position. False when memory
// is short.
bool build_match_store(const uint8_t* data, int32_t history, int32_t begin, int32_t end, int32_t chain_limit,
                       PairStore* store);

// What one block's parse search may spend.
struct ParseEffort {
  int32_t starts;         // bit 0 fixed tables, 1 lazy parse, 2 distance-1 runs, 3 literals, 4 the hint
  int32_t max_passes;     // passes per start, perturbed ones included
  int32_t patience;       // passes without gain before a start perturbs or ends
  int32_t perturbations;  // random restarts per start from its best statistics
  int32_t length_model;   // also price with Huffman code lengths, not only -log2 of the shares
  uint32_t seed;          // of the perturbations; fixed, so that a run repeats itself
  // 0, or a match length: where the longest match reaches at least this far,
  // a pass takes only that match and goes on after it, without pricing the
  // positions it covers. Far faster on smooth pictures, a little larger.
  int32_t skip_length;
};

// Reusable buffers of the shortest-path passes.
struct ParseScratch {
  std::vector<float> cost;
  std::vector<uint32_t> edge;
  std::vector<uint32_t> items;
};

// The smallest parse of [a, b) (inside the store's range) that the effort
// finds, as items in *best, and its size in bits as one block written with
// its own best code. hint, when not null, is a parse of [a, b) whose
// statistics are one more start (and a result to beat). key_check, when not
// null, is polled between passes; a nonzero answer ends the search with the
// best so far.
int64_t iterated_parse(const PairStore* store, int32_t a, int32_t b, const ParseEffort* effort,
                       const std::vector<uint32_t>* hint, ParseScratch* scratch, std::vector<uint32_t>* best,
                       KeyCheckFn key_check);

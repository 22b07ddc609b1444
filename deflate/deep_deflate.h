#pragma once
#include <cstdint>
#include <vector>

#include "deflate/callbacks.h"
#include "deflate/iterated_parse.h"

// The search mode's compressor for a whole filtered stream held in memory:
// matches found once per segment, a first parse, block boundaries searched
// with exact block sizes (and compared with the threshold split of the
// streaming encoder), then each block parsed again from several starting
// statistics with its own codes, and the boundaries searched again on the
// result. Every step keeps the smaller of what it had and what it found.

struct DeepSettings {
  int32_t chain_limit;  // match candidates per position
  ParseEffort first;    // the parse of a whole segment before any split
  ParseEffort block;    // each block's parse once boundaries are chosen
  int32_t rounds;       // re-parse and re-split rounds, >= 1
  int32_t refine;       // move boundaries to their best place after merging
  double threshold;     // the threshold split to compare with; <= 0: none
  // Streams of at most small_bytes take small_chain, small_block and
  // small_rounds instead (0: no such streams): more effort costs little
  // there.
  int32_t small_bytes;
  int32_t small_chain;
  ParseEffort small_block;
  int32_t small_rounds;
};

// The effort the search ranks finished candidates with (a level of its own
// beside the search levels).
constexpr int32_t kDeepRankLevel = 4;

// Settings of the search levels 1 (quick) to 3 (exhaustive), or kDeepRankLevel.
void deep_settings_for_level(int32_t level, DeepSettings* settings);

// Raw deflate stream (no zlib framing) of data[0, n) in *out. False when
// memory is short. key_check (may be null) is polled between passes; a
// nonzero answer finishes quickly with what was found so far, still a valid
// stream.
bool deep_deflate(const uint8_t* data, int32_t n, const DeepSettings* settings, std::vector<uint8_t>* out,
                  KeyCheckFn key_check);

#pragma once
#include <cstdint>

#include "deflate/deflate_stream.h"

constexpr int32_t kMaxRecordedPasses = 1023;
constexpr int32_t kNoSize = 0x7FFFFFFF;

// Bookkeeping of the repeated compression passes of one run.
struct PassState {
  int32_t pass;                             // -1 while collecting for the block split, then 0, 1, 2, ...
  int32_t best_size;                        // smallest valid pass so far, kNoSize before the first
  int32_t final_pass;                       // the next pass reproduces the best and ends the run
  int32_t sizes[kMaxRecordedPasses + 1];    // by pass number after the pass; kNoSize = invalid pass
  uint32_t hashes[kMaxRecordedPasses + 1];  // of the lengths (and palette) a pass was written with
  // Code lengths the current pass is written with, one byte each, 320 per block.
  uint8_t lengths[kMaxBlocks * kSymbolSlots];
  uint8_t best_lengths[kMaxBlocks * kSymbolSlots];
  uint32_t best_palette[256];
  // Percentage per row as a high-half product: ((100 y + bias) * mult) >> 32.
  uint32_t progress_mult;
  uint32_t progress_bias;
  uint8_t* collect;  // the collected filtered picture, only until the block split
};

#pragma once
#include <cstdint>

#include "deflate/deflate_stream.h"

struct EncoderContext;

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

enum PassResult : int32_t {
  kPassesAborted = -1,  // stopped or failed; reported already
  kPassesDone = 0,      // kbuf holds a valid PNG of out_count bytes
  kPassesStored = 1,    // no valid pass: write the stored layout
};

enum class PassStep {
  next,            // make another pass
  reproduce_best,  // restore the best pass's lengths and palette for one final pass
  done,            // the pass just made is the result
  stored,          // no valid pass to return: write the stored layout
};

// The decision after pass number ps->pass (already counted) of out_count
// bytes, written with ps->lengths and palette, whose recomputed lengths
// promise excess_bits. Records the pass and keeps the best one's lengths.
PassStep judge_pass(PassState* ps, bool valid, int32_t out_count, int32_t excess_bits, int32_t block_count,
                    const uint32_t* palette, int32_t colour_type);

// Runs the compression passes for strategies 0..3 and leaves the PNG of the
// last pass in kbuf.
PassResult run_passes(EncoderContext* ctx);

// The hash that recognises a pass repeating an earlier one: a CRC step over
// each pair of lengths (last pair first), then for palettes over the 1024
// palette bytes, last first.
uint32_t pass_hash(const uint8_t* lengths, int32_t block_count, const uint32_t* palette, int32_t colour_type);
// The constants of the progress display for a picture of height rows.
void progress_constants(int32_t height, uint32_t* mult, uint32_t* bias);
int32_t progress_percent(int32_t y, uint32_t mult, uint32_t bias);

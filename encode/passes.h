#pragma once
#include <cstdint>

#include "encode/encoder_context.h"
#include "encode/pass_state.h"

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

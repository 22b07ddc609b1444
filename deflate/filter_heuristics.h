#pragma once
#include <cstdint>

#include "deflate/quick_estimate.h"

// Two more per-row filter choices beside the entropy choice (filter 5):
// 6 takes the filter whose bytes, read as signed values, have the smallest
// sum of magnitudes; 7 tries all five on the row and keeps the one whose
// bytes a trial parse against the stream so far prices cheapest. 7 sees what
// the compressor sees (matches into earlier rows), at some five parses per
// row.
constexpr int32_t kFilterMinSum = 6;
constexpr int32_t kFilterTrial = 7;

// The filter actually applied for filter f on a row: Average on a first row
// predicts from the left only, which is what Sub does exactly.
inline int32_t applied_filter(int32_t f, bool first_row) { return f == 3 && first_row ? 1 : f; }

// Writes the chosen row (filter-type byte, then n bytes) to out and returns
// its filter. raw and up have unit zero guard bytes before them; scratch
// holds n + 1 bytes.
int32_t choose_filter_min_sum(const uint8_t* raw, const uint8_t* up, int32_t n, int32_t unit, bool first_row,
                              uint8_t* out, uint8_t* scratch);

// State of the trial choice over one pass: every row chosen so far, in
// order, with the chains and symbol counts of their parse.
struct FilterTrials {
  QuickMatcher matcher;
  QuickTally tally;
  uint8_t* stream;
  int64_t stream_size;
  int64_t stream_capacity;
};

FilterTrials* filter_trials_create();
void filter_trials_destroy(FilterTrials* t);
// Starts a pass of rows of row_bytes + 1 bytes each. Returns 0, or -1 when
// memory is short.
int32_t filter_trials_begin(FilterTrials* t, int32_t rows, int32_t row_bytes);
// As choose_filter_min_sum, and the chosen row joins the trial stream.
// Returns -1 when memory is short or more rows come than begin announced.
int32_t choose_filter_trial(FilterTrials* t, const uint8_t* raw, const uint8_t* up, int32_t n, int32_t unit,
                            bool first_row, uint8_t* out);

#include "deflate/filter_heuristics.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "deflate/filters.h"

namespace {

// Trial parses look at few chain entries: they compare five versions of the
// same row, where the near matches decide.
constexpr int32_t kTrialChain = 8;

int64_t magnitude_sum(const uint8_t* bytes, int32_t n) {
  int64_t sum = 0;
  for (int32_t i = 0; i < n; ++i) sum += bytes[i] < 128 ? bytes[i] : 256 - bytes[i];
  return sum;
}

void add_tally(QuickTally* to, const QuickTally* from) {
  for (int32_t i = 0; i < kQuickLiteralLength; ++i) to->literal_length[i] += from->literal_length[i];
  for (int32_t i = 0; i < kQuickDistanceCodes; ++i) to->distance[i] += from->distance[i];
  to->extra_bits += from->extra_bits;
}

}  // namespace

int32_t choose_filter_min_sum(const uint8_t* raw, const uint8_t* up, int32_t n, int32_t unit, bool first_row,
                              uint8_t* out, uint8_t* scratch) {
  int64_t best = INT64_MAX;
  int32_t best_filter = 0;
  for (int32_t f = 0; f <= 4; ++f) {
    const int32_t applied = applied_filter(f, first_row);
    scratch[0] = uint8_t(applied);
    apply_filter(applied, raw, up, n, unit, scratch + 1);
    const int64_t sum = magnitude_sum(scratch + 1, n);
    if (sum < best) {
      best = sum;
      best_filter = f;
      std::memcpy(out, scratch, size_t(n) + 1);
    }
  }
  return best_filter;
}

FilterTrials* filter_trials_create() {
  auto* t = static_cast<FilterTrials*>(std::calloc(1, sizeof(FilterTrials)));
  return t;
}

void filter_trials_destroy(FilterTrials* t) {
  if (!t) return;
  quick_matcher_free(&t->matcher);
  std::free(t->stream);
  std::free(t);
}

int32_t filter_trials_begin(FilterTrials* t, int32_t rows, int32_t row_bytes) {
  const int64_t need = int64_t(rows) * (int64_t(row_bytes) + 1);
  // Positions in the trial stream are 32-bit like the compressor's.
  if (rows < 0 || need > INT32_MAX) return -1;
  if (need > t->stream_capacity) {
    std::free(t->stream);
    t->stream = static_cast<uint8_t*>(std::malloc(size_t(need) + 1));
    t->stream_capacity = t->stream ? need : 0;
    if (!t->stream) return -1;
  }
  t->stream_size = 0;
  quick_matcher_reset(&t->matcher, kTrialChain);
  std::memset(&t->tally, 0, sizeof t->tally);
  return 0;
}

int32_t choose_filter_trial(FilterTrials* t, const uint8_t* raw, const uint8_t* up, int32_t n, int32_t unit,
                            bool first_row, uint8_t* out) {
  const int64_t row = int64_t(n) + 1;
  if (t->stream_size + row > t->stream_capacity) return -1;
  const int32_t begin = int32_t(t->stream_size);
  const int32_t end = int32_t(t->stream_size + row);
  uint8_t* slot = t->stream + begin;
  QuickPrices prices;
  quick_prices(&t->tally, &prices);
  const int32_t inserted = t->matcher.inserted_to;
  int64_t best = INT64_MAX;
  int32_t best_filter = 0;
  t->matcher.recording = true;
  for (int32_t f = 0; f <= 4; ++f) {
    const int32_t applied = applied_filter(f, first_row);
    slot[0] = uint8_t(applied);
    apply_filter(applied, raw, up, n, unit, slot + 1);
    QuickTally delta{};
    const bool parsed = quick_parse(&t->matcher, t->stream, begin, end, &delta);
    quick_matcher_undo(&t->matcher, inserted);
    if (!parsed) {
      t->matcher.recording = false;
      return -1;
    }
    const int64_t cost = quick_priced_cost(&prices, &delta);
    if (cost < best) {
      best = cost;
      best_filter = f;
      std::memcpy(out, slot, size_t(row));
    }
  }
  t->matcher.recording = false;
  std::memcpy(slot, out, size_t(row));
  QuickTally delta{};
  if (!quick_parse(&t->matcher, t->stream, begin, end, &delta)) return -1;
  add_tally(&t->tally, &delta);
  t->stream_size += row;
  return best_filter;
}

#include "deflate/block_split.h"

#include <cmath>

#include "deflate/deflate_stream.h"

// The split estimate counts each half's order-0 size in nats, n ln n minus
// the sum of c ln c over its byte values, and moves the split point one byte
// at a time. Every log is kept as a running sum of ln((k + 1) / k) steps, so a
// step costs a few multiplications instead of calls to log.

namespace {

constexpr int32_t kMaxSplitBlocks = 1023;
constexpr int32_t kKeyPollMask = 0xFFFF;

// ln((k + 1) / k) for k >= 1, within about 1e-9 of the exact value.
inline double phi(double k) {
  const double w = k * (k + 1.0);
  return (k + 0.5) * (w + 0.03160502036941208) / (w * (w + 0.19823983692603997));
}

// Split search over one block; false when the analysis was asked to stop.
// A block of at most one byte cannot be split and is marked with split 0.
bool measure(DeflateStream* s, const uint8_t* data, DeflateBlock* b) {
  const int32_t n = b->end - b->start;
  if (n <= 1) {
    b->split_point = 0;
    b->gain = 0.0;
    return true;
  }
  double gain = 0.0;
  const int32_t split = split_gain(data + b->start, n, &gain, s->key_check);
  if (split < 0) return false;
  b->split_point = b->start + split;
  b->gain = gain;
  return true;
}

bool splittable(const DeflateBlock* b) { return b->end - b->start > 1 && b->split_point > b->start; }

void add_block(DeflateStream* s, int32_t from) {
  DeflateBlock* old = &s->blocks[from];
  DeflateBlock* b = &s->blocks[s->block_count];
  b->start = old->split_point;
  b->end = old->end;
  b->link = from;
  b->split_point = 0;
  b->gain = 0.0;
  old->end = old->split_point;
  s->block_count += 1;
}

void sort_ends(DeflateStream* s) {
  const int32_t count = s->block_count;
  for (int32_t gap = count >> 1; gap > 0; gap >>= 1)
    for (int32_t i = gap; i < count; ++i) {
      const int32_t v = s->blocks[i].end;
      int32_t j = i;
      for (; j >= gap && s->blocks[j - gap].end > v; j -= gap) s->blocks[j].end = s->blocks[j - gap].end;
      s->blocks[j].end = v;
    }
  for (int32_t i = 0; i < count; ++i) {
    s->blocks[i].start = i == 0 ? 0 : s->blocks[i - 1].end;
    s->blocks[i].link = i - 1;
  }
}

bool split_by_threshold(DeflateStream* s, const uint8_t* data, double threshold) {
  for (int32_t k = 0; k < s->block_count; ++k) {
    const int32_t tries[2] = {k, s->blocks[k].link};
    for (int32_t t = 0; t < 2; ++t) {
      const int32_t c = tries[t];
      if (c < 0) continue;
      DeflateBlock* b = &s->blocks[c];
      if (!measure(s, data, b)) return false;
      // A block too short to split simply stays whole.
      if (!splittable(b) || !(b->gain > threshold)) continue;
      add_block(s, c);
      if (s->block_count > kMaxSplitBlocks) return true;
    }
  }
  return true;
}

bool split_to_count(DeflateStream* s, const uint8_t* data, int32_t count) {
  if (!measure(s, data, &s->blocks[0])) return false;
  while (s->block_count < count) {
    // The largest gain wins; block 0 first, then from the last block down, so
    // ties keep the earliest candidate of that order. Blocks too short to
    // split are passed over, and when none is left the search ends early.
    int32_t chosen = splittable(&s->blocks[0]) ? 0 : -1;
    for (int32_t k = s->block_count - 1; k > 0; --k) {
      const DeflateBlock* b = &s->blocks[k];
      if (splittable(b) && (chosen < 0 || b->gain > s->blocks[chosen].gain)) chosen = k;
    }
    if (chosen < 0) break;
    add_block(s, chosen);
    if (!measure(s, data, &s->blocks[s->block_count - 1])) return false;
    if (!measure(s, data, &s->blocks[chosen])) return false;
  }
  return true;
}

void report(const DeflateStream* s) {
  if (!s->verbose || !s->print) return;
  s->print("   \nBlock boundaries: ");
  if (s->block_count == 1) s->print("none");
  for (int32_t i = 0; i + 1 < s->block_count; ++i) s->print(i == 0 ? "%x" : ",%x", s->blocks[i].end);
  s->print("\n\n");
}

}  // namespace

int32_t split_gain(const uint8_t* bytes, int32_t n, double* gain, KeyCheckFn key_check) {
  *gain = 0.0;
  if (n <= 1) return 0;
  int32_t count[256] = {};
  for (int32_t i = 0; i < n; ++i) count[bytes[i]] += 1;
  int32_t left[256], right[256];
  double left_log[256], right_log[256], term[256];
  for (int32_t b = 0; b < 256; ++b) {
    left[b] = 0;
    right[b] = count[b];
    left_log[b] = 0.0;
    right_log[b] = count[b] > 0 ? std::log(double(count[b])) : 0.0;
    term[b] = count[b] > 0 ? count[b] * right_log[b] : 0.0;
  }
  double g = std::log(double(n) - 1.0);
  double sum = 0.0;
  double z = double(n) * std::log(double(n));
  double f = 0.0;
  double best = 1e32;
  int32_t best_split = 0;
  for (int32_t j = 0; j + 1 < n; ++j) {
    const uint8_t b = bytes[j];
    const int32_t s = j + 1;
    left[b] += 1;
    right[b] -= 1;
    left_log[b] += phi(left[b]);
    if (right[b] > 0) right_log[b] -= phi(right[b]);
    const double new_term = right[b] * right_log[b] + left[b] * left_log[b];
    const double new_z = double(n - s) * g + double(s) * sum;
    f += (new_z - z) - (new_term - term[b]);
    term[b] = new_term;
    z = new_z;
    if (f < best) {
      best = f;
      best_split = s;
    }
    g -= phi(n - s);
    sum += phi(s);
    if ((j & kKeyPollMask) == 0 && key_check && key_check(1)) return -1;
  }
  *gain = -best / (8.0 * std::log(2.0));
  return best_split;
}

int32_t find_block_boundaries(DeflateStream* s, const uint8_t* data, int32_t n, double threshold,
                              int32_t exact_count) {
  set_single_block(s);
  s->blocks[0].end = n;
  bool finished;
  if (exact_count >= 1) {
    const int32_t count = exact_count > kMaxSplitBlocks ? kMaxSplitBlocks : exact_count;
    finished = split_to_count(s, data, count);
  } else {
    finished = split_by_threshold(s, data, threshold);
  }
  if (!finished) {
    set_single_block(s);
    return -1;
  }
  sort_ends(s);
  report(s);
  return 0;
}

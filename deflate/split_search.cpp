#include "deflate/split_search.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "deflate/block_cost.h"

// A block's size needs its symbol counts; they come from counts taken every
// kStride items, so the counts of any range cost at most two strides of
// counting. The split point of a range is found by sampling the cost of the
// two halves at a few evenly spread points and narrowing to the best one's
// neighbourhood, which finds the deepest valley of a cost that is close to
// unimodal without pricing every point.

namespace {

constexpr int32_t kStride = 512;
constexpr int32_t kSamples = 9;
constexpr int32_t kSmallestBlock = 16;  // items; shorter blocks never pay for their header
constexpr int32_t kMaxLayoutBlocks = 4096;

struct Coster {
  const uint32_t* items;
  int32_t m;
  std::vector<SymbolCounts> marks;  // counts of items [0, k * kStride)

  void build() {
    const int32_t n = m / kStride + 1;
    marks.resize(size_t(n));
    std::memset(&marks[0], 0, sizeof(SymbolCounts));
    for (int32_t k = 1; k < n; ++k) {
      marks[size_t(k)] = marks[size_t(k - 1)];
      count_items(items + int64_t(k - 1) * kStride, kStride, &marks[size_t(k)]);
    }
  }

  int64_t bits(int32_t a, int32_t b) const {
    SymbolCounts c;
    const int32_t ka = (a + kStride - 1) / kStride, kb = b / kStride;
    if (ka < kb) {
      const SymbolCounts& x = marks[size_t(ka)];
      const SymbolCounts& y = marks[size_t(kb)];
      for (int32_t i = 0; i < kLitLenSlots; ++i) c.litlen[i] = y.litlen[i] - x.litlen[i];
      for (int32_t i = 0; i < kDistSlots; ++i) c.dist[i] = y.dist[i] - x.dist[i];
      c.extra_bits = y.extra_bits - x.extra_bits;
      count_items(items + a, ka * kStride - a, &c);
      count_items(items + int64_t(kb) * kStride, b - kb * kStride, &c);
    } else {
      std::memset(&c, 0, sizeof c);
      count_items(items + a, b - a, &c);
    }
    c.litlen[kEndOfBlock] += 1;
    return best_block_bits(&c, nullptr);
  }

  // The best split of [a, b) and the size of its two halves.
  int32_t best_split(int32_t a, int32_t b, int64_t* total) const {
    int32_t lo = a + kSmallestBlock, hi = b - kSmallestBlock;
    *total = INT64_MAX;
    if (lo > hi) return -1;
    int32_t best = -1;
    for (;;) {
      const int32_t span = hi - lo;
      const int32_t count = span < kSamples ? span + 1 : kSamples;
      int32_t points[kSamples];
      int64_t costs[kSamples];
      int32_t at = 0;
      for (int32_t k = 0; k < count; ++k) {
        points[k] = count == 1 ? lo : lo + int32_t(int64_t(span) * k / (count - 1));
        costs[k] = bits(a, points[k]) + bits(points[k], b);
        if (costs[k] < costs[at]) at = k;
      }
      if (costs[at] < *total) {
        *total = costs[at];
        best = points[at];
      }
      if (span < kSamples) break;
      const int32_t nlo = points[at > 0 ? at - 1 : 0];
      const int32_t nhi = points[at + 1 < count ? at + 1 : count - 1];
      if (nhi - nlo >= span) break;
      lo = nlo;
      hi = nhi;
    }
    return best;
  }
};

}  // namespace

int64_t layout_bits(const uint32_t* items, int32_t m, const std::vector<int32_t>& starts) {
  Coster c{items, m, {}};
  c.build();
  int64_t total = 0;
  for (size_t k = 0; k < starts.size(); ++k) {
    const int32_t b = k + 1 < starts.size() ? starts[k + 1] : m;
    total += c.bits(starts[k], b);
  }
  return total;
}

int64_t split_search(const uint32_t* items, int32_t m, int32_t refine, std::vector<int32_t>* starts,
                     KeyCheckFn key_check) {
  Coster c{items, m, {}};
  c.build();
  // Ranges still to try, as [start, end) pairs; the layout collects the
  // starts of the ranges that no split improves.
  std::vector<int32_t> layout;
  std::vector<std::pair<int32_t, int32_t>> todo = {{0, m}};
  bool stop = false;
  while (!todo.empty()) {
    const auto [a, b] = todo.back();
    todo.pop_back();
    int64_t halves = INT64_MAX;
    const int32_t s = stop || int32_t(layout.size() + todo.size()) >= kMaxLayoutBlocks ? -1 : c.best_split(a, b, &halves);
    if (s >= 0 && halves < c.bits(a, b)) {
      todo.push_back({s, b});
      todo.push_back({a, s});
    } else {
      layout.push_back(a);
    }
    if (key_check && key_check(0)) stop = true;
  }
  std::sort(layout.begin(), layout.end());
  // Merging: always the neighbours whose merge saves most.
  std::vector<int64_t> cost(layout.size());
  auto end_of = [&](size_t k) { return k + 1 < layout.size() ? layout[k + 1] : m; };
  for (size_t k = 0; k < layout.size(); ++k) cost[k] = c.bits(layout[k], end_of(k));
  std::vector<int64_t> merged(layout.size(), 0);
  for (size_t k = 0; k + 1 < layout.size(); ++k) merged[k] = c.bits(layout[k], end_of(k + 1));
  while (layout.size() > 1 && !stop) {
    size_t pick = 0;
    int64_t gain = 0;
    for (size_t k = 0; k + 1 < layout.size(); ++k) {
      const int64_t g = cost[k] + cost[k + 1] - merged[k];
      if (g > gain) gain = g, pick = k;
    }
    if (gain <= 0) break;
    cost[pick] = merged[pick];
    layout.erase(layout.begin() + std::ptrdiff_t(pick) + 1);
    cost.erase(cost.begin() + std::ptrdiff_t(pick) + 1);
    merged.erase(merged.begin() + std::ptrdiff_t(pick) + 1);
    if (pick + 1 < layout.size()) merged[pick] = c.bits(layout[pick], end_of(pick + 1));
    if (pick > 0) merged[pick - 1] = c.bits(layout[pick - 1], end_of(pick));
  }
  if (refine && !stop) {
    for (size_t k = 1; k < layout.size(); ++k) {
      const int32_t a = layout[k - 1], b = end_of(k);
      int64_t halves = INT64_MAX;
      const int32_t s = c.best_split(a, b, &halves);
      if (s >= 0 && halves < cost[k - 1] + cost[k]) {
        layout[k] = s;
        cost[k - 1] = c.bits(a, s);
        cost[k] = c.bits(s, b);
      }
      if (key_check && key_check(0)) break;
    }
  }
  int64_t total = 0;
  for (int64_t x : cost) total += x;
  *starts = layout;
  return total;
}

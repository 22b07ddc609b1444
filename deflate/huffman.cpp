#include "deflate/huffman.h"

#include <cassert>
#include <cstring>

namespace {

constexpr int32_t kMaxLeaves = 288;
constexpr int32_t kMaxNodes = 2 * kMaxLeaves;  // 575 real nodes plus the sentinel
constexpr int32_t kSentinel = kMaxNodes - 1;
// Unused symbols stay in the heap with a weight above every sum of real
// weights (which the 64-bit sums keep below 2^40), so they are never merged.
constexpr int64_t kUnusedWeight = INT64_MAX;
constexpr int64_t kSentinelWeight = INT64_MIN;

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Built by the compiler, so that the table is never written at run time.
constexpr DeflateTables build_tables() {
  DeflateTables t{};
  int32_t base = 1;
  for (int32_t c = 0; c < kDistanceCodes; ++c) {
    const int32_t extra = c < 4 ? 0 : c / 2 - 1;
    t.extra[c] = uint8_t(extra);
    t.base[c] = uint16_t(base);
    base += 1 << extra;
  }
  base = 3;
  for (int32_t e = 0; e < 28; ++e) {
    const int32_t extra = e < 8 ? 0 : e / 4 - 1;
    t.extra[kLengthEntryBase + e] = uint8_t(extra);
    t.base[kLengthEntryBase + e] = uint16_t(base);
    for (int32_t l = base; l < base + (1 << extra) && l < kMaxMatch; ++l)
      t.length_entry[l] = uint8_t(kLengthEntryBase + e);
    base += 1 << extra;
  }
  // Length 258 has its own symbol (285) without extra bits, although 284
  // with 31 extra could also express it.
  t.extra[kTableEntries - 1] = 0;
  t.base[kTableEntries - 1] = kMaxMatch;
  t.length_entry[kMaxMatch] = uint8_t(kTableEntries - 1);
  t.length_entry[0] = t.length_entry[1] = t.length_entry[2] = 0;
  return t;
}

constexpr DeflateTables kDeflateTables = build_tables();

struct Heap {
  int64_t weight[kMaxNodes];
  int32_t parent[kMaxNodes];
  int32_t node[kMaxNodes + 2];  // 1-based; slot 0 holds the sentinel that stops sifting up
  int32_t size;

  void reset() {
    weight[kSentinel] = kSentinelWeight;
    node[0] = node[1] = kSentinel;
    size = 0;
  }

  // Equal weights do not move up, so earlier insertions stay nearer the top.
  void insert(int32_t v) {
    int32_t i = ++size;
    const int64_t w = weight[v];
    while (weight[node[i >> 1]] > w) {
      node[i] = node[i >> 1];
      i >>= 1;
    }
    node[i] = v;
    node[size + 1] = kSentinel;
  }

  int32_t pop() {
    const int32_t top = node[1];
    const int32_t moving = node[size];
    node[size] = kSentinel;
    --size;
    const int64_t w = weight[moving];
    int32_t i = 1;
    for (;;) {
      int32_t child = 2 * i;
      if (child > size) break;
      if (child + 1 <= size && weight[node[child + 1]] < weight[node[child]]) ++child;
      if (weight[node[child]] >= w) break;
      node[i] = node[child];
      i = child;
    }
    if (size > 0) node[i] = moving;
    return top;
  }
};

// Calls emit(symbol, extra_value, extra_bits) for every code-length symbol of
// the sequence, following the run-length rules of the block header.
template <typename Emit>
void walk_code_lengths(const int32_t* seq, int32_t total, Emit&& emit) {
  int32_t p = 0;
  while (p < total) {
    const int32_t v = seq[p];
    int32_t r = 1;
    while (p + r < total && seq[p + r] == v) ++r;
    const bool has_prev = p > 0;
    const int32_t prev = has_prev ? seq[p - 1] : -1;
    if (v == 0 && r >= 3) {
      if (r >= 139) {
        emit(18, 127, 7);
        p += 138;
      } else if (r >= 11) {
        emit(18, r - 11, 7);
        p += r;
      } else {
        if (has_prev && prev == 0 && r <= 6)
          emit(16, r - 3, 2);
        else
          emit(17, r - 3, 3);
        p += r;
      }
      continue;
    }
    int32_t repeat = 0;
    if (has_prev && prev == v && r >= 3) {
      repeat = r;
    } else {
      emit(v, 0, 0);
      p += 1;
      if (r >= 4) repeat = r - 1;
    }
    if (repeat > 0) {
      // A repeat of 5 rather than 6 when 2 would be left over, because 2
      // entries cannot be sent as another repeat.
      int32_t t = repeat % 6 == 2 ? 5 : repeat;
      if (t > 6) t = 6;
      emit(16, t - 3, 2);
      p += t;
    }
  }
}

}  // namespace

const DeflateTables& deflate_tables() { return kDeflateTables; }

void huffman_code_lengths(const int32_t* counts, int32_t n, int32_t* lengths, int32_t limit,
                          int32_t zl121_mode) {
  assert(n > 0 && n <= kMaxLeaves);
  Heap h;
  int32_t depth[kMaxNodes];
  int64_t bias = 0;
  for (int32_t k = 0;; ++k) {
    h.reset();
    int32_t used = 0;
    for (int32_t j = 0; j < n; ++j) {
      if (counts[j] > 0) {
        h.weight[j] = (bias + counts[j]) >> k;
        ++used;
      } else {
        h.weight[j] = kUnusedWeight;
      }
      h.insert(j);
    }
    if (used < 2) {
      for (int32_t j = 0; j < n; ++j) lengths[j] = 0;
      const int32_t top = h.pop();
      lengths[top] = used;
      if (used == 0 && zl121_mode) lengths[0] = 1;
      return;
    }
    for (int32_t m = 0; m < used - 1; ++m) {
      const int32_t a = h.pop();
      const int32_t b = h.pop();
      const int32_t parent = n + m;
      h.parent[a] = h.parent[b] = parent;
      h.weight[parent] = h.weight[a] + h.weight[b];
      h.insert(parent);
    }
    const int32_t root = n + used - 2;
    depth[root] = 0;
    for (int32_t v = root - 1; v >= n; --v) depth[v] = depth[h.parent[v]] + 1;
    int32_t longest = 0;
    for (int32_t j = 0; j < n; ++j) {
      lengths[j] = counts[j] > 0 ? depth[h.parent[j]] + 1 : 0;
      if (lengths[j] > longest) longest = lengths[j];
    }
    if (longest < limit) break;
    bias += int64_t(1) << k;
  }
  // Within each run of consecutive used symbols of equal scaled weight the
  // lengths ascend, so the same counts always give the same lengths. Once a
  // run is sorted, every later start inside it finds it sorted, hence the skip.
  for (int32_t k = 0; k < n;) {
    if (counts[k] <= 0) {
      ++k;
      continue;
    }
    int32_t end = k + 1;
    while (end < n && h.weight[end] == h.weight[k]) ++end;
    for (int32_t m = k + 1; m < end; ++m)
      for (int32_t d = k; d < m; ++d)
        if (lengths[d] > lengths[m]) {
          const int32_t t = lengths[d];
          lengths[d] = lengths[m];
          lengths[m] = t;
        }
    k = end;
  }
}

void canonical_codes(const int32_t* lengths, int32_t n, uint32_t* codes) {
  uint32_t per_length[32] = {};
  for (int32_t j = 0; j < n; ++j)
    if (lengths[j] > 0) per_length[lengths[j]] += 1;
  uint32_t next_code[32] = {};
  uint32_t code = 0;
  for (int32_t l = 1; l < 32; ++l) {
    next_code[l] = code;
    code = (code + per_length[l]) << 1;
  }
  for (int32_t j = 0; j < n; ++j) {
    const int32_t l = lengths[j];
    if (l <= 0) {
      codes[j] = 0;
      continue;
    }
    const uint32_t c = next_code[l]++;
    uint32_t reversed = 0;
    for (int32_t b = 0; b < l; ++b) reversed |= ((c >> b) & 1u) << (l - 1 - b);
    codes[j] = reversed;
  }
}

void write_dynamic_header(BitWriter* w, const int32_t* lengths) {
  int32_t hlit = 286;
  while (hlit > 257 && lengths[hlit - 1] == 0) --hlit;
  int32_t hdist = 30;
  while (hdist > 1 && lengths[288 + hdist - 1] == 0) --hdist;
  put_bits(w, uint32_t(hlit - 257), 5);
  put_bits(w, uint32_t(hdist - 1), 5);

  // Runs may cross from the literal/length lengths into the distance lengths,
  // so both are coded as one sequence.
  int32_t seq[286 + 30];
  std::memcpy(seq, lengths, sizeof(int32_t) * size_t(hlit));
  std::memcpy(seq + hlit, lengths + 288, sizeof(int32_t) * size_t(hdist));
  const int32_t total = hlit + hdist;

  int32_t cl_counts[19] = {};
  walk_code_lengths(seq, total, [&](int32_t sym, int32_t, int32_t) { cl_counts[sym] += 1; });
  int32_t cl_lengths[19];
  uint32_t cl_codes[19];
  huffman_code_lengths(cl_counts, 19, cl_lengths, 8, 0);
  canonical_codes(cl_lengths, 19, cl_codes);

  int32_t hclen = 19;
  while (hclen > 4 && cl_lengths[kCodeLengthOrder[hclen - 1]] == 0) --hclen;
  put_bits(w, uint32_t(hclen - 4), 4);
  for (int32_t i = 0; i < hclen; ++i) put_bits(w, uint32_t(cl_lengths[kCodeLengthOrder[i]]), 3);
  walk_code_lengths(seq, total, [&](int32_t sym, int32_t extra, int32_t bits) {
    put_bits(w, cl_codes[sym], cl_lengths[sym]);
    if (bits > 0) put_bits(w, uint32_t(extra), bits);
  });
}

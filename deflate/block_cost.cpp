#include "deflate/block_cost.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "deflate/huffman.h"


namespace {

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr int64_t kHugeBits = int64_t(1) << 50;

// One item of a package-merge list: a leaf (its symbol) or a package of two
// items of the level below (symbol -1).
struct Item {
  int64_t weight;
  int32_t symbol;
};

void push(uint8_t* symbol, uint8_t* extra, int32_t* count, int32_t s, int32_t e) {
  symbol[*count] = uint8_t(s);
  extra[*count] = uint8_t(e);
  *count += 1;
}

}  // namespace

void limited_code_lengths(const int32_t* counts, int32_t n, int32_t limit, int32_t* lengths) {
  int32_t order[kLitLenSlots];
  int32_t used = 0;
  for (int32_t i = 0; i < n; ++i) {
    lengths[i] = 0;
    if (counts[i] > 0) order[used++] = i;
  }
  if (used == 0) return;
  if (used <= 2) {
    for (int32_t i = 0; i < used; ++i) lengths[order[i]] = 1;
    return;
  }
  std::stable_sort(order, order + used, [counts](int32_t a, int32_t b) { return counts[a] < counts[b]; });
  // Level j's list holds the leaves merged with the packages of level j - 1;
  // the code is optimal when the first 2 used - 2 items of the top level are
  // taken, and the items taken at each level are a prefix of its list.
  static_assert(kLitLenSlots <= 288, "lists sized for 288 leaves");
  Item lists[16][2 * kLitLenSlots];
  int32_t sizes[16];
  if (limit > 15) limit = 15;
  for (int32_t i = 0; i < used; ++i) lists[0][i] = {counts[order[i]], order[i]};
  sizes[0] = used;
  for (int32_t j = 1; j < limit; ++j) {
    const Item* below = lists[j - 1];
    const int32_t packages = sizes[j - 1] / 2;
    int32_t a = 0, b = 0, k = 0;
    while (a < used || b < packages) {
      const int64_t pw = b < packages ? below[2 * b].weight + below[2 * b + 1].weight : INT64_MAX;
      if (a < used && counts[order[a]] <= pw) {
        lists[j][k++] = {counts[order[a]], order[a]};
        ++a;
      } else {
        lists[j][k++] = {pw, -1};
        ++b;
      }
    }
    sizes[j] = k;
  }
  int32_t take = 2 * used - 2;
  for (int32_t j = limit - 1; j >= 0 && take > 0; --j) {
    int32_t packages = 0;
    for (int32_t i = 0; i < take; ++i) {
      if (lists[j][i].symbol >= 0)
        lengths[lists[j][i].symbol] += 1;
      else
        ++packages;
    }
    take = 2 * packages;
  }
}

void fixed_code_lengths(int32_t* litlen, int32_t* dist) {
  for (int32_t i = 0; i < kLitLenSlots; ++i) litlen[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  for (int32_t i = 0; i < kDistSlots; ++i) dist[i] = 5;
}

void header_sequence(const int32_t* litlen, const int32_t* dist, int32_t rle_mode, HeaderSequence* out) {
  int32_t hlit = 286;
  while (hlit > 257 && litlen[hlit - 1] == 0) --hlit;
  int32_t hdist = 30;
  while (hdist > 1 && dist[hdist - 1] == 0) --hdist;
  int32_t seq[286 + 30];
  for (int32_t i = 0; i < hlit; ++i) seq[i] = litlen[i];
  for (int32_t i = 0; i < hdist; ++i) seq[hlit + i] = dist[i];
  const int32_t total = hlit + hdist;
  const bool use16 = rle_mode & 1, use17 = rle_mode & 2, use18 = rle_mode & 4;
  out->count = 0;
  out->hlit = hlit;
  out->hdist = hdist;
  int32_t i = 0;
  while (i < total) {
    const int32_t v = seq[i];
    int32_t r = 1;
    while (i + r < total && seq[i + r] == v) ++r;
    i += r;
    if (v == 0 && (use17 || use18)) {
      while (r >= 3) {
        if (use18 && r >= 11) {
          const int32_t t = std::min(r, 138);
          push(out->symbol, out->extra, &out->count, 18, t - 11);
          r -= t;
        } else if (use17) {
          const int32_t t = std::min(r, 10);
          push(out->symbol, out->extra, &out->count, 17, t - 3);
          r -= t;
        } else {
          break;
        }
      }
      for (; r > 0; --r) push(out->symbol, out->extra, &out->count, 0, 0);
      continue;
    }
    push(out->symbol, out->extra, &out->count, v, 0);
    r -= 1;
    if (use16) {
      while (r >= 3) {
        // Never leave one or two behind when another repeat could take them.
        int32_t t = std::min(r, 6);
        if (r > 6 && r - 6 < 3) t = r - 3;
        push(out->symbol, out->extra, &out->count, 16, t - 3);
        r -= t;
      }
    }
    for (; r > 0; --r) push(out->symbol, out->extra, &out->count, v, 0);
  }
}

int64_t sequence_bits(const HeaderSequence* h, int32_t* cl) {
  int32_t freq[19] = {};
  int64_t extra = 0;
  for (int32_t i = 0; i < h->count; ++i) {
    const int32_t s = h->symbol[i];
    freq[s] += 1;
    extra += s == 16 ? 2 : s == 17 ? 3 : s == 18 ? 7 : 0;
  }
  int32_t lengths[19];
  limited_code_lengths(freq, 19, 7, lengths);
  // A code-length code must be complete: a lone symbol gets a partner.
  int32_t codes = 0, lone = 0;
  for (int32_t s = 0; s < 19; ++s)
    if (lengths[s] > 0) ++codes, lone = s;
  if (codes == 1) lengths[lone == 0 ? 1 : 0] = 1;
  int32_t hclen = 19;
  while (hclen > 4 && lengths[kCodeLengthOrder[hclen - 1]] == 0) --hclen;
  int64_t bits = 5 + 5 + 4 + 3 * int64_t(hclen) + extra;
  for (int32_t s = 0; s < 19; ++s) bits += int64_t(freq[s]) * lengths[s];
  if (cl) std::memcpy(cl, lengths, sizeof lengths);
  return bits;
}

int64_t dynamic_header_bits(const int32_t* litlen, const int32_t* dist, int32_t rle_mode) {
  HeaderSequence h;
  header_sequence(litlen, dist, rle_mode, &h);
  return sequence_bits(&h, nullptr);
}

int64_t symbol_bits(const SymbolCounts* counts, const int32_t* litlen, const int32_t* dist) {
  int64_t bits = counts->extra_bits;
  for (int32_t i = 0; i < 286; ++i) {
    if (counts->litlen[i] <= 0) continue;
    if (litlen[i] == 0) return kHugeBits;
    bits += int64_t(counts->litlen[i]) * litlen[i];
  }
  for (int32_t i = 0; i < 30; ++i) {
    if (counts->dist[i] <= 0) continue;
    if (dist[i] == 0) return kHugeBits;
    bits += int64_t(counts->dist[i]) * dist[i];
  }
  return bits;
}

namespace {

// Counts made friendlier to the header's run-length code: each stretch of
// neighbouring symbols whose counts stay near their running mean gets the
// mean, so their code lengths come out equal and go out as repeats. Long
// runs of unused symbols stay unused (zero runs are cheap already). Only a
// candidate: the caller keeps it when the whole block gets smaller.
void smooth_counts(const int32_t* counts, int32_t n, int32_t spread, int32_t* out) {
  for (int32_t i = 0; i < n; ++i) out[i] = counts[i];
  int32_t i = 0;
  while (i < n) {
    int32_t zeros = 0;
    while (i + zeros < n && counts[i + zeros] == 0) ++zeros;
    if (zeros >= 3) {
      i += zeros;
      continue;
    }
    int64_t sum = counts[i];
    int32_t j = i + 1;
    for (; j < n; ++j) {
      const int64_t mean = sum / (j - i);
      const int64_t tolerance = std::max<int64_t>(spread, mean * spread / 8);
      if (counts[j] == 0 && j + 2 < n && counts[j + 1] == 0 && counts[j + 2] == 0) break;
      if (std::abs(int64_t(counts[j]) - mean) > tolerance) break;
      sum += counts[j];
    }
    if (j - i >= 4) {
      const int32_t mean = std::max<int32_t>(1, int32_t((sum + (j - i) / 2) / (j - i)));
      for (int32_t k = i; k < j; ++k) out[k] = mean;
    }
    i = j;
  }
}

// Header mode and size for one set of lengths.
int64_t best_header(const int32_t* litlen, const int32_t* dist, int32_t* mode) {
  int64_t best = kHugeBits;
  for (int32_t m = 0; m < 8; ++m) {
    const int64_t h = dynamic_header_bits(litlen, dist, m);
    if (h < best) best = h, *mode = m;
  }
  return best;
}

}  // namespace

int64_t best_block_bits(const SymbolCounts* counts, BlockCode* code) {
  int64_t best = kHugeBits;
  int32_t best_litlen[kLitLenSlots] = {}, best_dist[kDistSlots] = {};
  int32_t best_mode = 0;
  // Spread 0 is the plain optimal code; the others trade a few bits of the
  // symbols for a shorter header.
  for (int32_t spread : {0, 1, 3, 8}) {
    int32_t lc[kLitLenSlots] = {}, dc[kDistSlots] = {};
    if (spread == 0) {
      std::memcpy(lc, counts->litlen, sizeof lc);
      std::memcpy(dc, counts->dist, sizeof dc);
    } else {
      smooth_counts(counts->litlen, 286, spread, lc);
      smooth_counts(counts->dist, 30, spread, dc);
    }
    int32_t litlen[kLitLenSlots] = {}, dist[kDistSlots] = {};
    limited_code_lengths(lc, 286, 15, litlen);
    limited_code_lengths(dc, 30, 15, dist);
    // Without any match, one distance code of one bit keeps every decoder's
    // table builder content.
    bool any_distance = false;
    for (int32_t i = 0; i < 30; ++i) any_distance |= dist[i] > 0;
    if (!any_distance) dist[0] = 1;
    const int64_t data = symbol_bits(counts, litlen, dist);
    if (data >= kHugeBits) continue;
    int32_t mode = 0;
    const int64_t total = 3 + best_header(litlen, dist, &mode) + data;
    if (total < best) {
      best = total;
      best_mode = mode;
      std::memcpy(best_litlen, litlen, sizeof litlen);
      std::memcpy(best_dist, dist, sizeof dist);
    }
  }
  int32_t fixed_litlen[kLitLenSlots], fixed_dist[kDistSlots];
  fixed_code_lengths(fixed_litlen, fixed_dist);
  const int64_t fixed = 3 + symbol_bits(counts, fixed_litlen, fixed_dist);
  if (fixed < best) {
    if (code) {
      std::memcpy(code->litlen, fixed_litlen, sizeof fixed_litlen);
      std::memcpy(code->dist, fixed_dist, sizeof fixed_dist);
      code->rle_mode = 0;
      code->fixed = 1;
    }
    return fixed;
  }
  if (code) {
    std::memcpy(code->litlen, best_litlen, sizeof best_litlen);
    std::memcpy(code->dist, best_dist, sizeof best_dist);
    code->rle_mode = best_mode;
    code->fixed = 0;
  }
  return best;
}

void count_items(const uint32_t* items, int32_t n, SymbolCounts* counts) {
  const DeflateTables& t = deflate_tables();
  int64_t extra = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t l = item_length(items[i]);
    const int32_t v = item_value(items[i]);
    if (l == 1) {
      counts->litlen[v] += 1;
      continue;
    }
    const int32_t entry = t.length_entry[l];
    counts->litlen[entry + 257 - kLengthEntryBase] += 1;
    const int32_t code = distance_code(v);
    counts->dist[code] += 1;
    extra += t.extra[entry] + t.extra[code];
  }
  counts->extra_bits += extra;
}

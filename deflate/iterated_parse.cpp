#include "deflate/iterated_parse.h"

#include <cassert>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>

#include "deflate/huffman.h"

// Finding matches: a binary tree per 3-byte hash, searched and rebuilt at
// every position (see build_match_store), nearest candidates first. Unlike a
// hash chain it needs no special case for runs of one byte: a position in a
// long run meets its predecessor at the root, matches it whole and stops.
//
// Pricing: a pass prices each symbol with -log2 of its share in the
// statistics it starts from (or with the Huffman code length those
// statistics give), takes the cheapest path, and hands the counts of that
// path to the next pass. Such passes settle on a fixed point that depends on
// where they start, so several starts are tried, and a start that stops
// improving is pushed off its fixed point by scaling its best statistics at
// random (a fixed seed) and goes on; the smallest block seen on the way is
// kept, measured exactly as the writer will write it.

namespace {

constexpr int32_t kHashBits = 16;
constexpr int32_t kWindow = 32768;
constexpr int32_t kLongest = 258;
constexpr float kUnreachedCost = 1e30f;

inline uint32_t hash_at(const uint8_t* d) {
  const uint32_t v = uint32_t(d[0]) << 16 | uint32_t(d[1]) << 8 | d[2];
  return (v * 2654435761u) >> (32 - kHashBits);
}

// Equal bytes of x and y from offset 0, at most limit.
inline int32_t common_length(const uint8_t* x, const uint8_t* y, int32_t limit) {
  int32_t l = 0;
  while (l + 8 <= limit) {
    uint64_t a, b;
    std::memcpy(&a, x + l, 8);
    std::memcpy(&b, y + l, 8);
    if (a != b) return l + (__builtin_ctzll(a ^ b) >> 3);
    l += 8;
  }
  while (l < limit && x[l] == y[l]) ++l;
  return l;
}

}  // namespace

bool build_match_store(const uint8_t* data, int32_t history, int32_t begin, int32_t end, int32_t chain_limit,
                       PairStore* store) {
  store->data = data;
  store->begin = begin;
  store->end = end;
  const int32_t span = end - history;
  // Per position its two subtrees side by side, [2 * i] the nodes ordered
  // before it and [2 * i + 1] those after: a step of the walk touches one
  // cache line of them.
  std::vector<int32_t> head, tree;
  try {
    head.assign(size_t(1) << kHashBits, -1);
    tree.resize(2 * size_t(span > 0 ? span : 0));
    store->offset.assign(size_t(end - begin) + 1, 0);
    store->deep_run.assign(size_t(end - begin), 0);
    store->pairs.clear();
    store->pairs.reserve(size_t(end - begin) * 2);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (span <= 0) return true;
  std::vector<uint32_t>& pairs = store->pairs;

  // One tree per hash bucket, ordered by the bytes that follow each position
  // and, from the root down, from the newest position to older ones: every
  // position becomes the root of its bucket and the old tree is split around
  // it as the search descends. The nodes a search meets are exactly those
  // with no newer node between them and the searched bytes, so, nearest
  // first, they include the nearest position of every match length; each
  // that matches longer than all nearer ones is recorded. chain_limit bounds
  // the nodes met; the subtrees beyond the bound are dropped.
  auto visit = [&](int32_t p, bool record) -> bool {
    const int32_t max_len = std::min(kLongest, end - p);
    if (max_len < 3) return true;
    const uint8_t* here = data + p;
    const uint32_t h = hash_at(here);
    int32_t q = head[h];
    head[h] = p;
    int32_t* left = &tree[2 * size_t(p - history)];       // takes the nodes ordered before p
    int32_t* right = &tree[2 * size_t(p - history) + 1];  // and those after it
    int32_t left_len = 0, right_len = 0, best = 2;
    for (int32_t steps = 0; q >= history && p - q <= kWindow && steps < chain_limit; ++steps) {
      const uint8_t* there = data + q;
      // Both neighbours so far share this much with p, so q does too.
      int32_t l = std::min(left_len, right_len);
      l += common_length(here + l, there + l, max_len - l);
      if (record && l > best) {
        pairs.push_back(uint32_t(l) | uint32_t(p - q) << 16);
        best = l;
      }
      if (l >= max_len) {
        // q's bytes equal p's as far as any later search compares them, and
        // p is nearer: p takes q's place and q leaves the tree.
        *left = tree[2 * size_t(q - history)];
        *right = tree[2 * size_t(q - history) + 1];
        return true;
      }
      if (there[l] < here[l]) {
        *left = q;
        left = &tree[2 * size_t(q - history) + 1];
        q = *left;
        left_len = l;
      } else {
        *right = q;
        right = &tree[2 * size_t(q - history)];
        q = *right;
        right_len = l;
      }
    }
    *left = -1;
    *right = -1;
    return true;
  };

  for (int32_t p = history; p < begin; ++p) visit(p, false);
  try {
    for (int32_t p = begin; p < end; ++p) {
      store->offset[size_t(p - begin)] = uint32_t(pairs.size());
      visit(p, true);
      // Deep inside a stretch that repeats itself at some distance for more
      // than two longest matches (a run of one byte, a flat area of one
      // colour), only the longest match is worth pricing.
      const uint32_t first = store->offset[size_t(p - begin)];
      if (pairs.size() > first && (pairs.back() & 0xFFFF) == uint32_t(kLongest) && end - p >= 2 * kLongest) {
        const int32_t d = int32_t(pairs.back() >> 16);
        if (common_length(data + p + kLongest, data + p + kLongest - d, kLongest) == kLongest)
          store->deep_run[size_t(p - begin)] = 1;
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  store->offset[size_t(end - begin)] = uint32_t(pairs.size());
#ifndef NDEBUG
  for (int32_t p = begin; p < end; ++p) {
    int32_t last_len = 2, last_d = 0;
    for (uint32_t k = store->offset[size_t(p - begin)]; k < store->offset[size_t(p - begin) + 1]; ++k) {
      const int32_t l = int32_t(pairs[k] & 0xFFFF), d = int32_t(pairs[k] >> 16);
      assert(l > last_len && d > last_d && d <= kWindow && p - d >= history && p + l <= end);
      assert(std::memcmp(data + p, data + p - d, size_t(l)) == 0);
      last_len = l, last_d = d;
    }
  }
#endif
  return true;
}

namespace {

struct Prices {
  float literal[256];
  float length[kLongest + 1];  // symbol and extra bits by match length
  float distance[30];          // code and extra bits by distance code
};

// A small generator of our own so that a seed perturbs alike everywhere.
uint32_t next_random(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

void prices_from_bits(const float* litlen_bits, const float* dist_bits, Prices* pr) {
  const DeflateTables& t = deflate_tables();
  for (int32_t i = 0; i < 256; ++i) pr->literal[i] = litlen_bits[i];
  for (int32_t l = 3; l <= kLongest; ++l) {
    const int32_t entry = t.length_entry[l];
    pr->length[l] = litlen_bits[entry + 257 - kLengthEntryBase] + float(t.extra[entry]);
  }
  for (int32_t c = 0; c < 30; ++c) pr->distance[c] = dist_bits[c] + float(t.extra[c]);
}

// -log2 of each symbol's share; a symbol not seen costs as if seen once
// more than the total, dear but possible.
void share_bits(const double* counts, int32_t n, float* bits) {
  double total = 0.0;
  for (int32_t i = 0; i < n; ++i) total += counts[i];
  if (total <= 0.0) {
    for (int32_t i = 0; i < n; ++i) bits[i] = float(std::log2(double(n)));
    return;
  }
  const double lt = std::log2(total);
  for (int32_t i = 0; i < n; ++i) bits[i] = counts[i] > 0.0 ? float(lt - std::log2(counts[i])) : float(lt + 1.0);
}

void prices_from_shares(const double* litlen, const double* dist, Prices* pr) {
  float lb[286], db[30];
  share_bits(litlen, 286, lb);
  share_bits(dist, 30, db);
  prices_from_bits(lb, db, pr);
}

// Code lengths of the statistics; unseen symbols at their share price.
void prices_from_lengths(const double* litlen, const double* dist, Prices* pr) {
  int32_t lc[286], dc[30], ll[286], dl[30];
  for (int32_t i = 0; i < 286; ++i) lc[i] = litlen[i] > 0.0 ? std::max(1, int32_t(litlen[i] + 0.5)) : 0;
  for (int32_t i = 0; i < 30; ++i) dc[i] = dist[i] > 0.0 ? std::max(1, int32_t(dist[i] + 0.5)) : 0;
  limited_code_lengths(lc, 286, 15, ll);
  limited_code_lengths(dc, 30, 15, dl);
  float lb[286], db[30];
  share_bits(litlen, 286, lb);
  share_bits(dist, 30, db);
  for (int32_t i = 0; i < 286; ++i)
    if (ll[i] > 0) lb[i] = float(ll[i]);
  for (int32_t i = 0; i < 30; ++i)
    if (dl[i] > 0) db[i] = float(dl[i]);
  prices_from_bits(lb, db, pr);
}

// The seed's first tables: literals 8 and 9 bits, lengths 7 and 8, the two
// shortest distance codes 4 bits and the others 5.
void prices_fixed(Prices* pr) {
  float lb[286], db[30];
  for (int32_t i = 0; i < 286; ++i) lb[i] = i < 144 ? 8.0f : i < 256 ? 9.0f : i < 282 ? 7.0f : 8.0f;
  for (int32_t i = 0; i < 30; ++i) db[i] = i < 2 ? 4.0f : 5.0f;
  prices_from_bits(lb, db, pr);
}

// Lowers at[x] to base + length[x] for x in [l, len] where that is cheaper,
// with edge[x] the match of x bytes at distance d; returns len + 1. Four
// lengths a step: each lane does what the one-length step does, in the same
// single-precision arithmetic, so the costs and edges are the same.
inline int32_t lower_costs(float* at, uint32_t* edge, const float* length, float base, int32_t l, int32_t len,
                           int32_t d) {
#if defined(__SSE2__)
  const __m128 vb = _mm_set1_ps(base);
  const __m128i vd = _mm_set1_epi32(int32_t(uint32_t(d) << 16));
  __m128i vl = _mm_setr_epi32(l, l + 1, l + 2, l + 3);
  const __m128i four = _mm_set1_epi32(4);
  for (; l + 3 <= len; l += 4) {
    const __m128 m = _mm_add_ps(vb, _mm_loadu_ps(length + l));
    const __m128 old = _mm_loadu_ps(at + l);
    const __m128 lower = _mm_cmplt_ps(m, old);
    if (_mm_movemask_ps(lower)) {
      _mm_storeu_ps(at + l, _mm_or_ps(_mm_and_ps(lower, m), _mm_andnot_ps(lower, old)));
      const __m128i mask = _mm_castps_si128(lower);
      __m128i* e = reinterpret_cast<__m128i*>(edge + l);
      const __m128i was = _mm_loadu_si128(e);
      _mm_storeu_si128(e, _mm_or_si128(_mm_and_si128(mask, _mm_or_si128(vl, vd)), _mm_andnot_si128(mask, was)));
    }
    vl = _mm_add_epi32(vl, four);
  }
#endif
  for (; l <= len; ++l) {
    const float m = base + length[l];
    if (m < at[l]) {
      at[l] = m;
      edge[l] = match_item(l, d);
    }
  }
  return l;
}

// The cheapest path through [a, b) at these prices, as items.
void cheapest_path(const PairStore* st, int32_t a, int32_t b, const Prices* pr, int32_t skip_length,
                   ParseScratch* sc) {
  const int32_t n = b - a;
  float* cost = sc->cost.data();
  uint32_t* edge = sc->edge.data();
  for (int32_t i = 1; i <= n; ++i) cost[i] = kUnreachedCost;
  cost[0] = 0.0f;
  const uint8_t* data = st->data;
  const uint32_t* pairs = st->pairs.data();
  for (int32_t i = 0; i < n; ++i) {
    const int32_t p = a + i;
    const float c = cost[i];
    const float lit = c + pr->literal[data[p]];
    if (lit < cost[i + 1]) {
      cost[i + 1] = lit;
      edge[i + 1] = literal_item(data[p]);
    }
    const int32_t room = n - i;
    if (room < 3) continue;
    const uint32_t from = st->offset[size_t(p - st->begin)];
    const uint32_t to = st->offset[size_t(p - st->begin) + 1];
    if (from == to) continue;
    if (skip_length > 0) {
      const int32_t longest = std::min(int32_t(pairs[to - 1] & 0xFFFF), room);
      if (longest >= skip_length) {
        const int32_t d = int32_t(pairs[to - 1] >> 16);
        const float m = c + pr->length[longest] + pr->distance[distance_code(d)];
        // The positions inside the match are never left from, so the one
        // after it must be reached from here (or be cheaper already).
        if (m < cost[i + longest]) {
          cost[i + longest] = m;
          edge[i + longest] = match_item(longest, d);
        }
        i += longest - 1;
        continue;
      }
    }
    if (st->deep_run[size_t(p - st->begin)] && room >= kLongest) {
      const int32_t d = int32_t(pairs[to - 1] >> 16);
      const float m = c + pr->length[kLongest] + pr->distance[distance_code(d)];
      if (m < cost[i + kLongest]) {
        cost[i + kLongest] = m;
        edge[i + kLongest] = match_item(kLongest, d);
      }
      continue;
    }
    int32_t l = 3;
    for (uint32_t k = from; k < to; ++k) {
      const int32_t len = std::min(int32_t(pairs[k] & 0xFFFF), room);
      const int32_t d = int32_t(pairs[k] >> 16);
      const float base = c + pr->distance[distance_code(d)];
      l = lower_costs(cost + i, edge + i, pr->length, base, l, len, d);
      if (len == room) break;
    }
  }
  sc->items.clear();
  for (int32_t i = n; i > 0;) {
    const uint32_t e = edge[i];
    sc->items.push_back(e);
    i -= item_length(e);
  }
  for (size_t x = 0, y = sc->items.size(); x + 1 < y; ++x, --y) std::swap(sc->items[x], sc->items[y - 1]);
}

// Longest match at p within room, with its nearest distance.
inline int32_t longest_at(const PairStore* st, int32_t p, int32_t room, int32_t* distance) {
  const uint32_t from = st->offset[size_t(p - st->begin)];
  const uint32_t to = st->offset[size_t(p - st->begin) + 1];
  for (uint32_t k = from; k < to; ++k) {
    const int32_t len = int32_t(st->pairs[k] & 0xFFFF);
    if (len >= room || k + 1 == to) {
      *distance = int32_t(st->pairs[k] >> 16);
      return std::min(len, room);
    }
  }
  return 0;
}

void lazy_parse(const PairStore* st, int32_t a, int32_t b, std::vector<uint32_t>* items) {
  items->clear();
  int32_t d = 0;
  for (int32_t p = a; p < b;) {
    const int32_t l = longest_at(st, p, b - p, &d);
    if (l >= 3) {
      int32_t d2 = 0;
      if (p + 1 < b && longest_at(st, p + 1, b - p - 1, &d2) > l) {
        items->push_back(literal_item(st->data[p]));
        p += 1;
        continue;
      }
      items->push_back(match_item(l, d));
      p += l;
    } else {
      items->push_back(literal_item(st->data[p]));
      p += 1;
    }
  }
}

// Runs continued at distance 1, everything else literal.
void run_parse(const PairStore* st, int32_t a, int32_t b, std::vector<uint32_t>* items) {
  items->clear();
  for (int32_t p = a; p < b;) {
    const uint32_t from = st->offset[size_t(p - st->begin)];
    const uint32_t to = st->offset[size_t(p - st->begin) + 1];
    if (from < to && (st->pairs[from] >> 16) == 1) {
      const int32_t l = std::min(int32_t(st->pairs[from] & 0xFFFF), b - p);
      if (l >= 3) {
        items->push_back(match_item(l, 1));
        p += l;
        continue;
      }
    }
    items->push_back(literal_item(st->data[p]));
    p += 1;
  }
}

int64_t items_bits(const std::vector<uint32_t>& items, SymbolCounts* counts) {
  std::memset(counts, 0, sizeof *counts);
  count_items(items.data(), int32_t(items.size()), counts);
  counts->litlen[kEndOfBlock] += 1;
  return best_block_bits(counts, nullptr);
}

void to_doubles(const SymbolCounts* c, double* litlen, double* dist) {
  for (int32_t i = 0; i < 286; ++i) litlen[i] = c->litlen[i];
  for (int32_t i = 0; i < 30; ++i) dist[i] = c->dist[i];
}

}  // namespace

int64_t iterated_parse(const PairStore* store, int32_t a, int32_t b, const ParseEffort* effort,
                       const std::vector<uint32_t>* hint, ParseScratch* sc, std::vector<uint32_t>* best,
                       KeyCheckFn key_check) {
  const int32_t n = b - a;
  sc->cost.resize(size_t(n) + 1);
  sc->edge.resize(size_t(n) + 1);
  int64_t best_bits = INT64_MAX;
  SymbolCounts counts;
  auto consider = [&](const std::vector<uint32_t>& items) {
#ifndef NDEBUG
    int64_t covered = 0;
    for (uint32_t it : items) covered += item_length(it);
    assert(covered == n);
#endif
    const int64_t bits = items_bits(items, &counts);
    if (bits < best_bits) {
      best_bits = bits;
      *best = items;
    }
    return bits;
  };
  if (hint) consider(*hint);
  std::vector<uint32_t> start_best;
  bool stop = false;
  for (int32_t start = 0; start < 5 && !stop; ++start) {
    if (!(effort->starts & (1 << start))) continue;
    double litlen[286] = {}, dist[30] = {};
    Prices pr;
    switch (start) {
      case 0:
        prices_fixed(&pr);
        break;
      case 1:
        lazy_parse(store, a, b, &sc->items);
        consider(sc->items);
        to_doubles(&counts, litlen, dist);
        prices_from_shares(litlen, dist, &pr);
        break;
      case 2:
        run_parse(store, a, b, &sc->items);
        consider(sc->items);
        to_doubles(&counts, litlen, dist);
        prices_from_shares(litlen, dist, &pr);
        break;
      case 3:
        for (int32_t p = a; p < b; ++p) litlen[store->data[p]] += 1.0;
        litlen[kEndOfBlock] = 1.0;
        prices_from_shares(litlen, dist, &pr);
        break;
      default:
        if (!hint) continue;
        items_bits(*hint, &counts);
        to_doubles(&counts, litlen, dist);
        prices_from_shares(litlen, dist, &pr);
        break;
    }
    uint32_t random = effort->seed * 2654435761u + uint32_t(start) * 40503u + uint32_t(a);
    int64_t start_bits = INT64_MAX;
    SymbolCounts start_counts{};
    int32_t stale = 0, perturbed = 0;
    // Phase 0 prices by shares, phase 1 (when asked) by code lengths from
    // the start's best statistics.
    for (int32_t phase = 0; phase < (effort->length_model ? 2 : 1) && !stop; ++phase) {
      if (phase == 1) {
        if (start_bits == INT64_MAX) break;
        to_doubles(&start_counts, litlen, dist);
        prices_from_lengths(litlen, dist, &pr);
        stale = 0;
      }
      const int32_t passes = phase == 0 ? effort->max_passes : std::max(2, effort->max_passes / 3);
      for (int32_t pass = 0; pass < passes; ++pass) {
        cheapest_path(store, a, b, &pr, effort->skip_length, sc);
        const int64_t bits = consider(sc->items);
        if (bits < start_bits) {
          start_bits = bits;
          start_counts = counts;
          stale = 0;
        } else {
          ++stale;
        }
        if (key_check && key_check(0)) {
          stop = true;
          break;
        }
        to_doubles(&counts, litlen, dist);
        if (stale >= effort->patience) {
          if (phase == 1 || perturbed >= effort->perturbations) break;
          ++perturbed;
          stale = 0;
          to_doubles(&start_counts, litlen, dist);
          for (int32_t i = 0; i < 286; ++i)
            litlen[i] = litlen[i] * (0.5 + double(next_random(&random) & 0xFFFF) / 65536.0) +
                        ((next_random(&random) & 31) == 0 ? 1.0 : 0.0);
          for (int32_t i = 0; i < 30; ++i)
            dist[i] = dist[i] * (0.5 + double(next_random(&random) & 0xFFFF) / 65536.0) +
                      ((next_random(&random) & 31) == 0 ? 1.0 : 0.0);
        }
        if (phase == 0)
          prices_from_shares(litlen, dist, &pr);
        else
          prices_from_lengths(litlen, dist, &pr);
      }
    }
  }
  (void)start_best;
  if (best_bits == INT64_MAX) {
    // Nothing was asked for: the cheapest path at the fixed prices.
    Prices pr;
    prices_fixed(&pr);
    cheapest_path(store, a, b, &pr, effort->skip_length, sc);
    best_bits = consider(sc->items);
  }
  return best_bits;
}

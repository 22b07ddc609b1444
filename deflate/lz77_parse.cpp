#include "deflate/lz77_parse.h"

#include <bit>
#include <cassert>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TESSEL_RECORD_AVX2 1
#endif

#include "deflate/deflate_stream.h"
#include "deflate/huffman.h"
#include "deflate/match_store.h"
#include "deflate/parallel_parse.h"

// The parse is a shortest path over positions: every position gets a literal
// edge to the next one and a match edge for each length it can reach, priced
// in bits with the code lengths of the block being written. Whenever no edge
// reaches past the current position, the cheapest path so far is final and is
// written out.
//
// Finding matches: only the nearest 3-byte match comes from the hash chain.
// Each position keeps a list of the nearest distance for every match length it
// has; a match of l bytes at candidate q is extended to l + 1 bytes by jumping
// to the nearest position that matches q for l bytes (M(q)[l - 3]), since any
// such position also matches the current one for l bytes. Inside runs of one
// byte the walk first skips over the candidate's run.
//
// Replaying stored lists (match_store.h): a position's own list is known
// before its search, so the Xtreme walk that looks for the next longer match
// can jump straight to the list's distance for that length when nothing on the
// way could stop it: every candidate it would visit first is nearer, so its
// distance code is no higher than the list's. Only the walks towards a
// cheaper distance code still step through the candidates.

namespace {

constexpr int32_t kWindowMask = kWindowSize - 1;
constexpr int32_t kChainMask = kChainSize - 1;
constexpr int32_t kCostMask = kCostRing - 1;
constexpr int32_t kEdgeMask = kEdgeRing - 1;
constexpr int32_t kRunCap = 0x7FFF;
static_assert(kEdgeRing % kCostRing == 0, "a piece of the cost ring must not wrap the edge ring");

inline uint8_t byte_at(const Lz77State* z, int32_t p) { return z->window[p & kWindowMask]; }

// The 3 bytes at p as one value; the copy after the window keeps the read
// inside it at the end.
inline uint32_t load3(const Lz77State* z, int32_t p) {
  uint32_t v;
  std::memcpy(&v, z->window + (p & kWindowMask), 4);
  return std::endian::native == std::endian::little ? v & 0xFFFFFFu : v >> 8;
}

inline uint32_t hash3(uint32_t v) { return (v * 0x9E3779B1u) >> (32 - kHashBits); }

// Entry l - 3 of the list in slot, which must have it.
inline int32_t list_entry(const Lz77State* z, int32_t slot, int32_t l) {
  const Lz77State::ListRef& list = z->lists[slot];
  return l - kMinMatch < kListHead ? list.head[l - kMinMatch] : z->pool[list.start + l - kMinMatch];
}

inline void hash_insert(Lz77State* z, int32_t p) {
  const uint32_t h = hash3(load3(z, p));
  z->hash_chain[p & kChainMask] = z->hash_head[h];
  z->hash_head[h] = p;
}

// A replay leaves the hash chain alone: only a search reads it. Falling back
// to searching at position p, it is rebuilt from the window: the walks from p
// on stop at the first position more than kMaxDistance back, so the chain of
// the positions within reach, inserted in order, leads them to the same ones.
// Every position parsed or skipped before p had its 3 bytes received then
// unless the stream had ended, and received has not changed since.
void leave_replay(Lz77State* z, int32_t p) {
  z->store_mode = kStoreOff;
  std::memset(z->hash_head, 0xFF, sizeof(z->hash_head));
  std::memset(z->hash_chain, 0xFF, sizeof(z->hash_chain));
  for (int32_t q = p > kMaxDistance ? p - kMaxDistance : 0; q < p && q + kMinMatch <= z->received; ++q)
    hash_insert(z, q);
}

void track_run(Lz77State* z, int32_t p) {
  const uint8_t b = byte_at(z, p);
  if (b == z->run_byte) {
    if (z->run_length < kRunCap) z->run_length += 1;
  } else {
    z->run_byte = b;
    z->run_length = 0;
  }
  z->run_count[p & kWindowMask] = uint16_t(z->run_length);
  // The end found earlier may have stopped at the bytes received then.
  if (z->run_end <= p) z->run_end = p + 1;
  while (z->run_end < z->received && byte_at(z, z->run_end) == b) z->run_end += 1;
}

#ifndef NDEBUG
// Debug check that a candidate the walks reach matches l bytes. Comparing all
// l bytes would make every walk step cost O(l) and a debug parse of long runs
// quadratic, so only the first three bytes (what the hash chain promised) and
// the last one (what the extension step compared) are checked: a wrong list
// entry or run skip almost always breaks one of them.
bool matches_for(const Lz77State* z, int32_t p, int32_t d, int32_t l) {
  if (d < 1 || d > kMaxDistance || d > p || p + l > z->received) return false;
  for (int32_t i = 0; i < kMinMatch; ++i)
    if (byte_at(z, p + i) != byte_at(z, p + i - d)) return false;
  return byte_at(z, p + l - 1) == byte_at(z, p + l - 1 - d);
}
#endif

// out[0..count) = v, eight at a time. The entries after out[count - 1] up
// to the next multiple of eight are overwritten too (with v): every caller
// writes where nothing after the range is read before it is written again,
// and its array has the slack (kFillSlack).
inline void fill16(uint16_t* out, int32_t count, uint16_t v) {
#if defined(__SSE2__)
  const __m128i vv = _mm_set1_epi16(int16_t(v));
  for (int32_t i = 0; i < count; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), vv);
#else
  for (int32_t i = 0; i < count; ++i) out[i] = v;
#endif
}

// out[i] = count - 1 - i for i in [0, count), sixteen at a time; like fill16
// it overwrites up to the next multiple of sixteen.
inline void count_down(uint8_t* out, int32_t count) {
#if defined(__SSE2__)
  __m128i v = _mm_sub_epi8(_mm_set1_epi8(int8_t(count - 1)),
                           _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __m128i sixteen = _mm_set1_epi8(16);
  for (int32_t i = 0; i < count; i += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    v = _mm_sub_epi8(v, sixteen);
  }
#else
  for (int32_t i = 0; i < count; ++i) out[i] = uint8_t(count - 1 - i);
#endif
}

// Where v < out[i] for i in [0, count): out[i] = v and distance[i] = d, eight
// at a time; an equal price keeps the nearer distance priced first.
inline void lower_to(int16_t* out, uint16_t* distance, int32_t count, int16_t v, uint16_t d) {
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128i vv = _mm_set1_epi16(v);
  const __m128i vd = _mm_set1_epi16(int16_t(d));
  for (; i + 8 <= count; i += 8) {
    __m128i* at = reinterpret_cast<__m128i*>(out + i);
    __m128i* dat = reinterpret_cast<__m128i*>(distance + i);
    const __m128i old = _mm_loadu_si128(at);
    const __m128i lower = _mm_cmpgt_epi16(old, vv);
    _mm_storeu_si128(at, _mm_min_epi16(old, vv));
    const __m128i od = _mm_loadu_si128(dat);
    _mm_storeu_si128(dat, _mm_or_si128(_mm_and_si128(lower, vd), _mm_andnot_si128(lower, od)));
  }
#endif
  for (; i < count; ++i)
    if (v < out[i]) {
      out[i] = v;
      distance[i] = d;
    }
}

#if defined(TESSEL_RECORD_AVX2)
// The cost-ring update of Search::record eight lengths at a time, for
// processors that have AVX2 (checked at run time: the baseline is SSE2).
// Lane i prices cost[i] against base + length_cost[i] and keeps the strictly
// cheaper, with first_edge + i as its edge. Covers [0, *done) with *done the
// largest multiple of eight up to count; returns 1 + the last lane that
// became cheaper, 0 if none.
__attribute__((target("avx2"))) int32_t lower_costs_avx2(int32_t* cost, uint32_t* edges, const int32_t* length_cost,
                                                         int32_t count, int32_t base, uint32_t first_edge,
                                                         int32_t* done) {
  const __m256i vbase = _mm256_set1_epi32(base);
  __m256i vedge = _mm256_add_epi32(_mm256_set1_epi32(int32_t(first_edge)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i eight = _mm256_set1_epi32(8);
  int32_t hit = 0;
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i c =
        _mm256_add_epi32(vbase, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(length_cost + i)));
    __m256i* cost_at = reinterpret_cast<__m256i*>(cost + i);
    const __m256i old = _mm256_loadu_si256(cost_at);
    const __m256i lower = _mm256_cmpgt_epi32(old, c);
    const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(lower));
    if (mask != 0) {
      __m256i* edge_at = reinterpret_cast<__m256i*>(edges + i);
      _mm256_storeu_si256(cost_at, _mm256_blendv_epi8(old, c, lower));
      _mm256_storeu_si256(edge_at, _mm256_blendv_epi8(_mm256_loadu_si256(edge_at), vedge, lower));
      hit = i + 32 - std::countl_zero(unsigned(mask));
    }
    vedge = _mm256_add_epi32(vedge, eight);
  }
  *done = i;
  return hit;
}

// record_best's cost-ring update eight lengths at a time: lane i prices
// cost[i] against u + best[i] + length_cost[i] and keeps the strictly
// cheaper, with edge first_length + i | best_d[i] << 16. Covers [0, *done)
// like lower_costs_avx2 and returns 1 + the last lane that became cheaper, 0
// if none.
__attribute__((target("avx2"))) int32_t lower_best_costs_avx2(int32_t* cost, uint32_t* edges, const int16_t* best,
                                                              const uint16_t* best_d, const int32_t* length_cost,
                                                              int32_t count, int32_t u, int32_t first_length,
                                                              int32_t* done) {
  const __m256i vu = _mm256_set1_epi32(u);
  __m256i vl = _mm256_add_epi32(_mm256_set1_epi32(first_length), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i eight = _mm256_set1_epi32(8);
  int32_t hit = 0;
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    // Prices are positive and below 2^15: widening with zeros keeps them.
    const __m256i b = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(best + i)));
    const __m256i c = _mm256_add_epi32(_mm256_add_epi32(vu, b),
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(length_cost + i)));
    __m256i* cost_at = reinterpret_cast<__m256i*>(cost + i);
    const __m256i old = _mm256_loadu_si256(cost_at);
    const __m256i lower = _mm256_cmpgt_epi32(old, c);
    const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(lower));
    if (mask != 0) {
      __m256i* edge_at = reinterpret_cast<__m256i*>(edges + i);
      const __m256i d = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(best_d + i)));
      const __m256i e = _mm256_or_si256(vl, _mm256_slli_epi32(d, 16));
      _mm256_storeu_si256(cost_at, _mm256_blendv_epi8(old, c, lower));
      _mm256_storeu_si256(edge_at, _mm256_blendv_epi8(_mm256_loadu_si256(edge_at), e, lower));
      hit = i + 32 - std::countl_zero(unsigned(mask));
    }
    vl = _mm256_add_epi32(vl, eight);
  }
  *done = i;
  return hit;
}
#endif

// One position's match search: its list, its edges, and the Xtreme variant.
struct Search {
  Lz77State* z;
  const DeflateTables* t;
  int32_t p;
  int32_t u;      // cost of reaching p
  int32_t limit;  // no edge beyond this
  int32_t run;    // equal bytes from p on
  int32_t start;  // pool index of p's list
  int32_t n;      // entries of p's list
  // Replay: p's whole list as recorded, already in the pool.
  const uint16_t* known = nullptr;
  int32_t known_n = 0;
  // Replay: p's kept answer of nearest_of_code (match_store.h), or null.
  uint32_t* kept = nullptr;

  // Edges (l, d) for every l in [l0, l1], strictly cheaper ones only and
  // none ending past the limit. The lengths reach distinct cost slots, so
  // their order does not matter; the cost ring is cut where it wraps so that
  // each piece is compared four slots at a time.
  void record(int32_t l0, int32_t l1, int32_t d, int32_t distance_cost) {
    if (l1 > limit - p) l1 = limit - p;
    const int32_t base = u + distance_cost;
    const uint32_t tag = uint32_t(d) << 16;
    int32_t last = 0;
    // Most matches in detailed pictures cover a few lengths only: not worth
    // cutting the ring for.
    if (l1 - l0 < 8) {
      for (int32_t l = l0; l <= l1; ++l) {
        const int32_t c = base + z->length_cost[l];
        int32_t* slot = &z->cost[(p + l) & kCostMask];
        if (c < *slot) {
          *slot = c;
          z->edges[(p + l) & kEdgeMask] = uint32_t(l) | tag;
          last = l;
        }
      }
      if (last != 0 && p + last > z->furthest) z->furthest = p + last;
      return;
    }
    for (int32_t l = l0; l <= l1;) {
      const int32_t at = (p + l) & kCostMask;
      const int32_t count = l1 - l < kCostMask - at ? l1 - l + 1 : kCostRing - at;
      int32_t* cost = z->cost + at;
      const int32_t* length_cost = z->length_cost + l;
      int32_t i = 0;
#if defined(TESSEL_RECORD_AVX2)
      if (z->avx2 && count >= 8) {
        const int32_t hit = lower_costs_avx2(cost, z->edges + ((p + l) & kEdgeMask), length_cost, count, base,
                                             uint32_t(l) | tag, &i);
        if (hit != 0) last = l + hit - 1;
      }
#endif
#if defined(__SSE2__)
      // The edge ring wraps where the cost ring does, so the piece's edges
      // are contiguous too. Each lane keeps the old cost and edge unless the
      // new one is strictly cheaper: what the scalar loop stores, written
      // back whole.
      uint32_t* edges = z->edges + ((p + l) & kEdgeMask);
      const __m128i vbase = _mm_set1_epi32(base);
      __m128i vedge = _mm_add_epi32(_mm_set1_epi32(int32_t(uint32_t(l + i) | tag)), _mm_setr_epi32(0, 1, 2, 3));
      const __m128i four = _mm_set1_epi32(4);
      for (; i + 4 <= count; i += 4) {
        const __m128i c =
            _mm_add_epi32(vbase, _mm_loadu_si128(reinterpret_cast<const __m128i*>(length_cost + i)));
        __m128i* cost_at = reinterpret_cast<__m128i*>(cost + i);
        __m128i* edge_at = reinterpret_cast<__m128i*>(edges + i);
        const __m128i old = _mm_loadu_si128(cost_at);
        const __m128i lower = _mm_cmplt_epi32(c, old);
        const int mask = _mm_movemask_ps(_mm_castsi128_ps(lower));
        if (mask != 0) {
          _mm_storeu_si128(cost_at, _mm_or_si128(_mm_and_si128(lower, c), _mm_andnot_si128(lower, old)));
          const __m128i old_edge = _mm_loadu_si128(edge_at);
          _mm_storeu_si128(edge_at, _mm_or_si128(_mm_and_si128(lower, vedge), _mm_andnot_si128(lower, old_edge)));
          last = l + i + 31 - std::countl_zero(unsigned(mask));
        }
        vedge = _mm_add_epi32(vedge, four);
      }
#endif
      for (; i < count; ++i) {
        const int32_t c = base + length_cost[i];
        if (c < cost[i]) {
          cost[i] = c;
          z->edges[(p + l + i) & kEdgeMask] = uint32_t(l + i) | tag;
          last = l + i;
        }
      }
      l += count;
    }
    if (last != 0 && p + last > z->furthest) z->furthest = p + last;
  }

  // The Xtreme search's edges: for each length of p's list, the cheapest
  // distance priced there (the nearest of equal price), compared with the
  // cost ring once. Recording every priced span as it comes leaves the ring
  // the same: each slot ends at its cheapest offer, the first one on a tie.
  void record_best() {
    int32_t l1 = n + kMinMatch - 1;
    if (l1 > limit - p) l1 = limit - p;
    const int16_t* best = z->best_distance_cost;
    const uint16_t* best_d = z->best_distance;
    int32_t last = 0;
    for (int32_t l = kMinMatch; l <= l1;) {
      const int32_t at = (p + l) & kCostMask;
      const int32_t count = l1 - l < kCostMask - at ? l1 - l + 1 : kCostRing - at;
      int32_t* cost = z->cost + at;
      uint32_t* edges = z->edges + ((p + l) & kEdgeMask);
      const int32_t* length_cost = z->length_cost + l;
      int32_t i = 0;
#if defined(TESSEL_RECORD_AVX2)
      if (z->avx2 && count >= 8) {
        const int32_t hit = lower_best_costs_avx2(cost, edges, best + l, best_d + l, length_cost, count, u, l, &i);
        if (hit != 0) last = l + hit - 1;
      }
#endif
#if defined(__SSE2__)
      const __m128i vu = _mm_set1_epi32(u);
      __m128i vl = _mm_add_epi32(_mm_set1_epi32(l + i), _mm_setr_epi32(0, 1, 2, 3));
      const __m128i four = _mm_set1_epi32(4);
      const __m128i zero = _mm_setzero_si128();
      for (; i + 4 <= count; i += 4) {
        const __m128i b16 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(best + l + i));
        // Prices are positive and below 2^15: widening with zeros keeps them.
        const __m128i b = _mm_unpacklo_epi16(b16, zero);
        const __m128i c = _mm_add_epi32(_mm_add_epi32(vu, b),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(length_cost + i)));
        __m128i* cost_at = reinterpret_cast<__m128i*>(cost + i);
        const __m128i old = _mm_loadu_si128(cost_at);
        const __m128i lower = _mm_cmplt_epi32(c, old);
        const int mask = _mm_movemask_ps(_mm_castsi128_ps(lower));
        if (mask != 0) {
          __m128i* edge_at = reinterpret_cast<__m128i*>(edges + i);
          const __m128i d16 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(best_d + l + i));
          const __m128i e = _mm_or_si128(vl, _mm_unpacklo_epi16(zero, d16));
          _mm_storeu_si128(cost_at, _mm_or_si128(_mm_and_si128(lower, c), _mm_andnot_si128(lower, old)));
          const __m128i old_edge = _mm_loadu_si128(edge_at);
          _mm_storeu_si128(edge_at, _mm_or_si128(_mm_and_si128(lower, e), _mm_andnot_si128(lower, old_edge)));
          last = l + i + 31 - std::countl_zero(unsigned(mask));
        }
        vl = _mm_add_epi32(vl, four);
      }
#endif
      for (; i < count; ++i) {
        const int32_t c = u + best[l + i] + length_cost[i];
        if (c < cost[i]) {
          cost[i] = c;
          edges[i] = uint32_t(l + i) | uint32_t(best_d[l + i]) << 16;
          last = l + i;
        }
      }
      l += count;
    }
    if (last != 0 && p + last > z->furthest) z->furthest = p + last;
  }

  // The first length from l on at which the match at distance d ends: the
  // byte there differs, is not received yet, or the length is 258.
  int32_t extent(int32_t l, int32_t d) const {
    int32_t stop = z->received - p;
    if (stop > kMaxMatch) stop = kMaxMatch;
    const uint8_t* w = z->window;
    while (l < stop) {
      const int32_t a = (p + l) & kWindowMask;
      const int32_t b = (p + l - d) & kWindowMask;
#if defined(__SSE2__)
      if (l + 16 <= stop && a <= kWindowSize - 16 && b <= kWindowSize - 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + a));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + b));
        const unsigned differ = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) ^ 0xFFFFu;
        if (differ != 0) return l + std::countr_zero(differ);
        l += 16;
        continue;
      }
#endif
      if (std::endian::native == std::endian::little && l + 8 <= stop && a <= kWindowSize - 8 &&
          b <= kWindowSize - 8) {
        uint64_t x, y;
        std::memcpy(&x, w + a, 8);
        std::memcpy(&y, w + b, 8);
        if (x != y) return l + (std::countr_zero(x ^ y) >> 3);
        l += 8;
      } else {
        if (w[a] != w[b]) return l;
        ++l;
      }
    }
    return l;
  }

  // Whether the match (l, d) also covers the byte at p + l; never looks at
  // bytes that have not been received.
  bool extends(int32_t l, int32_t d) const {
    return p + l < z->received && byte_at(z, p + l) == byte_at(z, p + l - d);
  }

  // One step along the lists: from a candidate matching l bytes to the next
  // farther one that does, or 0 when there is none within reach.
  int32_t walk(int32_t l, int32_t d) const {
    if (l == run) d += z->run_count[(p - d) & kWindowMask];
    // At 32768 the candidate's list slot is the current position's own; any
    // entry there would lead beyond reach anyway.
    if (d >= kMaxDistance) return 0;
    const int32_t slot = (p - d) & kChainMask;
    if (z->lists[slot].count <= l - kMinMatch) return 0;
    d += list_entry(z, slot, l);
    if (d > kMaxDistance) return 0;
    assert(matches_for(z, p, d, l));
    return d;
  }

  // From d, which matches l bytes and has a code below nc, along the lists
  // to the first candidate of code nc or more: the nearest distance of that
  // code or more that matches l bytes, or 0 for none within reach. Outside
  // the run at p (l != run) the walk visits every candidate matching l bytes
  // in turn, so the answer does not depend on d.
  int32_t nearest_of_code(int32_t l, int32_t d, int32_t nc) const {
    assert(l != run);
    do d = walk(l, d);
    while (d != 0 && distance_code(d) < nc);
    return d;
  }

  // nearest_of_code, answered from what an earlier pass kept when it asked
  // the same of p.
  int32_t kept_nearest_of_code(int32_t l, int32_t d, int32_t nc) const {
    const uint32_t key = uint32_t(l - kMinMatch) | uint32_t(nc) << 8 | 1u << 13;
    if ((*kept & 0xFFFFu) == key) {
      assert(int32_t(*kept >> 16) == nearest_of_code(l, d, nc));
      return int32_t(*kept >> 16);
    }
    d = nearest_of_code(l, d, nc);
    *kept = key | uint32_t(d) << 16;
    return d;
  }

  template <bool kReplay>
  void append(int32_t d, int32_t count) {
    if constexpr (kReplay) {
#ifndef NDEBUG
      for (int32_t i = 0; i < count; ++i) assert(n + i < known_n && known[n + i] == d);
#endif
    } else {
      fill16(z->pool + start + n, count, uint16_t(d));
    }
    n += count;
  }

  // Strategy 1 from a known list: its runs of one distance are the spans the
  // search would price.
  void nearest_known() {
    for (int32_t i = 0; i < known_n;) {
      const int32_t d = known[i];
      int32_t j = i;
      while (j + 1 < known_n && known[j + 1] == d) ++j;
      record(i + kMinMatch, j + kMinMatch, d, z->distance_cost[distance_code(d)]);
      i = j + 1;
    }
    n = known_n;
  }

  // kPrice false: the list only, no edges (lz77_find_lists).
  template <bool kPrice>
  void nearest(int32_t d) {
    int32_t l = kMinMatch;
    for (;;) {
      const int32_t e = extent(l, d);
      append<false>(d, e - l + 1);
      if constexpr (kPrice) record(l, e, d, z->distance_cost[distance_code(d)]);
      l = e;
      if (l == kMaxMatch) return;
      if (p + l >= z->received) return;
      do {
        d = walk(l, d);
        if (d == 0) return;
      } while (!extends(l, d));
      ++l;
    }
  }

  template <bool kReplay>
  void xtreme(int32_t d) {
    xtreme_walks<kReplay>(d);
    record_best();
  }

  template <bool kReplay>
  void xtreme_walks(int32_t d) {
    int16_t* best = z->best_distance_cost;
    uint16_t* best_d = z->best_distance;
    const int32_t* next_cheaper = z->next_cheaper;
    int32_t l = kMinMatch;
    int32_t d0 = 0, nc = 0, bound = 0;
  price : {
    const int32_t code = distance_code(d);
    const int32_t dcost = z->distance_cost[code];
    // Lengths this one distance covers, priced in one sweep: those the list
    // already has may get a cheaper best price, the rest are new entries.
    // A distance the known list holds at l matches up to the end of its run
    // there: a longer match would have made it the list's entry beyond.
    int32_t e;
    if (kReplay && l - kMinMatch < known_n && known[l - kMinMatch] == d) {
      e = l + z->known_rest[l - kMinMatch];
      assert(e == extent(l, d));
    } else {
      e = extent(l, d);
    }
    const int32_t fresh = n + kMinMatch;
    assert(fresh >= l);
    lower_to(best + l, best_d + l, (e < fresh ? e + 1 : fresh) - l, int16_t(dcost), uint16_t(d));
    if (e >= fresh) {
      append<kReplay>(d, e - fresh + 1);
      fill16(reinterpret_cast<uint16_t*>(best + fresh), e - fresh + 1, uint16_t(dcost));
      fill16(best_d + fresh, e - fresh + 1, uint16_t(d));
    }
    l = e;
    if (l == kMaxMatch) {
      if (next_cheaper[code] == kDistanceCodes) return;
      d = walk(l, d);
      if (d == 0) return;
      goto price;
    }
    d0 = d;
    nc = next_cheaper[code];
  }
    for (;;) {
      if constexpr (kReplay) {
        // The walk from d stops at the first candidate that matches l + 1
        // bytes or has a code of nc or more. The nearest one matching l + 1
        // bytes is the list's; beyond d and below code nc, it is where the
        // walk stops. With no such length and no cheaper code, the walk ends
        // without a candidate.
        if (l + 1 - kMinMatch < known_n) {
          const int32_t x = known[l + 1 - kMinMatch];
          if (x > d && distance_code(x) < nc) {
            d = x;
            ++l;
            goto price;
          }
        } else if (nc == kDistanceCodes) {
          return;
        }
        // No candidate before the list's entry for l + 1 (nor any, without
        // one) matches l + 1 bytes, and that entry's code is nc or more: so
        // the walk stops at the nearest candidate of code nc or more.
        if (kept && l != run && (l + 1 - kMinMatch >= known_n || known[l + 1 - kMinMatch] > d)) {
          d = kept_nearest_of_code(l, d, nc);
          if (d == 0) {
            if (nc == kDistanceCodes) return;
            bound = z->distance_cost[nc];
          } else {
            const int32_t code = distance_code(d);
            int32_t c = nc;
            while (next_cheaper[c] <= code) c = next_cheaper[c];
            bound = z->distance_cost[c];
          }
          break;
        }
      }
      d = walk(l, d);
      if (d == 0) {
        if (nc == kDistanceCodes) return;
        bound = z->distance_cost[nc];
        break;
      }
      const int32_t code = distance_code(d);
      if (code >= nc) {
        int32_t c = nc;
        while (next_cheaper[c] <= code) c = next_cheaper[c];
        bound = z->distance_cost[c];
        break;
      }
      if (extends(l, d)) {
        ++l;
        goto price;
      }
    }
    // Back to the shortest length whose best price the cheaper code beats.
    while (l > 5 && best[l - 3] > bound) l -= 3;
    while (l > kMinMatch && best[l - 1] > bound) l -= 1;
    d = d0;
    if constexpr (kReplay) {
      if (kept && l != run) {
        d = kept_nearest_of_code(l, d, nc);
        if (d == 0) return;
        goto price;
      }
    }
    for (;;) {
      if (l == run) {
        const int32_t skipped = d;
        d += z->run_count[(p - d) & kWindowMask];
        if (d > kMaxDistance) return;
        if (distance_code(d) >= nc) {
          // Every distance between the candidate and the start of its run
          // matches the run at p, so the cheaper code's first distance does.
          d = t->base[nc];
          assert(d > skipped && matches_for(z, p, d, l));
          (void)skipped;
          goto price;
        }
      }
      if (d >= kMaxDistance) return;
      const int32_t slot = (p - d) & kChainMask;
      if (z->lists[slot].count <= l - kMinMatch) return;
      d += list_entry(z, slot, l);
      if (d > kMaxDistance) return;
      assert(matches_for(z, p, d, l));
      if (distance_code(d) >= nc) goto price;
    }
  }
};

// kPrice false finds p's list as the search with edges would and leaves the
// cost ring and edges alone: the walks never read them.
template <bool kPrice>
void search_position(Lz77State* z, int32_t p, int32_t u, int32_t limit) {
  track_run(z, p);
  if (z->fill > kPoolRestart) z->fill = 0;
  Search s{z, &deflate_tables(), p, u, limit, z->run_end - p, z->fill, 0};
  // The last two positions of a stream have no 3 bytes to match, and no later
  // position could match them either.
  if (p + kMinMatch <= z->received) {
    // Every earlier position is in its bucket's chain, newest first, so the
    // first one with the same 3 bytes is the nearest match. A chain entry is
    // overwritten only when its position has left the window.
    const uint32_t here = load3(z, p);
    for (int32_t q = z->hash_head[hash3(here)]; q >= 0 && p - q <= kMaxDistance; q = z->hash_chain[q & kChainMask]) {
      if (load3(z, q) == here) {
        if (z->strategy == 0) {
          if constexpr (kPrice)
            s.xtreme<false>(p - q);
          else
            s.xtreme_walks<false>(p - q);
        } else {
          s.nearest<kPrice>(p - q);
        }
        break;
      }
    }
  }
  // A list equal to the tail of the previous one is shared with it: along a
  // match, each position's list is its predecessor's shifted by one length.
  const int32_t slot = p & kChainMask;
  const int32_t n = s.n;
  const bool shared = n <= z->prev_count &&
      std::memcmp(z->pool + s.start, z->pool + z->prev_fill - n, sizeof(uint16_t) * size_t(n)) == 0;
  if (shared) {
    z->lists[slot].start = z->prev_fill - n;
    z->fill = z->prev_fill;
  } else {
    z->lists[slot].start = s.start;
    z->fill = s.start + n;
  }
  if (z->store_mode == kStoreRecord) match_store_add_list(z->store, z->pool + z->lists[slot].start, n, shared);
  z->lists[slot].count = n;
  const uint16_t* entries = z->pool + z->lists[slot].start;
  for (int32_t i = 0; i < kListHead && i < n; ++i) z->lists[slot].head[i] = entries[i];
  z->prev_count = n;
  z->prev_fill = z->fill;
  if (p + kMinMatch <= z->received) hash_insert(z, p);
}

// Takes p's list from the store into the pool as the search would have left
// it (with the counts of equal entries after each); returns where it starts.
inline int32_t replay_list(Lz77State* z, int32_t n, bool shared) {
  const MatchStore* m = z->store;
  int32_t start = z->fill;
  if (shared) {
    start = z->prev_fill - n;
    z->fill = z->prev_fill;
    // The previous position was replayed too, so its entries are at hand.
    std::memmove(z->known_rest, z->known_rest + (z->prev_count - n), size_t(n));
  } else {
    uint16_t* out = z->pool + start;
    const uint8_t* run = m->runs + z->run_cursor;
    for (int32_t i = 0; i < n; run += 3) {
      const int32_t last = run[2];
      fill16(out + i, last - i + 1, uint16_t(run[0] | run[1] << 8));
      count_down(z->known_rest + i, last - i + 1);
      i = last + 1;
    }
    z->run_cursor = run - m->runs;
    z->fill = start + n;
  }
  return start;
}

inline void set_list(Lz77State* z, int32_t p, int32_t start, int32_t n) {
  Lz77State::ListRef& list = z->lists[p & kChainMask];
  list.start = start;
  list.count = n;
  for (int32_t i = 0; i < kListHead && i < n; ++i) list.head[i] = z->pool[start + i];
  z->prev_count = n;
  z->prev_fill = z->fill;
}

// search_position with p's list taken from the store: the pool, the list
// references and the hash chain end up as the search would leave them.
void replay_position(Lz77State* z, int32_t p, int32_t u, int32_t limit) {
  track_run(z, p);
  if (z->fill > kPoolRestart) z->fill = 0;
  const MatchStore* m = z->store;
  const uint16_t head = m->heads[p];
  const int32_t n = head & ~kSharedList;
  const int32_t start = replay_list(z, n, (head & kSharedList) != 0);
  Search s{z, &deflate_tables(), p, u, limit, z->run_end - p, start, 0, z->pool + start, n,
           m->walks ? m->walks + p : nullptr};
  if (n > 0) {
    if (z->strategy == 0)
      s.xtreme<true>(s.known[0]);
    else
      s.nearest_known();
  }
  assert(s.n == n);
  set_list(z, p, start, n);
}

// What replay_position leaves of p besides the search: its run and list.
void warm_position(Lz77State* z, int32_t p) {
  track_run(z, p);
  if (z->fill > kPoolRestart) z->fill = 0;
  const uint16_t head = z->store->heads[p];
  const int32_t n = head & ~kSharedList;
  set_list(z, p, replay_list(z, n, (head & kSharedList) != 0), n);
}

void skip_position(Lz77State* z, int32_t p) {
  z->cost[p & kCostMask] = kUnreached;
  if (z->strategy < 3) {
    // A skipped position has no list. A recording cannot hold that; a replay
    // can go on only where the recorded list was empty too.
    if (z->store_mode == kStoreRecord) {
      match_store_give_up(z->store);
      z->store_mode = kStoreOff;
    } else if (z->store_mode == kStoreReplay &&
               (p >= z->store->positions || (z->store->heads[p] & ~kSharedList) != 0)) {
      leave_replay(z, p);
    }
    track_run(z, p);
    z->lists[p & kChainMask].count = 0;
    if (z->store_mode != kStoreReplay && p + kMinMatch <= z->received) hash_insert(z, p);
  }
}

void put_symbol(DeflateStream* s, Lz77State* z, int32_t sym) {
  z->counts[sym] = int32_t(uint32_t(z->counts[sym]) + 1);
  const int32_t len = z->lengths[sym];
  // A symbol without a code cannot be written: the pass is marked so that its
  // bytes are never kept.
  if (len == 0) {
    s->invalid = 1;
    return;
  }
  put_bits(s->out, z->codes[sym], len);
}

void write_items(DeflateStream* s, Lz77State* z, const uint32_t* items, int32_t from, int32_t to, uint32_t mask);

// Writes the cheapest path from emitted_to up to p.
void write_path(DeflateStream* s, Lz77State* z, int32_t p) {
  // Walking back from p, move each edge into the slots just below p; a slot
  // is only overwritten after the edge ending there has been read.
  int32_t at = p;
  int32_t k = p;
  while (at > z->emitted_to) {
    const uint32_t e = z->edges[at & kEdgeMask];
    z->edges[k & kEdgeMask] = e;
    --k;
    at -= int32_t(e & 0xFFFF);
  }
  assert(at == z->emitted_to);
  z->emitted_to = p;
  if (z->record) {
    for (int32_t i = k + 1; i <= p; ++i) z->record->items.push_back(z->edges[i & kEdgeMask]);
    return;
  }
  write_items(s, z, z->edges, k + 1, p + 1, kEdgeMask);
}

// Writes the edges from..to-1 of items (indexed through mask) as symbols.
void write_items(DeflateStream* s, Lz77State* z, const uint32_t* items, int32_t from, int32_t to, uint32_t mask) {
  const DeflateTables& t = deflate_tables();
  BitWriter* w = s->out;
  for (int32_t i = from; i < to; ++i) {
    const uint32_t e = items[uint32_t(i) & mask];
    const int32_t l = int32_t(e & 0xFFFF);
    const int32_t d = int32_t(e >> 16);
    if (l == 1) {
      put_symbol(s, z, d);
      continue;
    }
    const int32_t entry = t.length_entry[l];
    put_symbol(s, z, entry + 257 - kLengthEntryBase);
    put_bits(w, uint32_t(l - t.base[entry]), t.extra[entry]);
    const int32_t code = distance_code(d);
    put_symbol(s, z, kDistanceSlot + code);
    put_bits(w, uint32_t(d - t.base[code]), t.extra[code]);
  }
}

void parse_position(DeflateStream* s, Lz77State* z) {
  int32_t p = z->pos;
  const int32_t u = z->cost[p & kCostMask];
  assert(u != kUnreached);
  z->cost[p & kCostMask] = kUnreached;
  const int32_t limit = z->received < z->block_end ? z->received : z->block_end;
  if (z->strategy < 3) {
    if (z->store_mode == kStoreReplay && p >= z->store->positions) leave_replay(z, p);
    if (z->store_mode == kStoreReplay)
      replay_position(z, p, u, limit);
    else
      search_position<true>(z, p, u, limit);
  }

  const uint8_t b = byte_at(z, p);
  z->counts[b] = int32_t(uint32_t(z->counts[b]) | 0x80000000u);
  const int32_t c = u + z->literal_cost[b];
  if (c <= z->cost[(p + 1) & kCostMask]) {
    z->edges[(p + 1) & kEdgeMask] = 1u | uint32_t(b) << 16;
    z->cost[(p + 1) & kCostMask] = c;
    if (p + 1 > z->furthest) z->furthest = p + 1;
  }
  p += 1;

  if ((z->strategy == 2 || p - z->emitted_to + kLookahead > kEdgeMask) && p < z->furthest) {
    for (; p < z->furthest; ++p) skip_position(z, p);
    if (z->strategy < 3) z->prev_count = 0;
  }
  z->pos = p;
  if (z->furthest != p) return;

  write_path(s, z, p);
  // Every other cost slot is unreached now, so restarting the count here
  // changes no comparison and keeps long paths of expensive symbols from
  // overflowing.
  z->cost[p & kCostMask] = kBlockStartCost;
  if (p >= z->block_end && !z->record) {
    while (p >= z->block_end && s->current_block < s->block_count - 1) block_end(s);
    for (int32_t i = 0; i < kCostRing; ++i) z->cost[i] = kUnreached;
    z->cost[p & kCostMask] = kBlockStartCost;
  }
}

}  // namespace

void lz77_reset(Lz77State* z, int32_t strategy) {
  z->strategy = strategy;
  z->received = z->pos = z->furthest = z->emitted_to = 0;
  z->block_end = 0x7FFFFFFF;
  z->run_byte = 0;
  z->run_length = -1;
  z->run_end = 0;
  z->fill = 0;
  z->prev_count = -1;
  z->prev_fill = 0;
  z->store = nullptr;
  z->store_mode = kStoreOff;
  z->run_cursor = 0;
  z->deferred = 0;
  z->unchecked = 0;
  z->record = nullptr;
  for (int32_t i = 0; i < kCostRing; ++i) z->cost[i] = kUnreached;
  z->cost[0] = kBlockStartCost;
  std::memset(z->hash_head, 0xFF, sizeof(z->hash_head));
  std::memset(z->hash_chain, 0xFF, sizeof(z->hash_chain));
  std::memset(z->lists, 0, sizeof(z->lists));
}

int32_t lz77_cpu_has_avx2() {
#if defined(TESSEL_RECORD_AVX2)
  return __builtin_cpu_supports("avx2") ? 1 : 0;
#else
  return 0;
#endif
}

void lz77_use_store(Lz77State* z, MatchStore* store) {
  z->store = store;
  z->store_mode = kStoreOff;
  z->run_cursor = 0;
  if (!store || z->strategy > 1) return;
  if (store->ready && !store->stale && store->strategy == z->strategy) {
    z->store_mode = kStoreReplay;
  } else {
    match_store_begin_recording(store, z->strategy);
    z->store_mode = kStoreRecord;
  }
}

void lz77_prepare_block(Lz77State* z, int32_t* counts, const int32_t* lengths, int32_t block_end) {
  const DeflateTables& t = deflate_tables();
  z->counts = counts;
  z->lengths = lengths;
  z->block_end = block_end;
  for (int32_t b = 0; b < 256; ++b) z->literal_cost[b] = lengths[b] > 0 ? lengths[b] : kNoCodeCost;
  for (int32_t l = kMinMatch; l <= kMaxMatch; ++l) {
    const int32_t entry = t.length_entry[l];
    const int32_t len = lengths[entry + 257 - kLengthEntryBase];
    z->length_cost[l] = len > 0 ? len + t.extra[entry] : kNoCodeCost;
  }
  for (int32_t c = 0; c < kDistanceCodes; ++c) {
    const int32_t len = lengths[kDistanceSlot + c];
    z->distance_cost[c] = len > 0 ? len + t.extra[c] : kNoCodeCost;
  }
  for (int32_t c = 0; c < kDistanceCodes; ++c) {
    int32_t next = c + 1;
    while (next < kDistanceCodes && z->distance_cost[next] >= z->distance_cost[c]) ++next;
    z->next_cheaper[c] = next;
  }
  canonical_codes(lengths, 288, z->codes);
  canonical_codes(lengths + kDistanceSlot, kDistanceCodes, z->codes + kDistanceSlot);
}

namespace {

// Appends one byte and parses what it gives look-ahead to.
inline void take_byte(DeflateStream* s, Lz77State* z, uint8_t byte) {
  const int32_t at = z->received & kWindowMask;
  z->window[at] = byte;
  if (at < 4) z->window[kWindowSize + at] = byte;
  z->received += 1;
  while (z->pos < z->received - kLookahead) parse_position(s, z);
}

// A deferred pass parses, in order, the bytes it has been fed so far: they are
// the store's, so the parse is the one feeding them would have made.
void catch_up(DeflateStream* s, Lz77State* z) {
  z->deferred = 0;
  const int32_t upto = z->received;
  z->received = 0;
  for (int32_t i = 0; i < upto; ++i) take_byte(s, z, z->store->bytes[i]);
}

}  // namespace

void lz77_feed(DeflateStream* s, const uint8_t* bytes, int32_t n) {
  Lz77State* z = s->parser;
  if (n == 0) {
    if (z->deferred && z->store_mode == kStoreRecord) {
      // A recording pass: its lists found side by side and then its blocks
      // parsed side by side from them, as a replaying pass parses them.
      if (parallel_record(s) == 0) {
        z->store_mode = kStoreReplay;
        z->run_cursor = 0;
        if (z->store->positions >= z->received && parallel_replay(s) == 0) return;
      }
      catch_up(s, z);
    } else if (z->deferred) {
      if (z->received == z->store->byte_count && parallel_replay(s) == 0) return;
      catch_up(s, z);
    }
    // The last lists see the end of the stream: a recording of a longer one
    // does not hold them.
    if (z->store_mode == kStoreReplay && z->received != z->store->byte_count) leave_replay(z, z->pos);
    while (z->pos < z->received) parse_position(s, z);
    if (z->store_mode == kStoreRecord) match_store_end_recording(z->store);
    return;
  }
  if (z->store_mode == kStoreRecord) {
    if (match_store_add_bytes(z->store, bytes, n)) {
      z->store_mode = kStoreOff;
      z->unchecked = 1;
      // The bytes before these are still the store's.
      if (z->deferred) catch_up(s, z);
    } else if (z->deferred) {
      z->received += n;
      return;
    }
  } else if (z->store_mode == kStoreReplay) {
    // Positions parsed so far depend on bytes received before these only.
    // A caller feeding the store's own copy back needs no comparison.
    MatchStore* m = z->store;
    const bool same = z->received + int64_t(n) <= m->byte_count &&
                      (bytes == m->bytes + z->received || std::memcmp(m->bytes + z->received, bytes, size_t(n)) == 0);
    if (!same) {
      if (z->deferred) catch_up(s, z);
      m->stale = 1;
      z->unchecked = 1;
      leave_replay(z, z->pos);
    } else if (z->deferred) {
      z->received += n;
      return;
    }
  } else if (!z->unchecked) {
    // A replay left part-way still tells whether the store's copy is what
    // this pass is fed.
    const MatchStore* m = z->store;
    const bool same = m && m->ready && !m->stale && z->received + int64_t(n) <= m->byte_count &&
                      (bytes == m->bytes + z->received || std::memcmp(m->bytes + z->received, bytes, size_t(n)) == 0);
    if (!same) z->unchecked = 1;
  }
  for (int32_t i = 0; i < n; ++i) take_byte(s, z, bytes[i]);
}

namespace {

// A helper's state at w of the stream in m, as far as the bytes tell it: the
// run tracking as w - 1 left it (its byte and how many equal bytes came
// before it, capped like the count itself), nothing searched before w.
void start_at(Lz77State* z, const MatchStore* m, int32_t w) {
  if (w > 0) {
    const uint8_t b = m->bytes[w - 1];
    int32_t k = 0;
    while (k < kRunCap && w - 2 - k >= 0 && m->bytes[w - 2 - k] == b) ++k;
    z->run_byte = b;
    z->run_length = k;
    z->prev_count = 0;
  }
  z->received = z->pos = w;
}

}  // namespace

int32_t lz77_parse_block_alone(Lz77State* z, MatchStore* m, int32_t strategy, const int32_t* lengths, int32_t w,
                               int64_t cursor, int32_t a, int32_t e, BlockRecord* r) {
  lz77_reset(z, strategy);
  z->store = m;
  z->store_mode = kStoreReplay;
  z->run_cursor = cursor;
  int32_t counts[kSymbolSlots] = {};
  lz77_prepare_block(z, counts, lengths, e);
  z->record = r;
  r->items.clear();
  // A block has at most one symbol a position: no growth, no copies.
  if (r->items.capacity() < size_t(e - a)) r->items.reserve(size_t(e - a));
  start_at(z, m, w);
  const int32_t total = int32_t(m->byte_count);
  const auto step = [&]() {
    if (z->pos < a) {
      warm_position(z, z->pos);
      if (++z->pos == a) {
        for (int32_t i = 0; i < kCostRing; ++i) z->cost[i] = kUnreached;
        z->cost[a & kCostMask] = kBlockStartCost;
        z->emitted_to = z->furthest = a;
      }
    } else {
      parse_position(nullptr, z);
    }
  };
  // The same look-ahead as the pass's own feeding, and at the stream's end
  // the same final parse.
  for (int32_t i = w; i < total && z->emitted_to < e; ++i) {
    const int32_t at = z->received & kWindowMask;
    z->window[at] = m->bytes[i];
    if (at < 4) z->window[kWindowSize + at] = m->bytes[i];
    z->received += 1;
    while (z->pos < z->received - kLookahead && (z->pos < a || z->emitted_to < e)) step();
  }
  while (z->pos < z->received && (z->pos < a || z->emitted_to < e)) step();
  for (int32_t b = 0; b < 256; ++b)
    if (uint32_t(counts[b]) & 0x80000000u) r->seen[b >> 5] |= 1u << (b & 31);
  z->record = nullptr;
  return z->store_mode == kStoreReplay ? 0 : -1;
}

void lz77_write_record(DeflateStream* s, const BlockRecord* r, int32_t end) {
  Lz77State* z = s->parser;
  for (int32_t b = 0; b < 256; ++b)
    if (r->seen[b >> 5] >> (b & 31) & 1u) z->counts[b] = int32_t(uint32_t(z->counts[b]) | 0x80000000u);
  write_items(s, z, r->items.data(), 0, int32_t(r->items.size()), 0xFFFFFFFFu);
  z->pos = z->furthest = z->emitted_to = end;
  if (end >= z->block_end) {
    while (end >= z->block_end && s->current_block < s->block_count - 1) block_end(s);
  }
}

void lz77_find_lists(Lz77State* z, const MatchStore* m, const DeflateStream* s, int32_t w, int32_t a, int32_t e,
                     MatchStore* out) {
  lz77_reset(z, s->strategy);
  start_at(z, m, w);
  z->store = out;
  z->store_mode = kStoreOff;
  const int32_t total = int32_t(m->byte_count);
  // The Xtreme walks stop where a cheaper distance code may start, so each
  // position is searched with the prices of the block the pass parses it in.
  int32_t counts[kSymbolSlots] = {};
  int32_t block = 0;
  const auto block_end_of = [&](int32_t k) {
    return k == s->block_count - 1 ? 0x7FFFFFFF : s->blocks[k].end;
  };
  while (block < s->block_count - 1 && block_end_of(block) <= w) ++block;
  lz77_prepare_block(z, counts, s->blocks[block].lengths, block_end_of(block));
  const auto step = [&]() {
    const int32_t p = z->pos;
    if (p >= z->block_end) {
      while (block < s->block_count - 1 && block_end_of(block) <= p) ++block;
      lz77_prepare_block(z, counts, s->blocks[block].lengths, block_end_of(block));
    }
    if (p == a) z->store_mode = kStoreRecord;
    search_position<false>(z, p, 0, 0);
    z->pos = p + 1;
  };
  // Positions are searched with the look-ahead of the pass's own feeding,
  // and at the stream's end with all of it: a run's end is found only as far
  // as the bytes received.
  for (int32_t i = w; i < total && z->pos < e; ++i) {
    const int32_t at = z->received & kWindowMask;
    z->window[at] = m->bytes[i];
    if (at < 4) z->window[kWindowSize + at] = m->bytes[i];
    z->received += 1;
    while (z->pos < z->received - kLookahead && z->pos < e) step();
  }
  while (z->pos < z->received && z->pos < e) step();
  z->store = nullptr;
  z->store_mode = kStoreOff;
}

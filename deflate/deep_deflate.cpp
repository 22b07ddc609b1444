#include "deflate/deep_deflate.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <new>

#include "deflate/block_cost.h"
#include "deflate/deflate_stream.h"
#include "deflate/huffman.h"
#include "deflate/split_search.h"

namespace {

// Segments bound the match store and the shortest-path buffers; the last
// 32 KiB of the one before stay reachable.
constexpr int32_t kSegment = 1 << 21;
constexpr int32_t kReach = 32768;

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Bits {
  std::vector<uint8_t>* out;
  uint64_t buffer = 0;
  int32_t count = 0;
  int64_t total = 0;

  void put(uint32_t value, int32_t n) {
    buffer |= uint64_t(value) << count;
    count += n;
    total += n;
    while (count >= 8) {
      out->push_back(uint8_t(buffer));
      buffer >>= 8;
      count -= 8;
    }
  }
  void flush() {
    if (count > 0) out->push_back(uint8_t(buffer));
    buffer = 0;
    count = 0;
  }
};

void write_block(Bits* w, const uint32_t* items, int32_t n, bool last) {
  SymbolCounts counts;
  std::memset(&counts, 0, sizeof counts);
  count_items(items, n, &counts);
  counts.litlen[kEndOfBlock] += 1;
  BlockCode code;
  const int64_t expected = best_block_bits(&counts, &code);
  const int64_t begin = w->total;
  w->put(last ? 1 : 0, 1);
  w->put(code.fixed ? 1 : 2, 2);
  if (!code.fixed) {
    HeaderSequence h;
    header_sequence(code.litlen, code.dist, code.rle_mode, &h);
    int32_t cl[19];
    sequence_bits(&h, cl);
    uint32_t cl_codes[19];
    canonical_codes(cl, 19, cl_codes);
    int32_t hclen = 19;
    while (hclen > 4 && cl[kCodeLengthOrder[hclen - 1]] == 0) --hclen;
    w->put(uint32_t(h.hlit - 257), 5);
    w->put(uint32_t(h.hdist - 1), 5);
    w->put(uint32_t(hclen - 4), 4);
    for (int32_t i = 0; i < hclen; ++i) w->put(uint32_t(cl[kCodeLengthOrder[i]]), 3);
    for (int32_t i = 0; i < h.count; ++i) {
      const int32_t s = h.symbol[i];
      w->put(cl_codes[s], cl[s]);
      if (s >= 16) w->put(h.extra[i], s == 16 ? 2 : s == 17 ? 3 : 7);
    }
  }
  uint32_t lcodes[kLitLenSlots], dcodes[kDistSlots];
  canonical_codes(code.litlen, kLitLenSlots, lcodes);
  canonical_codes(code.dist, 30, dcodes);
  const DeflateTables& t = deflate_tables();
  for (int32_t i = 0; i < n; ++i) {
    const int32_t l = item_length(items[i]);
    const int32_t v = item_value(items[i]);
    if (l == 1) {
      w->put(lcodes[v], code.litlen[v]);
      continue;
    }
    const int32_t entry = t.length_entry[l];
    const int32_t sym = entry + 257 - kLengthEntryBase;
    w->put(lcodes[sym], code.litlen[sym]);
    if (t.extra[entry]) w->put(uint32_t(l - t.base[entry]), t.extra[entry]);
    const int32_t dc = distance_code(v);
    w->put(dcodes[dc], code.dist[dc]);
    if (t.extra[dc]) w->put(uint32_t(v - t.base[dc]), t.extra[dc]);
  }
  w->put(lcodes[kEndOfBlock], code.litlen[kEndOfBlock]);
  assert(w->total - begin == expected);
  (void)begin;
  (void)expected;
}

// Item index of the first item that starts at or after each of the byte
// positions (relative to the parse's start); duplicates dropped.
std::vector<int32_t> starts_from_positions(const std::vector<uint32_t>& items, const std::vector<int32_t>& ends) {
  std::vector<int32_t> starts = {0};
  int32_t pos = 0;
  size_t k = 0;
  for (int32_t i = 0; i < int32_t(items.size()); ++i) {
    while (k < ends.size() && ends[k] <= pos) {
      if (i > starts.back()) starts.push_back(i);
      ++k;
    }
    pos += item_length(items[size_t(i)]);
  }
  return starts;
}

// The threshold split of the streaming encoder over the segment's bytes, as
// block ends relative to the segment.
bool threshold_ends(const uint8_t* bytes, int32_t n, double threshold, std::vector<int32_t>* ends) {
  std::unique_ptr<DeflateStream> ds(new (std::nothrow) DeflateStream());
  if (!ds) return false;
  if (find_block_boundaries(ds.get(), bytes, n, threshold, 0) != 0) return false;
  ends->clear();
  for (int32_t k = 0; k + 1 < ds->block_count; ++k) ends->push_back(ds->blocks[k].end);
  return true;
}

struct Segment {
  const DeepSettings* settings;
  KeyCheckFn key_check;
  PairStore store;
  ParseScratch scratch;
  std::vector<uint32_t> items;  // the segment's parse
  std::vector<int32_t> layout;  // block starts in items
};

// Positions (relative to a) of the blocks of the layout.
std::vector<int32_t> block_positions(const std::vector<uint32_t>& items, const std::vector<int32_t>& layout) {
  std::vector<int32_t> pos;
  int32_t p = 0;
  size_t k = 0;
  for (int32_t i = 0; i <= int32_t(items.size()); ++i) {
    if (k < layout.size() && layout[k] == i) {
      pos.push_back(p);
      ++k;
    }
    if (i < int32_t(items.size())) p += item_length(items[size_t(i)]);
  }
  pos.push_back(p);
  return pos;
}

bool compress_segment(Segment* g, const uint8_t* data, int32_t history, int32_t a, int32_t b) {
  const DeepSettings* st = g->settings;
  const bool small = b - a <= st->small_bytes;
  if (!build_match_store(data, history, a, b, small ? st->small_chain : st->chain_limit, &g->store)) return false;
  iterated_parse(&g->store, a, b, &st->first, nullptr, &g->scratch, &g->items, g->key_check);
  const int32_t m = int32_t(g->items.size());

  std::vector<int32_t> best_layout = {0};
  int64_t best = layout_bits(g->items.data(), m, best_layout);
  std::vector<int32_t> layout;
  const int64_t searched = split_search(g->items.data(), m, st->refine, &layout, g->key_check);
  if (searched < best) best = searched, best_layout = layout;
  std::vector<int32_t> ends;
  if (st->threshold > 0.0 && threshold_ends(data + a, b - a, st->threshold, &ends)) {
    layout = starts_from_positions(g->items, ends);
    const int64_t t = layout_bits(g->items.data(), m, layout);
    if (t < best) best = t, best_layout = layout;
  }

  std::vector<uint32_t> next, block_best, hint;
  const ParseEffort* block_effort = small ? &st->small_block : &st->block;
  const int32_t rounds = small ? st->small_rounds : st->rounds;
  for (int32_t round = 0; round < rounds; ++round) {
    if (g->key_check && g->key_check(0)) break;
    const std::vector<int32_t> pos = block_positions(g->items, best_layout);
    next.clear();
    std::vector<int32_t> next_layout;
    int64_t total = 0;
    for (size_t k = 0; k + 1 < pos.size(); ++k) {
      const int32_t from = best_layout[k];
      const int32_t to = k + 1 < best_layout.size() ? best_layout[k + 1] : int32_t(g->items.size());
      hint.assign(g->items.begin() + from, g->items.begin() + to);
      total += iterated_parse(&g->store, a + pos[k], a + pos[k + 1], block_effort, &hint, &g->scratch, &block_best,
                              g->key_check);
      next_layout.push_back(int32_t(next.size()));
      next.insert(next.end(), block_best.begin(), block_best.end());
    }
    // Each block is at most its hint, so the round never loses.
    assert(total <= best);
    g->items.swap(next);
    best_layout = next_layout;
    best = total;
    if (round + 1 == rounds) break;
    const int32_t m2 = int32_t(g->items.size());
    const int64_t again = split_search(g->items.data(), m2, st->refine, &layout, g->key_check);
    if (again >= best) break;
    best = again;
    best_layout = layout;
  }
  g->layout = best_layout;
#ifndef NDEBUG
  int32_t at = a;
  for (uint32_t it : g->items) {
    const int32_t l = item_length(it), v = item_value(it);
    if (l == 1) {
      assert(data[at] == v);
    } else {
      assert(v >= 1 && at - v >= 0 && at + l <= b);
      assert(std::memcmp(data + at, data + at - v, size_t(l)) == 0);
    }
    at += l;
  }
  assert(at == b);
#endif
  return true;
}

}  // namespace

void deep_settings_for_level(int32_t level, DeepSettings* s) {
  *s = DeepSettings{};
  s->threshold = 256.0;
  s->first = ParseEffort{1 << 1, 4, 1, 0, 0, 1, 0};
  if (level == kDeepRankLevel) {
    // For ranking candidates against each other: the matches must reach
    // what filtered rows repeat (a hash chain of 32 steps made a
    // Sub-filtered gradient look 15 % larger than it ends, ranking it below
    // no filter; the match tree's 32 nodes find them), a few passes from the
    // lazy parse and from distance-1 runs, one block.
    s->chain_limit = 32;
    s->first = ParseEffort{(1 << 1) | (1 << 2), 3, 1, 0, 0, 1, 128};
    s->block = ParseEffort{1 << 4, 4, 1, 0, 0, 1, 128};
    s->rounds = 1;
    s->refine = 0;
    s->threshold = 0.0;
    // Small palette pictures repeat so much that 32 nodes miss matches
    // that decide their order (a 120 x 80 cel of 12 colours ended 4 %
    // larger).
    s->small_bytes = 1 << 18;
    s->small_chain = 512;
    s->small_block = s->block;
    s->small_rounds = s->rounds;
  } else if (level <= 1) {
    // The quick level: short chains; the whole segment parsed once from the
    // lazy parse and once from distance-1 runs (pictures of noisy detail end
    // smallest with few matches, and a start full of them never leaves
    // them), each block once more from the better; no threshold split
    // compared. Every position is priced: with hash chains, taking matches
    // of the longest length whole saved time for little, but with the match
    // tree's nearer matches it cost 4.5 % on the 1920 x 1080 homeworld
    // grub and 1.4 % on the joy plymouth background for a tenth of the time.
    s->chain_limit = 32;
    s->first = ParseEffort{(1 << 1) | (1 << 2), 1, 1, 0, 0, 1, 0};
    s->block = ParseEffort{1 << 4, 1, 1, 0, 0, 1, 0};
    s->rounds = 1;
    s->refine = 0;
    s->threshold = 0.0;
  } else if (level == 2) {
    // The whole segment parsed from the lazy parse and from distance-1 runs,
    // then each block only from that parse: the other starts of a block
    // (fixed tables, literals, its own lazy parse) take twice the time for
    // about 0.1 % on the pictures that decide the bench totals. A second
    // re-parse round, five more passes per block and a second random
    // restart took a third more time for 0.05 % (on streams up to 256 KiB,
    // a fraction of the set's time, they stay).
    s->chain_limit = 512;
    s->first = ParseEffort{(1 << 1) | (1 << 2), 4, 1, 0, 0, 1, 0};
    s->block = ParseEffort{1 << 4, 10, 3, 1, 1, 1, 0};
    s->rounds = 1;
    s->refine = 1;
    s->small_bytes = 1 << 18;
    s->small_chain = 4096;
    s->small_block = ParseEffort{1 << 4, 15, 3, 2, 1, 1, 0};
    s->small_rounds = 2;
  } else {
    s->chain_limit = 2048;
    s->first = ParseEffort{(1 << 1) | (1 << 2), 8, 2, 0, 0, 1, 0};
    s->block = ParseEffort{0x1F, 30, 4, 6, 1, 1, 0};
    s->rounds = 3;
    s->refine = 1;
  }
}

bool deep_deflate(const uint8_t* data, int32_t n, const DeepSettings* settings, std::vector<uint8_t>* out,
                  KeyCheckFn key_check) {
  out->clear();
  Bits w{out};
  if (n <= 0) {
    // One fixed block holding only its end.
    w.put(1, 1);
    w.put(1, 2);
    w.put(0, 7);
    w.flush();
    return true;
  }
  std::unique_ptr<Segment> g(new (std::nothrow) Segment());
  if (!g) return false;
  g->settings = settings;
  g->key_check = key_check;
  for (int32_t a = 0; a < n; a += kSegment) {
    const int32_t b = n - a > kSegment ? a + kSegment : n;
    const int32_t history = a > kReach ? a - kReach : 0;
    if (!compress_segment(g.get(), data, history, a, b)) return false;
    const int32_t m = int32_t(g->items.size());
    for (size_t k = 0; k < g->layout.size(); ++k) {
      const int32_t from = g->layout[k];
      const int32_t to = k + 1 < g->layout.size() ? g->layout[k + 1] : m;
      write_block(&w, g->items.data() + from, to - from, b == n && k + 1 == g->layout.size());
    }
  }
  w.flush();
  return true;
}

#include "deflate/quick_estimate.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "deflate/bitstream.h"
#include "deflate/huffman.h"

namespace {

inline uint32_t hash3(const uint8_t* p) {
  const uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  return (v * 2654435761u) >> (32 - kQuickHashBits);
}

bool log_head(QuickMatcher* m, uint32_t bucket) {
  if (m->undo_count + 2 > m->undo_capacity) {
    const int32_t grown = m->undo_capacity ? m->undo_capacity * 2 : 4096;
    auto* u = static_cast<int32_t*>(std::realloc(m->undo, size_t(grown) * sizeof(int32_t)));
    if (!u) return false;
    m->undo = u;
    m->undo_capacity = grown;
  }
  m->undo[m->undo_count++] = int32_t(bucket);
  m->undo[m->undo_count++] = m->head[bucket];
  return true;
}

// Puts positions [inserted_to, limit) into the chains; each needs its three
// hashed bytes below end.
bool insert_up_to(QuickMatcher* m, const uint8_t* data, int32_t limit, int32_t end) {
  if (limit > end - 2) limit = end - 2;
  for (int32_t p = m->inserted_to; p < limit; ++p) {
    const uint32_t h = hash3(data + p);
    if (m->recording && !log_head(m, h)) return false;
    m->prev[p & (kQuickWindow - 1)] = m->head[h];
    m->head[h] = p;
  }
  if (limit > m->inserted_to) m->inserted_to = limit;
  return true;
}

int32_t longest_match(const QuickMatcher* m, const uint8_t* data, int32_t pos, int32_t end, int32_t* dist) {
  int32_t best = 0;
  const int32_t max_len = end - pos < kMaxMatch ? end - pos : kMaxMatch;
  if (max_len < kMinMatch) return 0;
  int32_t cand = m->head[hash3(data + pos)];
  const int32_t lowest = pos - kMaxDistance;
  for (int32_t steps = m->max_chain; cand >= 0 && cand >= lowest && steps > 0; --steps) {
    if (cand < pos && data[cand + best] == data[pos + best]) {
      int32_t len = 0;
      while (len < max_len && data[cand + len] == data[pos + len]) ++len;
      if (len > best) {
        best = len;
        *dist = pos - cand;
        if (len == max_len) break;
      }
    }
    const int32_t next = m->prev[cand & (kQuickWindow - 1)];
    if (next >= cand) break;
    cand = next;
  }
  return best >= kMinMatch ? best : 0;
}

void count_match(QuickTally* t, int32_t len, int32_t dist) {
  const DeflateTables& tab = deflate_tables();
  const int32_t entry = tab.length_entry[len];
  t->literal_length[entry + 227] += 1;
  t->extra_bits += tab.extra[entry];
  const int32_t d = distance_code(dist);
  t->distance[d] += 1;
  t->extra_bits += tab.extra[d];
}

}  // namespace

void quick_matcher_reset(QuickMatcher* m, int32_t max_chain) {
  std::memset(m->head, 0xFF, sizeof m->head);
  std::memset(m->prev, 0xFF, sizeof m->prev);
  m->max_chain = max_chain < 1 ? 1 : max_chain;
  m->inserted_to = 0;
  m->undo_count = 0;
  m->recording = false;
}

void quick_matcher_free(QuickMatcher* m) {
  std::free(m->undo);
  m->undo = nullptr;
  m->undo_capacity = 0;
  m->undo_count = 0;
}

bool quick_parse(QuickMatcher* m, const uint8_t* data, int32_t begin, int32_t end, QuickTally* tally) {
  const int32_t start_inserted = m->inserted_to;
  m->undo_count = 0;
  int32_t pos = begin;
  int32_t dist = 0;
  if (!insert_up_to(m, data, pos, end)) {
    quick_matcher_undo(m, start_inserted);
    return false;
  }
  int32_t len = longest_match(m, data, pos, end, &dist);
  while (pos < end) {
    if (len == 0) {
      tally->literal_length[data[pos]] += 1;
      pos += 1;
      if (!insert_up_to(m, data, pos, end)) break;
      len = pos < end ? longest_match(m, data, pos, end, &dist) : 0;
      continue;
    }
    // One step of lazy evaluation: a longer match one byte on is worth a literal.
    if (!insert_up_to(m, data, pos + 1, end)) break;
    int32_t next_dist = 0;
    const int32_t next_len = len < 32 && pos + 1 < end ? longest_match(m, data, pos + 1, end, &next_dist) : 0;
    if (next_len > len) {
      tally->literal_length[data[pos]] += 1;
      pos += 1;
      len = next_len;
      dist = next_dist;
      continue;
    }
    count_match(tally, len, dist);
    pos += len;
    if (!insert_up_to(m, data, pos, end)) break;
    len = pos < end ? longest_match(m, data, pos, end, &dist) : 0;
  }
  if (pos < end) {
    quick_matcher_undo(m, start_inserted);
    return false;
  }
  return true;
}

void quick_matcher_undo(QuickMatcher* m, int32_t inserted_to) {
  for (int32_t i = m->undo_count - 2; i >= 0; i -= 2) m->head[m->undo[i]] = m->undo[i + 1];
  m->undo_count = 0;
  m->inserted_to = inserted_to;
}

int64_t quick_tally_bits(const QuickTally* t) {
  // The block's own codes from its counts, as the real block end makes them,
  // and its header written to a writer that only counts.
  int32_t counts[kQuickLiteralLength];
  std::memcpy(counts, t->literal_length, sizeof counts);
  counts[256] = 1;
  int32_t distance[kQuickDistanceCodes];
  std::memcpy(distance, t->distance, sizeof distance);
  bool any_distance = false;
  for (int32_t i = 0; i < kQuickDistanceCodes; ++i) any_distance |= distance[i] > 0;
  if (!any_distance) distance[0] = 1;
  int32_t lengths[320] = {};
  huffman_code_lengths(counts, kQuickLiteralLength, lengths, 16, 0);
  huffman_code_lengths(distance, kQuickDistanceCodes, lengths + 288, 16, 0);
  BitWriter counter{};
  write_dynamic_header(&counter, lengths);
  int64_t bits = 3 + int64_t(counter.out_count) * 8 + counter.bit_count + t->extra_bits;
  for (int32_t i = 0; i < kQuickLiteralLength; ++i) bits += int64_t(counts[i]) * lengths[i];
  for (int32_t i = 0; i < kQuickDistanceCodes; ++i) bits += int64_t(t->distance[i]) * lengths[288 + i];
  return bits;
}

void quick_prices(const QuickTally* t, QuickPrices* p) {
  int64_t total = 0;
  for (int32_t i = 0; i < kQuickLiteralLength; ++i) total += t->literal_length[i];
  for (int32_t i = 0; i < kQuickLiteralLength; ++i) {
    const double share = (t->literal_length[i] + 0.5) / (double(total) + 1.0);
    p->literal_length[i] = int32_t(-std::log2(share) * 256.0);
  }
  int64_t dist_total = 0;
  for (int32_t i = 0; i < kQuickDistanceCodes; ++i) dist_total += t->distance[i];
  for (int32_t i = 0; i < kQuickDistanceCodes; ++i) {
    const double share = (t->distance[i] + 0.5) / (double(dist_total) + 1.0);
    p->distance[i] = int32_t(-std::log2(share) * 256.0);
  }
}

int64_t quick_priced_cost(const QuickPrices* p, const QuickTally* d) {
  int64_t cost = d->extra_bits * 256;
  for (int32_t i = 0; i < kQuickLiteralLength; ++i) cost += int64_t(d->literal_length[i]) * p->literal_length[i];
  for (int32_t i = 0; i < kQuickDistanceCodes; ++i) cost += int64_t(d->distance[i]) * p->distance[i];
  return cost;
}

int64_t quick_estimate_bytes(const uint8_t* data, int32_t n, int32_t max_chain) {
  return quick_estimate_blocks(data, n, &n, 1, max_chain);
}

int64_t quick_estimate_blocks(const uint8_t* data, int32_t n, const int32_t* ends, int32_t count,
                              int32_t max_chain) {
  std::unique_ptr<QuickMatcher> m(new (std::nothrow) QuickMatcher{});
  if (!m) return -1;
  quick_matcher_reset(m.get(), max_chain);
  int64_t bits = 0;
  int32_t begin = 0;
  bool ok = true;
  for (int32_t k = 0; k < count && ok; ++k) {
    int32_t end = k + 1 == count ? n : ends[k];
    if (end > n) end = n;
    if (end < begin) end = begin;
    QuickTally tally{};
    // Matches reach back across block ends, as they do in the real stream.
    ok = quick_parse(m.get(), data, begin, end, &tally);
    bits += quick_tally_bits(&tally);
    begin = end;
  }
  quick_matcher_free(m.get());
  if (!ok) return -1;
  // The zlib header and Adler-32 around the blocks.
  return (bits + 7) / 8 + 6;
}

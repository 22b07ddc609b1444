#include "deflate/match_store.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int64_t kFirstCapacity = int64_t(1) << 16;

// Grows *array to hold at least need elements of size bytes each, doubling,
// while the store stays within its limit. false when it cannot.
bool grow(MatchStore* m, void** array, int64_t* capacity, int64_t need, int64_t size, bool bounded) {
  if (need <= *capacity) return true;
  int64_t next = *capacity < kFirstCapacity ? kFirstCapacity : *capacity;
  while (next < need) next *= 2;
  const int64_t extra = (next - *capacity) * size;
  if (bounded && match_store_list_bytes(m) + extra > m->limit) {
    // The last step may fit when doubling does not.
    next = need;
    if (match_store_list_bytes(m) + (next - *capacity) * size > m->limit) return false;
  }
  void* p = std::realloc(*array, size_t(next * size));
  if (!p) return false;
  *array = p;
  *capacity = next;
  return true;
}

// Bit i set: entries[at + i] ends a run of one distance (the next entry
// differs), for the eight entries from at; reads entries[at + 8], which must
// be in the list.
inline uint32_t run_ends8(const uint16_t* entries, int32_t at) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(entries + at));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(entries + at + 1));
  const uint32_t same = uint32_t(_mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, b), _mm_setzero_si128())));
  return ~same & 0xFFu;
#else
  uint32_t ends = 0;
  for (int32_t i = 0; i < 8; ++i) ends |= uint32_t(entries[at + i] != entries[at + i + 1]) << i;
  return ends;
#endif
}

}  // namespace

int64_t match_store_list_bytes(const MatchStore* m) {
  return m->head_capacity * int64_t(sizeof(uint16_t)) + m->run_capacity + m->walk_capacity * int64_t(sizeof(uint32_t)) +
         m->mark_capacity * int64_t(sizeof(int64_t));
}

void match_store_init(MatchStore* m, int64_t limit) {
  std::memset(m, 0, sizeof *m);
  m->limit = limit;
}

void match_store_free(MatchStore* m) {
  std::free(m->bytes);
  std::free(m->heads);
  std::free(m->runs);
  std::free(m->walks);
  std::free(m->marks);
  match_store_init(m, m->limit);
}


void match_store_begin_recording(MatchStore* m, int32_t strategy) {
  m->strategy = strategy;
  m->ready = 0;
  m->stale = 0;
  m->recording = 1;
  m->positions = 0;
  m->byte_count = 0;
  m->run_bytes = 0;
  // The walks kept were those of other bytes.
  std::free(m->walks);
  m->walks = nullptr;
  m->walk_capacity = 0;
}

int32_t match_store_add_bytes(MatchStore* m, const uint8_t* bytes, int32_t n) {
  if (!m->recording) return -1;
  void* array = m->bytes;
  const bool ok = grow(m, &array, &m->byte_capacity, m->byte_count + n, 1, false);
  m->bytes = static_cast<uint8_t*>(array);
  if (!ok) {
    match_store_give_up(m);
    return -1;
  }
  std::memcpy(m->bytes + m->byte_count, bytes, size_t(n));
  m->byte_count += n;
  return 0;
}

void match_store_add_list(MatchStore* m, const uint16_t* entries, int32_t n, bool shared) {
  // positions stops growing at the first list that does not fit: the lists
  // are only usable from position 0 on without a gap.
  if (!m->recording || m->positions < 0) return;
  void* heads = m->heads;
  const bool ok = grow(m, &heads, &m->head_capacity, int64_t(m->positions) + 1, int64_t(sizeof(uint16_t)), true);
  m->heads = static_cast<uint16_t*>(heads);
  if (!ok) {
    m->positions = -m->positions - 1;
    return;
  }
  if (m->positions % kMarkStep == 0) {
    void* marks = m->marks;
    const int64_t k = m->positions / kMarkStep;
    const bool room = grow(m, &marks, &m->mark_capacity, k + 1, int64_t(sizeof(int64_t)), true);
    m->marks = static_cast<int64_t*>(marks);
    if (!room) {
      m->positions = -m->positions - 1;
      return;
    }
    m->marks[k] = m->run_bytes;
  }
  if (!shared && n > 0) {
    // A run ends at the last entry and wherever the next entry differs.
    int32_t count = 1;
    int32_t i = 0;
    for (; i + 8 < n; i += 8) count += std::popcount(run_ends8(entries, i));
    for (; i + 1 < n; ++i) count += entries[i + 1] != entries[i];
    void* runs = m->runs;
    const bool fits = grow(m, &runs, &m->run_capacity, m->run_bytes + 3 * int64_t(count), 1, true);
    m->runs = static_cast<uint8_t*>(runs);
    if (!fits) {
      m->positions = -m->positions - 1;
      return;
    }
    uint8_t* out = m->runs + m->run_bytes;
    auto put = [&out, entries](int32_t last) {
      out[0] = uint8_t(entries[last]);
      out[1] = uint8_t(entries[last] >> 8);
      out[2] = uint8_t(last);
      out += 3;
    };
    for (i = 0; i + 8 < n; i += 8)
      for (uint32_t ends = run_ends8(entries, i); ends != 0; ends &= ends - 1) put(i + std::countr_zero(ends));
    for (; i < n; ++i)
      if (i + 1 == n || entries[i + 1] != entries[i]) put(i);
    m->run_bytes += 3 * int64_t(count);
  }
  m->heads[m->positions] = uint16_t(n | (shared ? kSharedList : 0));
  m->positions += 1;
}

void match_store_give_up(MatchStore* m) {
  m->recording = 0;
  m->ready = 0;
  m->positions = 0;
}

void match_store_end_recording(MatchStore* m) {
  if (!m->recording) return;
  m->recording = 0;
  if (m->positions < 0) m->positions = -m->positions - 1;
  m->ready = 1;
  // Room for one walk a position when the limit has it; all empty.
  const int64_t need = int64_t(m->positions) + 1;
  if (match_store_list_bytes(m) + need * int64_t(sizeof(uint32_t)) <= m->limit) {
    m->walks = static_cast<uint32_t*>(std::calloc(size_t(need), sizeof(uint32_t)));
    if (m->walks) m->walk_capacity = need;
  }
}

int64_t match_store_runs_at(const MatchStore* m, int32_t p) {
  int32_t q = p - p % kMarkStep;
  int64_t cursor = m->marks[q / kMarkStep];
  for (; q < p; ++q) {
    const uint16_t head = m->heads[q];
    if (head & kSharedList) continue;
    for (int32_t i = 0; i < int32_t(head);) {
      i = m->runs[cursor + 2] + 1;
      cursor += 3;
    }
  }
  return cursor;
}

int32_t match_store_append(MatchStore* m, const MatchStore* part) {
  if (!m->recording || m->positions < 0 || m->positions % kMarkStep != 0) return -1;
  // A part its limit cut holds the lists before the cut.
  const int32_t count = part->positions < 0 ? -part->positions - 1 : part->positions;
  const int64_t positions = int64_t(m->positions) + count;
  if (positions > INT32_MAX) return -1;
  void* heads = m->heads;
  bool ok = grow(m, &heads, &m->head_capacity, positions, int64_t(sizeof(uint16_t)), true);
  m->heads = static_cast<uint16_t*>(heads);
  void* marks = m->marks;
  const int64_t mark_count = (positions + kMarkStep - 1) / kMarkStep;
  ok = ok && grow(m, &marks, &m->mark_capacity, mark_count, int64_t(sizeof(int64_t)), true);
  m->marks = static_cast<int64_t*>(marks);
  void* runs = m->runs;
  ok = ok && grow(m, &runs, &m->run_capacity, m->run_bytes + part->run_bytes, 1, true);
  m->runs = static_cast<uint8_t*>(runs);
  if (!ok) return -1;
  if (count == 0) return 0;
  std::memcpy(m->heads + m->positions, part->heads, sizeof(uint16_t) * size_t(count));
  const int64_t first_mark = m->positions / kMarkStep;
  for (int64_t k = 0; k * kMarkStep < count; ++k) m->marks[first_mark + k] = m->run_bytes + part->marks[k];
  if (part->run_bytes > 0) std::memcpy(m->runs + m->run_bytes, part->runs, size_t(part->run_bytes));
  m->run_bytes += part->run_bytes;
  m->positions = int32_t(positions);
  return 0;
}

void match_store_restart_recording(MatchStore* m) {
  m->recording = 1;
  m->ready = 0;
  m->positions = 0;
  m->run_bytes = 0;
}

int32_t match_store_reserve(MatchStore* m, int64_t positions) {
  const int64_t marks = (positions + kMarkStep - 1) / kMarkStep;
  const int64_t more = (positions > m->head_capacity ? positions - m->head_capacity : 0) * int64_t(sizeof(uint16_t)) +
                       (marks > m->mark_capacity ? marks - m->mark_capacity : 0) * int64_t(sizeof(int64_t));
  if (match_store_list_bytes(m) + more > m->limit) return -1;
  if (positions > m->head_capacity) {
    void* p = std::realloc(m->heads, size_t(positions) * sizeof(uint16_t));
    if (!p) return -1;
    m->heads = static_cast<uint16_t*>(p);
    m->head_capacity = positions;
  }
  if (marks > m->mark_capacity) {
    void* p = std::realloc(m->marks, size_t(marks) * sizeof(int64_t));
    if (!p) return -1;
    m->marks = static_cast<int64_t*>(p);
    m->mark_capacity = marks;
  }
  return 0;
}

#include "deflate/block_split.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "deflate/deflate_stream.h"

// The split estimate counts each half's order-0 size in nats, n ln n minus
// the sum of c ln c over its byte values, and moves the split point one byte
// at a time. Every log is kept as a running sum of ln((k + 1) / k) steps, so a
// step costs a few multiplications instead of calls to log.

namespace {

constexpr int32_t kMaxSplitBlocks = 1023;
constexpr int32_t kKeyPollMask = 0xFFFF;
// A split makes two ranges that will be measured, so on a long stream the
// measures run ahead on helper threads; below this the threads cost more
// than they save.
constexpr int32_t kAheadMinBytes = 1 << 20;
constexpr int32_t kMaxAheadThreads = 4;
constexpr int32_t kMaxMeasures = 2 * kMaxSplitBlocks + 2;

// ln((k + 1) / k) for k >= 1, within about 1e-9 of the exact value.
inline double phi(double k) {
  const double w = k * (k + 1.0);
  return (k + 0.5) * (w + 0.03160502036941208) / (w * (w + 0.19823983692603997));
}

enum : int32_t { kQueued, kRunning, kDone, kStopped };

// One range whose best split is wanted: its result depends on its bytes
// only, so whichever thread measures it, the boundaries are the same.
struct Measure {
  int32_t start, end;
  int32_t split;
  double gain;
  int32_t state;
};

// Measures queued as splits make ranges, taken in order by the helpers and
// by the calling thread when it needs one that no helper has started. Every
// field but cancel is guarded by lock.
struct Ahead {
  const uint8_t* data;
  Measure* jobs;
  int32_t count;
  int32_t next;  // no job before it is still queued
  std::atomic<int32_t> cancel;
  std::mutex lock;
  std::condition_variable wake;
  int32_t job_of[kMaxBlocks + 1];  // the job measuring block k's range, -1 for none
};

int helper_poll(void* user, int) { return static_cast<Ahead*>(user)->cancel.load(std::memory_order_relaxed); }

// The first queued job, marked running; -1 when none. Called with lock held.
int32_t claim_next(Ahead* a) {
  while (a->next < a->count && a->jobs[a->next].state != kQueued) a->next += 1;
  if (a->next == a->count) return -1;
  a->jobs[a->next].state = kRunning;
  return a->next;
}

// Measures job j, which the caller has claimed, with lock released around
// the work; false when key_check stopped it.
bool run_job(Ahead* a, int32_t j, KeyCheckFn key_check, std::unique_lock<std::mutex>* held) {
  Measure* m = &a->jobs[j];
  const int32_t start = m->start, n = m->end - m->start;
  held->unlock();
  double gain = 0.0;
  const int32_t split = split_gain(a->data + start, n, &gain, key_check);
  held->lock();
  m->split = split;
  m->gain = gain;
  m->state = split < 0 ? kStopped : kDone;
  a->wake.notify_all();
  return split >= 0;
}

void helper_loop(Ahead* a) {
  std::unique_lock<std::mutex> held(a->lock);
  while (!a->cancel.load(std::memory_order_relaxed)) {
    const int32_t j = claim_next(a);
    if (j < 0) {
      a->wake.wait(held);
      continue;
    }
    run_job(a, j, KeyCheckFn{helper_poll, a}, &held);
  }
}

// The helpers of one boundary search and what they work on.
struct AheadPool {
  Ahead* ahead = nullptr;
  std::thread threads[kMaxAheadThreads];
  int32_t started = 0;
};

void start_ahead(AheadPool* pool, const DeflateStream* s, const uint8_t* data, int32_t n) {
  const int32_t helpers = (s->parse_threads < kMaxAheadThreads ? s->parse_threads : kMaxAheadThreads) - 1;
  if (helpers < 1 || n < kAheadMinBytes) return;
  Ahead* a = new (std::nothrow) Ahead;
  Measure* jobs = new (std::nothrow) Measure[kMaxMeasures];
  if (!a || !jobs) {
    delete a;
    delete[] jobs;
    return;
  }
  a->data = data;
  a->jobs = jobs;
  a->count = a->next = 0;
  a->cancel.store(0);
  for (int32_t& j : a->job_of) j = -1;
  pool->ahead = a;
  for (int32_t t = 0; t < helpers; ++t) {
    try {
      pool->threads[t] = std::thread(helper_loop, a);
    } catch (const std::system_error&) {
      break;
    }
    pool->started += 1;
  }
}

void stop_ahead(AheadPool* pool) {
  Ahead* a = pool->ahead;
  if (!a) return;
  {
    std::lock_guard<std::mutex> held(a->lock);
    a->cancel.store(1);
    a->wake.notify_all();
  }
  for (int32_t t = 0; t < pool->started; ++t) pool->threads[t].join();
  delete[] a->jobs;
  delete a;
  pool->ahead = nullptr;
}

// Queues the measure of block k's range for the helpers.
void queue_measure(AheadPool* pool, const DeflateBlock* blocks, int32_t k) {
  Ahead* a = pool->ahead;
  if (!a || pool->started == 0) return;
  std::lock_guard<std::mutex> held(a->lock);
  if (a->count == kMaxMeasures) return;
  a->jobs[a->count] = Measure{blocks[k].start, blocks[k].end, 0, 0.0, kQueued};
  a->job_of[k] = a->count;
  a->count += 1;
  a->wake.notify_all();
}

// The queued measure of block k, done by whichever thread gets to it first;
// while a helper works on it, the calling thread takes the next queued one.
// 1 = *split and *gain are set, 0 = key_check stopped it, -1 = none queued.
int32_t take_measure(AheadPool* pool, const DeflateStream* s, const DeflateBlock* b, int32_t k, int32_t* split,
                     double* gain) {
  Ahead* a = pool->ahead;
  if (!a || pool->started == 0 || a->job_of[k] < 0) return -1;
  const int32_t j = a->job_of[k];
  std::unique_lock<std::mutex> held(a->lock);
  Measure* m = &a->jobs[j];
  if (m->start != b->start || m->end != b->end) return -1;
  for (;;) {
    if (m->state == kDone) {
      *split = m->split;
      *gain = m->gain;
      return 1;
    }
    if (m->state == kQueued) {
      m->state = kRunning;
      if (!run_job(a, j, s->key_check, &held)) return 0;
      continue;
    }
    const int32_t other = claim_next(a);
    if (other >= 0) {
      if (!run_job(a, other, s->key_check, &held)) return 0;
      continue;
    }
    // Still polled while waiting, so that a stop request is not held up by
    // a long measure on a helper.
    a->wake.wait_for(held, std::chrono::milliseconds(20));
    if (m->state != kDone && s->key_check && s->key_check(1)) return 0;
  }
}

// Split search over one block; false when the analysis was asked to stop.
// A block of at most one byte cannot be split and is marked with split 0.
bool measure(DeflateStream* s, AheadPool* pool, const uint8_t* data, int32_t k) {
  DeflateBlock* b = &s->blocks[k];
  const int32_t n = b->end - b->start;
  if (n <= 1) {
    b->split_point = 0;
    b->gain = 0.0;
    return true;
  }
  double gain = 0.0;
  int32_t split;
  const int32_t taken = take_measure(pool, s, b, k, &split, &gain);
  if (taken == 0) return false;
  if (taken < 0) split = split_gain(data + b->start, n, &gain, s->key_check);
  if (split < 0) return false;
  b->split_point = b->start + split;
  b->gain = gain;
  return true;
}

bool splittable(const DeflateBlock* b) { return b->end - b->start > 1 && b->split_point > b->start; }

void add_block(DeflateStream* s, AheadPool* pool, int32_t from) {
  DeflateBlock* old = &s->blocks[from];
  DeflateBlock* b = &s->blocks[s->block_count];
  b->start = old->split_point;
  b->end = old->end;
  b->link = from;
  b->split_point = 0;
  b->gain = 0.0;
  old->end = old->split_point;
  s->block_count += 1;
  // Both halves are measured later, the new block first.
  queue_measure(pool, s->blocks, s->block_count - 1);
  queue_measure(pool, s->blocks, from);
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

bool split_by_threshold(DeflateStream* s, AheadPool* pool, const uint8_t* data, double threshold) {
  for (int32_t k = 0; k < s->block_count; ++k) {
    const int32_t tries[2] = {k, s->blocks[k].link};
    for (int32_t t = 0; t < 2; ++t) {
      const int32_t c = tries[t];
      if (c < 0) continue;
      DeflateBlock* b = &s->blocks[c];
      if (!measure(s, pool, data, c)) return false;
      // A block too short to split simply stays whole.
      if (!splittable(b) || !(b->gain > threshold)) continue;
      add_block(s, pool, c);
      if (s->block_count > kMaxSplitBlocks) return true;
    }
  }
  return true;
}

bool split_to_count(DeflateStream* s, AheadPool* pool, const uint8_t* data, int32_t count) {
  if (!measure(s, pool, data, 0)) return false;
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
    add_block(s, pool, chosen);
    if (!measure(s, pool, data, s->block_count - 1)) return false;
    if (!measure(s, pool, data, chosen)) return false;
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
  // Four tallies, so that a run of one byte value does not make each count
  // wait for the one before.
  int32_t tally[4][256] = {};
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    tally[0][bytes[i]] += 1;
    tally[1][bytes[i + 1]] += 1;
    tally[2][bytes[i + 2]] += 1;
    tally[3][bytes[i + 3]] += 1;
  }
  for (; i < n; ++i) tally[0][bytes[i]] += 1;
  int32_t count[256];
  for (int32_t b = 0; b < 256; ++b) count[b] = tally[0][b] + tally[1][b] + tally[2][b] + tally[3][b];
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
  AheadPool pool;
  start_ahead(&pool, s, data, n);
  bool finished;
  if (exact_count >= 1) {
    const int32_t count = exact_count > kMaxSplitBlocks ? kMaxSplitBlocks : exact_count;
    finished = split_to_count(s, &pool, data, count);
  } else {
    finished = split_by_threshold(s, &pool, data, threshold);
  }
  stop_ahead(&pool);
  if (!finished) {
    set_single_block(s);
    return -1;
  }
  sort_ends(s);
  report(s);
  return 0;
}

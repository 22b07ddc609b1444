#include "deflate/parallel_parse.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>

#include "deflate/deflate_stream.h"
#include "deflate/lz77_parse.h"
#include "deflate/match_store.h"

// Why blocks can be parsed apart: a block's parse starts from an empty cost
// ring at its first position and prices with its own code lengths, and what
// it takes from before its start (the window's bytes, the runs, the lists of
// the 32 KiB before it) depends only on the bytes while a pass replays
// stored lists. So a helper that takes the lists of the 32 KiB before the
// block from the store, without searching, holds at the block's start what
// the pass's own parser would hold there. A pass that leaves the store (a
// skipped position whose recorded list was not empty) computes its later
// lists itself, and those may differ from the store's: then the helpers'
// paths are dropped and the pass is parsed in order.

namespace {

// Reach of the warm-up before a block: the walks read the lists and run
// lengths of the 32 KiB before a position.
constexpr int32_t kWarmUp = 32768;
constexpr int32_t kLongestWarmUp = 1 << 20;

struct Job {
  int32_t block;
  int32_t w, a, e;  // warm-up start, block start and end
  int64_t cursor;   // where w's runs start in the store
};

}  // namespace

int64_t parse_helper_bytes() { return int64_t(sizeof(Lz77State)); }

namespace {

// The helpers' parser states for up to threads threads, made when first
// needed; false when memory is short.
bool make_helpers(DeflateStream* s, int32_t threads) {
  for (int32_t t = 0; t < threads; ++t) {
    if (s->helpers[t]) continue;
    s->helpers[t] = new (std::nothrow) Lz77State;
    if (!s->helpers[t]) return false;
    s->helpers[t]->avx2 = s->parser->avx2;
  }
  return true;
}

// Runs work(helper) on threads threads at once, the calling thread being
// the first; a thread that cannot be started leaves its share to the others.
template <typename Work>
void run_on_helpers(DeflateStream* s, int32_t threads, const Work& work) {
  std::vector<std::thread> pool;
  for (int32_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work, s->helpers[t]);
    } catch (const std::system_error&) {
      break;
    }
  }
  work(s->helpers[0]);
  for (std::thread& t : pool) t.join();
}

// Stretches of the stream whose lists one helper finds at a time: a few per
// thread, so that a thread that drew a flat stretch takes another, but long
// enough that the warm-up of 32 KiB before each stays a small share.
constexpr int32_t kSegmentsPerThread = 4;
constexpr int32_t kShortestSegment = 1 << 17;

int32_t record_side_by_side(DeflateStream* s) {
  // The parts take the room the paths of earlier passes held.
  delete s->records;
  s->records = nullptr;
  Lz77State* z = s->parser;
  MatchStore* m = z->store;
  if (!m || !m->recording || m->positions != 0 || s->parse_threads < 2 || m->byte_count > INT32_MAX ||
      m->byte_count < kParallelMinBytes)
    return -1;
  const int32_t total = int32_t(m->byte_count);
  const int32_t wanted = std::min(s->parse_threads, kMaxParseThreads);
  // Segment starts are multiples of kMarkStep, so that the parts' marks
  // become the store's by an offset.
  int64_t length = (int64_t(total) + wanted * kSegmentsPerThread - 1) / (wanted * kSegmentsPerThread);
  length = std::max<int64_t>(length, kShortestSegment);
  length = (length + kMarkStep - 1) / kMarkStep * kMarkStep;
  const int32_t segments = int32_t((total + length - 1) / length);
  const int32_t threads = std::min(wanted, segments);
  if (threads < 2 || !make_helpers(s, threads)) return -1;

  // The first segment goes straight into the store; the others into parts
  // of their own, appended in order once all are found.
  std::vector<MatchStore> parts(static_cast<size_t>(segments));
  for (int32_t k = 1; k < segments; ++k) {
    const int64_t bytes = std::min<int64_t>(length, total - k * length);
    match_store_init(&parts[size_t(k)], kPartBytesPerByte * bytes);
    match_store_begin_recording(&parts[size_t(k)], m->strategy);
    match_store_reserve(&parts[size_t(k)], bytes);
  }
  // Per segment: 0 all its lists, 1 the lists up to where its limit cut
  // them, 2 none usable (not searched, memory short).
  std::vector<uint8_t> status(static_cast<size_t>(segments), 2);
  std::atomic<int32_t> next{1};
  std::atomic<int32_t> stop{0};
  const auto find = [&](Lz77State* helper, int32_t k) {
    const int32_t a = int32_t(k * length);
    const int32_t e = int32_t(std::min<int64_t>(a + length, total));
    const int32_t w = a > kListWarmUp ? a - kListWarmUp : 0;
    MatchStore* out = k == 0 ? m : &parts[size_t(k)];
    try {
      lz77_find_lists(helper, m, s, w, a, e, out);
      status[size_t(k)] = out->positions == (k == 0 ? e : e - a) ? 0 : 1;
    } catch (const std::bad_alloc&) {
      status[size_t(k)] = 2;
    }
    // Segments after one that is not whole would not be kept.
    if (status[size_t(k)] != 0 && k == 0) stop.store(1);
  };
  const auto work = [&](Lz77State* helper) {
    // The calling thread's: the first segment, then the queue.
    if (helper == s->helpers[0]) find(helper, 0);
    for (;;) {
      const int32_t k = next.fetch_add(1);
      if (k >= segments || stop.load()) return;
      find(helper, k);
    }
  };
  run_on_helpers(s, threads, work);

  // The lists are kept from position 0 up to the first gap, as a recording
  // that reached its limit keeps them.
  const int32_t first = status[0];
  // Each part is freed once appended, so that the lists are held about once.
  for (int32_t k = 1; k < segments && first == 0; ++k) {
    if (status[size_t(k)] == 2 || match_store_append(m, &parts[size_t(k)]) != 0 || status[size_t(k)] != 0) break;
    match_store_free(&parts[size_t(k)]);
  }
  for (MatchStore& part : parts) match_store_free(&part);
  if (first == 2) {
    match_store_restart_recording(m);
    return -1;
  }
  match_store_end_recording(m);
  s->parallel_lists += 1;
  return 0;
}

int32_t replay_side_by_side(DeflateStream* s) {
  Lz77State* z = s->parser;
  MatchStore* m = z->store;
  if (!m || s->parse_threads < 2 || m->byte_count > INT32_MAX) return -1;
  const int32_t total = int32_t(m->byte_count);
  if (m->positions < total) return -1;

  std::vector<Job> jobs;
  int32_t a = 0;
  for (int32_t k = s->current_block; k < s->block_count && a < total; ++k) {
    const int32_t e = int32_t(std::min<int64_t>(s->blocks[k].end, total));
    if (e <= a) continue;  // closed when the block before it ends
    int32_t w = a > kWarmUp ? a - kWarmUp : 0;
    while (w > 0 && (m->heads[w] & kSharedList)) --w;
    // Shared lists all the way back (a long run of one byte before the
    // block): past a bound the warm-ups would cost more than the threads save.
    if (a - w > kLongestWarmUp) return -1;
    jobs.push_back({k, w, a, e, 0});
    a = e;
  }
  const int32_t threads = std::min({s->parse_threads, int32_t(jobs.size()), kMaxParseThreads});
  // The longest blocks first, so that no thread is left with a long one at
  // the end while the others wait.
  std::vector<int32_t> queue(jobs.size());
  for (size_t i = 0; i < queue.size(); ++i) queue[i] = int32_t(i);
  std::stable_sort(queue.begin(), queue.end(), [&](int32_t x, int32_t y) {
    return jobs[size_t(x)].e - jobs[size_t(x)].a > jobs[size_t(y)].e - jobs[size_t(y)].a;
  });
  if (threads < 2) return -1;

  for (Job& job : jobs) job.cursor = match_store_runs_at(m, job.w);

  if (!make_helpers(s, threads)) return -1;
  if (!s->records) s->records = new BlockRecords;
  std::vector<BlockRecord>& records = s->records->paths;
  if (records.size() < jobs.size()) records.resize(jobs.size());
  for (size_t j = 0; j < jobs.size(); ++j) std::fill(records[j].seen, records[j].seen + 8, 0u);

  std::atomic<int32_t> next{0};
  std::atomic<int32_t> failed{0};
  const auto work = [&](Lz77State* helper) {
    for (;;) {
      const int32_t q = next.fetch_add(1);
      if (q >= int32_t(jobs.size()) || failed.load()) return;
      const int32_t j = queue[size_t(q)];
      const Job& job = jobs[size_t(j)];
      try {
        if (lz77_parse_block_alone(helper, m, z->strategy, s->blocks[job.block].lengths, job.w, job.cursor, job.a,
                                   job.e, &records[size_t(j)]) != 0)
          failed.store(1);
      } catch (const std::bad_alloc&) {
        failed.store(1);  // a path that does not fit: the pass parses in order
      }
    }
  };
  run_on_helpers(s, threads, work);
  if (failed.load()) {
    // What made this pass leave the store (a path left unwritten too long)
    // comes back in the next passes: the rest of the run parses in order.
    s->parse_threads = 1;
    return -1;
  }

  for (size_t j = 0; j < jobs.size(); ++j) lz77_write_record(s, &records[j], jobs[j].e);
  s->parallel_passes += 1;
  return 0;
}

}  // namespace

int32_t parallel_replay(DeflateStream* s) {
  // Nothing is written before every block is parsed, so running out of
  // memory anywhere here only leaves the pass to the parse in order.
  try {
    return replay_side_by_side(s);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int32_t parallel_record(DeflateStream* s) {
  try {
    return record_side_by_side(s);
  } catch (const std::bad_alloc&) {
    if (s->parser->store && s->parser->store->recording) match_store_restart_recording(s->parser->store);
    return -1;
  }
}

void parallel_parse_free(DeflateStream* s) {
  for (int32_t t = 0; t < kMaxParseThreads; ++t) {
    delete s->helpers[t];
    s->helpers[t] = nullptr;
  }
  delete s->records;
  s->records = nullptr;
}

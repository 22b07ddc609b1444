// Blocks of a replaying pass parsed side by side, each on a helper's state
// that first takes the stored lists of the 32 KiB before it: every pass must
// write what the same pass parsed in order writes, wherever a block starts
// (inside a run of one byte, inside a long match, right after a block of one
// byte), and the passes must really have been parsed side by side. The
// recording pass first finds its lists in stretches side by side, each
// after a warm-up search of the 32 KiB before it: the store must hold
// exactly the lists a search in order records, wherever a stretch starts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "deflate/lz77_parse.h"
#include "deflate/match_store.h"
#include "deflate/parallel_parse.h"
#include "tests/deflate/stream_harness.h"

namespace {

// Zero runs that end in the same 16 bytes, 16 KiB apart: 200 zeros, 1000,
// 50, 1000, then noise. 200 bytes before the end of the first long run the
// list holds a far match (to the end of the short run before it) that the
// position before it had not, so the stored list there is not shared
// although 799 zeros come before it: a block starting 32 KiB later, inside
// the second long run, takes its warm-up from the middle of a run.
struct RunsAndRepeats {
  std::vector<uint8_t> bytes;
  int32_t unshared_in_run;  // that position
};

RunsAndRepeats runs_and_repeats() {
  RunsAndRepeats r;
  std::vector<uint8_t>& v = r.bytes;
  const std::vector<uint8_t> tail = random_bytes(16, 7);
  v = random_bytes(3000, 1);
  const size_t runs[] = {200, 1000, 50, 1000};
  for (size_t unit = 0; unit < 4; ++unit) {
    const std::vector<uint8_t> noise = random_bytes(16384 - runs[unit] - 16, 11 + uint32_t(unit));
    v.insert(v.end(), noise.begin(), noise.end());
    v.insert(v.end(), runs[unit], 0);
    if (unit == 1) r.unshared_in_run = int32_t(v.size() - 200);
    v.insert(v.end(), tail.begin(), tail.end());
  }
  // Long enough to be parsed side by side.
  const std::vector<uint8_t> rest = random_bytes(size_t(kParallelMinBytes), 3);
  v.insert(v.end(), rest.begin(), rest.end());
  return r;
}

struct SideCase {
  std::string name;
  std::vector<uint8_t> data;
  int32_t strategy;
  std::vector<int32_t> ends;
  int32_t threads;
};

// Stretches of the recording's list search start every 128 KiB on streams
// this short. A copy at distance 32768 spans the start at 128 KiB, so its
// first positions match a position the warm-up must have searched first;
// a run of zeros longer than the warm-up spans the one at 256 KiB, so the
// warm-up starts inside it.
std::vector<uint8_t> across_stretches() {
  constexpr size_t kStart = 131072;
  std::vector<uint8_t> v = random_bytes(300000, 21);
  std::memcpy(v.data() + kStart - 500, v.data() + kStart - 500 - 32768, 1000);
  std::memset(v.data() + 2 * kStart - 40000, 0, 41000);
  return v;
}

bool same_lists(const MatchStore& a, const MatchStore& b) {
  return a.ready && b.ready && a.positions == b.positions && a.run_bytes == b.run_bytes &&
         std::memcmp(a.heads, b.heads, sizeof(uint16_t) * size_t(a.positions)) == 0 &&
         std::memcmp(a.runs, b.runs, size_t(a.run_bytes)) == 0 &&
         std::memcmp(a.marks, b.marks, sizeof(int64_t) * size_t((a.positions + kMarkStep - 1) / kMarkStep)) == 0;
}

std::vector<SideCase> side_cases() {
  std::vector<SideCase> cases;
  const std::vector<uint8_t> across = across_stretches();
  cases.push_back({"stretches_start_in_a_match_and_a_run", across, 0, {200000, 0x7FFFFFFF}, 2});
  cases.push_back({"stretches_intense", across, 1, {140000, 0x7FFFFFFF}, 3});
  const RunsAndRepeats r = runs_and_repeats();
  const int32_t at = r.unshared_in_run + 32768;
  cases.push_back({"warm_up_inside_a_run", r.bytes, 0, {at, 0x7FFFFFFF}, 2});
  cases.push_back({"warm_up_inside_a_run_intense", r.bytes, 1, {at, at + 20000, 0x7FFFFFFF}, 3});
  const std::vector<uint8_t> runs = runs_and_specks(400000);
  cases.push_back({"runs_one_byte_block", runs, 0, {100000, 100001, 250000, 0x7FFFFFFF}, 2});
  cases.push_back({"runs_many_blocks", runs, 0, {20000, 60000, 61000, 130000, 200000, 330000, 0x7FFFFFFF}, 4});
  std::vector<uint8_t> picture = filtered_picture(512, 256, 5);
  const std::vector<uint8_t> text = text_bytes(200000);
  picture.insert(picture.end(), text.begin(), text.end());
  cases.push_back({"picture_then_text", picture, 0, {150000, 300259, 420000, 0x7FFFFFFF}, 2});
  return cases;
}

TEST(ParallelReplay, EveryPassAsParsedInOrder) {
  for (const SideCase& c : side_cases()) {
    SCOPED_TRACE(c.name);
    StreamPtr in_order = make_stream(c.strategy), side = make_stream(c.strategy);
    for (DeflateStream* s : {in_order.get(), side.get()}) {
      set_ends(s, c.ends);
      set_initial_lengths(s, 0, 0);
    }
    side->parse_threads = c.threads;
    MatchStore a_store, b_store;
    match_store_init(&a_store, int64_t(1) << 30);
    match_store_init(&b_store, int64_t(1) << 30);
    in_order->matches = &a_store;
    side->matches = &b_store;
    for (int32_t pass = 0; pass < 3; ++pass) {
      const StreamRun a = run_pass(in_order.get(), c.data, true);
      const StreamRun b = run_pass(side.get(), c.data, true);
      ASSERT_TRUE(inflates_to(b, c.data)) << pass;
      ASSERT_TRUE(a.png == b.png) << "pass " << pass;
      EXPECT_EQ(a.excess_bits, b.excess_bits);
      if (pass == 0) {
        EXPECT_TRUE(same_lists(a_store, b_store));
      }
    }
    // The first pass records, its lists found side by side, and is parsed
    // from them like the two replaying passes after it.
    EXPECT_EQ(in_order->parallel_passes, 0);
    EXPECT_EQ(in_order->parallel_lists, 0);
    EXPECT_EQ(side->parallel_lists, 1);
    EXPECT_EQ(side->parallel_passes, 3);
    match_store_free(&a_store);
    match_store_free(&b_store);
  }
}

// A stretch whose own bound cuts its lists: the store keeps the lists from
// position 0 up to the cut, exactly as the search in order records them.
TEST(ParallelRecord, StretchCutByItsBoundKeepsTheListsBeforeTheCut) {
  const std::vector<uint8_t> data = across_stretches();
  constexpr int32_t kStart = 131072;
  StreamPtr s = make_stream(0);
  MatchStore whole;
  match_store_init(&whole, int64_t(1) << 30);
  s->matches = &whole;
  run_pass(s.get(), data);
  ASSERT_TRUE(whole.ready);
  ASSERT_EQ(whole.positions, int32_t(data.size()));
  s->matches = nullptr;

  MatchStore m, part;
  match_store_init(&m, int64_t(1) << 30);
  match_store_begin_recording(&m, 0);
  ASSERT_EQ(match_store_add_bytes(&m, data.data(), int32_t(data.size())), 0);
  std::unique_ptr<Lz77State> helper(new Lz77State);
  helper->avx2 = s->parser->avx2;
  lz77_find_lists(helper.get(), &m, s.get(), 0, 0, kStart, &m);
  ASSERT_EQ(m.positions, kStart);
  // Room for the heads and marks of the stretch and 300 bytes of runs.
  match_store_init(&part, 2 * kStart + 8 * 32 + 300);
  match_store_begin_recording(&part, 0);
  ASSERT_EQ(match_store_reserve(&part, kStart), 0);
  lz77_find_lists(helper.get(), &m, s.get(), kStart - kListWarmUp, kStart, 2 * kStart, &part);
  ASSERT_LT(part.positions, 0);  // cut
  ASSERT_EQ(match_store_append(&m, &part), 0);
  match_store_end_recording(&m);
  const int32_t kept = m.positions;
  EXPECT_GT(kept, kStart + 1000);
  EXPECT_LT(kept, 2 * kStart);
  EXPECT_EQ(std::memcmp(m.heads, whole.heads, sizeof(uint16_t) * size_t(kept)), 0);
  EXPECT_EQ(std::memcmp(m.runs, whole.runs, size_t(m.run_bytes)), 0);
  for (int32_t k = 0; k * kMarkStep < kept; ++k) EXPECT_EQ(m.marks[k], whole.marks[k]) << k;
  match_store_free(&part);
  match_store_free(&m);
  match_store_free(&whole);
}

}  // namespace

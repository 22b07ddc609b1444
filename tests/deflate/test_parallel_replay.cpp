// Blocks of a replaying pass parsed side by side, each on a helper's state
// that first takes the stored lists of the 32 KiB before it: every pass must
// write what the same pass parsed in order writes, wherever a block starts
// (inside a run of one byte, inside a long match, right after a block of one
// byte), and the passes after the recording one must really have been
// parsed side by side.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

std::vector<SideCase> side_cases() {
  std::vector<SideCase> cases;
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
    }
    // The first pass records; the two after it replay.
    EXPECT_EQ(in_order->parallel_passes, 0);
    EXPECT_EQ(side->parallel_passes, 2);
    match_store_free(&a_store);
    match_store_free(&b_store);
  }
}

}  // namespace

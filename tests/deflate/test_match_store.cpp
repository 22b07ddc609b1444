// The match store must never move a byte: every pass with a store (recording,
// replaying, or falling back to computing part-way) writes exactly what the
// same pass writes without one. Each case runs the same passes on two
// streams, one with a store and one without, and compares every pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "deflate/match_store.h"
#include "tests/deflate/stream_harness.h"

namespace {

std::vector<uint8_t> noisy(int32_t w, int32_t h) {
  std::vector<uint8_t> v;
  uint32_t x = 5;
  for (int32_t y = 0; y < h; ++y) {
    v.push_back(1);
    for (int32_t i = 0; i < w * 3; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      v.push_back(uint8_t((i / 3 + y) / 4 + int32_t(x % 5)));
    }
  }
  return v;
}

// A picture of flat patches and edges, then noise: about 1 MiB.
std::vector<uint8_t> large() {
  std::vector<uint8_t> v = filtered_picture(512, 256, 5);
  const std::vector<uint8_t> n = noisy(300, 400);
  v.insert(v.end(), n.begin(), n.end());
  return v;
}

struct StoreCase {
  const char* name;
  std::vector<uint8_t> (*make)();
  int32_t strategy;
  std::vector<int32_t> ends;  // empty: one block
  int64_t limit;              // of the store
};

class MatchStoreSameBytes : public ::testing::TestWithParam<StoreCase> {};

// Three passes over one stream: the first records, the others replay.
TEST_P(MatchStoreSameBytes, EveryPassAsWithoutStore) {
  const StoreCase& c = GetParam();
  const std::vector<uint8_t> data = c.make();
  StreamPtr plain = make_stream(c.strategy), stored = make_stream(c.strategy);
  if (!c.ends.empty()) {
    set_ends(plain.get(), c.ends);
    set_ends(stored.get(), c.ends);
    set_initial_lengths(plain.get(), 0, 0);
    set_initial_lengths(stored.get(), 0, 0);
  }
  MatchStore store;
  match_store_init(&store, c.limit);
  stored->matches = &store;
  for (int32_t pass = 0; pass < 3; ++pass) {
    const StreamRun a = run_pass(plain.get(), data, true);
    const StreamRun b = run_pass(stored.get(), data, true);
    ASSERT_TRUE(inflates_to(b, data)) << pass;
    ASSERT_EQ(a.png, b.png) << "pass " << pass;
    EXPECT_EQ(a.excess_bits, b.excess_bits);
  }
  EXPECT_EQ(store.ready, 1);
  EXPECT_LE(match_store_list_bytes(&store), c.limit);
  match_store_free(&store);
}

std::vector<uint8_t> noisy_small() { return noisy(200, 150); }
std::vector<uint8_t> runs_small() { return runs_and_specks(150000); }
std::vector<uint8_t> text() { return text_bytes(60000); }

INSTANTIATE_TEST_SUITE_P(
    Streams, MatchStoreSameBytes,
    ::testing::Values(StoreCase{"noisy_xtreme", noisy_small, 0, {}, int64_t(1) << 30},
                      StoreCase{"noisy_intense", noisy_small, 1, {}, int64_t(1) << 30},
                      StoreCase{"noisy_xtreme_blocks", noisy_small, 0, {5000, 5001, 40000, 0x7FFFFFFF},
                                int64_t(1) << 30},
                      StoreCase{"runs_xtreme", runs_small, 0, {}, int64_t(1) << 30},
                      StoreCase{"runs_intense_blocks", runs_small, 1, {30000, 90000, 0x7FFFFFFF},
                                int64_t(1) << 30},
                      StoreCase{"text_xtreme", text, 0, {}, int64_t(1) << 30},
                      StoreCase{"large_xtreme", large, 0, {300000, 300259, 700000, 0x7FFFFFFF},
                                int64_t(1) << 30},
                      // A bound that holds part of the lists: the rest is computed.
                      StoreCase{"noisy_xtreme_bounded", noisy_small, 0, {}, 400000},
                      StoreCase{"runs_intense_bounded", runs_small, 1, {}, 300000}),
    [](const auto& info) { return std::string(info.param.name); });

// Passes over streams that differ from the recorded one: changed bytes in the
// middle, a prefix, a longer stream, then the changed one again. Each gives the
// bytes of a pass without a store.
TEST(MatchStore, OtherBytesAreNeverReplayed) {
  const std::vector<uint8_t> base = noisy(160, 120);
  std::vector<uint8_t> changed = base;
  changed[changed.size() / 2] ^= 0x55;
  const std::vector<uint8_t> prefix(base.begin(), base.begin() + std::ptrdiff_t(base.size() - 100));
  std::vector<uint8_t> longer = base;
  longer.insert(longer.end(), base.begin(), base.begin() + 500);
  for (int32_t strategy : {0, 1}) {
    StreamPtr plain = make_stream(strategy), stored = make_stream(strategy);
    MatchStore store;
    match_store_init(&store, int64_t(1) << 30);
    stored->matches = &store;
    int32_t pass = 0;
    const std::vector<const std::vector<uint8_t>*> order = {&base, &changed, &changed, &changed,
                                                             &prefix, &base,    &longer};
    for (const std::vector<uint8_t>* data : order) {
      const StreamRun a = run_pass(plain.get(), *data, true);
      const StreamRun b = run_pass(stored.get(), *data, true);
      // Lengths measured on other bytes may lack a code the parse needs: such
      // a pass is marked invalid, with or without a store alike.
      ASSERT_EQ(a.invalid, b.invalid) << strategy << " pass " << pass;
      if (b.invalid == 0) {
        ASSERT_TRUE(inflates_to(b, *data)) << strategy << " pass " << pass;
      }
      ASSERT_EQ(a.png, b.png) << strategy << " pass " << pass;
      ++pass;
    }
    match_store_free(&store);
  }
}

// Later passes take the kept nearest candidates of cheaper distance codes
// from the store. Each pass here starts from other random tables, so the
// codes asked for change from pass to pass and an answer kept for one code
// must not stand for another; the repeated stretches at many distances make
// far codes worth asking for.
TEST(MatchStore, KeptCandidatesFollowThePrices) {
  std::vector<uint8_t> data = filtered_picture(300, 60, 11);
  const std::vector<uint8_t> copy = data;
  for (size_t at = 0; at + 64 < copy.size(); at += 997) {
    const size_t to = (at * 7919) % copy.size();
    for (size_t i = 0; i < 64 && to + i < data.size(); ++i) data[to + i] = copy[at + i];
  }
  StreamPtr plain = make_stream(0), stored = make_stream(0);
  MatchStore store;
  match_store_init(&store, int64_t(1) << 30);
  stored->matches = &store;
  for (int32_t pass = 0; pass < 8; ++pass) {
    set_initial_lengths(plain.get(), 1, uint32_t(pass) * 77u);
    set_initial_lengths(stored.get(), 1, uint32_t(pass) * 77u);
    const StreamRun a = run_pass(plain.get(), data, pass % 2 == 0);
    const StreamRun b = run_pass(stored.get(), data, pass % 2 == 0);
    ASSERT_EQ(a.invalid, b.invalid) << "pass " << pass;
    if (b.invalid == 0) {
      ASSERT_TRUE(inflates_to(b, data)) << "pass " << pass;
    }
    ASSERT_EQ(a.png, b.png) << "pass " << pass;
  }
  EXPECT_NE(store.walks, nullptr);
  match_store_free(&store);
}

// More than the edge ring's span of positions without a write-out: the parse
// skips positions, which a recording cannot hold; the passes still match.
TEST(MatchStore, SkippedPositionsFallBackToComputing) {
  std::vector<uint8_t> data(320000, 7);
  for (size_t i = 0; i < data.size(); i += 4099) data[i] = uint8_t(i >> 8);
  StreamPtr plain = make_stream(0), stored = make_stream(0);
  MatchStore store;
  match_store_init(&store, int64_t(1) << 30);
  stored->matches = &store;
  for (int32_t pass = 0; pass < 3; ++pass) {
    const StreamRun a = run_pass(plain.get(), data, true);
    const StreamRun b = run_pass(stored.get(), data, true);
    ASSERT_TRUE(inflates_to(b, data)) << pass;
    ASSERT_EQ(a.png, b.png) << "pass " << pass;
  }
  match_store_free(&store);
}

// A pass may be fed the bytes the stream kept of the pass before instead of
// computing them again, but only while those bytes are exactly what that
// pass saw and the next pass will only read them: after a replay or a
// finished recording of the same bytes, never after other bytes, a recording
// that gave up (the next pass records anew, into those very bytes) or a
// strategy without lists. Fed back, they give the bytes of a pass fed a copy.
TEST(MatchStore, KeptBytesAreThoseOfThePassJustMade) {
  const std::vector<uint8_t> base = noisy(160, 120);
  std::vector<uint8_t> changed = base;
  changed[changed.size() / 3] ^= 0x21;
  struct Step {
    const std::vector<uint8_t>* data;
    bool kept;
    bool give_up = false;  // the recording is given up after the pass, as a skip at its end does
  };
  const std::vector<Step> steps = {{&base, true},          {&base, true},    {&changed, false},
                                   {&changed, true},       {&changed, true}, {&changed, false, true},
                                   {&changed, true},       {&base, false},   {&base, true}};
  for (int32_t strategy : {0, 1, 3}) {
    StreamPtr plain = make_stream(strategy), stored = make_stream(strategy);
    MatchStore store;
    match_store_init(&store, int64_t(1) << 30);
    stored->matches = &store;
    for (size_t k = 0; k < steps.size(); ++k) {
      const std::vector<uint8_t>& data = *steps[k].data;
      const StreamRun a = run_pass(plain.get(), data, true);
      ASSERT_EQ(run_pass(stored.get(), data, true).png, a.png) << strategy << " step " << k;
      if (steps[k].give_up) match_store_give_up(&store);
      const uint8_t* kept = deflate_kept_bytes(stored.get(), int64_t(data.size()));
      EXPECT_EQ(kept != nullptr, steps[k].kept && strategy < 2) << strategy << " step " << k;
      EXPECT_EQ(deflate_kept_bytes(stored.get(), int64_t(data.size()) - 1), nullptr);
      if (!kept) continue;
      ASSERT_EQ(std::memcmp(kept, data.data(), data.size()), 0) << strategy << " step " << k;
      // The same pass again, fed from the kept bytes themselves.
      const StreamRun again = run_pass(plain.get(), data, true);
      std::vector<uint8_t> png(data.size() * 2 + 65536, 0);
      BitWriter w{};
      w.kbuf = png.data();
      w.kbuf_capacity = int32_t(png.size());
      stored->out = &w;
      stored->hooks = StreamHooks{&w, open_idat, close_idat, nullptr};
      deflate_begin(stored.get());
      for (size_t at = 0; at < data.size(); at += 1000)
        deflate_feed_bytes(stored.get(), kept + at, int32_t(std::min<size_t>(1000, data.size() - at)));
      deflate_finish(stored.get());
      png.resize(size_t(w.out_count));
      stored->out = nullptr;
      ASSERT_EQ(png, again.png) << strategy << " step " << k;
      EXPECT_EQ(deflate_kept_bytes(stored.get(), int64_t(data.size())), kept);
    }
    match_store_free(&store);
  }
}

}  // namespace

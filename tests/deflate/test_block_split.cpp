#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "deflate/block_split.h"
#include "deflate/deflate_stream.h"
#include "tests/deflate/stream_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/print_capture.h"

namespace {

// Counts the polls in the int its user pointer names (may be null).
int stop_on_split_poll(void* polls, int code) {
  if (polls) *static_cast<int*>(polls) += 1;
  return code == 1;
}
int never_stop(void*, int) { return 0; }

StreamPtr verbose_stream(int32_t strategy = 1) {
  StreamPtr s = make_stream(strategy);
  s->print = capture_printer();
  s->key_check = KeyCheckFn{never_stop, nullptr};
  s->verbose = 1;
  captured_messages().clear();
  return s;
}

// The estimate at split s written out with exact logarithms: both halves'
// order-0 sizes against the whole range's, in the form the running sums take.
double estimate_at(const std::vector<uint8_t>& d, int32_t s) {
  const double n = double(d.size());
  double counts[256] = {}, left[256] = {};
  for (uint8_t b : d) counts[b] += 1;
  for (int32_t i = 0; i < s; ++i) left[d[size_t(i)]] += 1;
  const double z = (n - s) * std::log((n - 1) * (n - s + 1) / n) + s * std::log(double(s));
  double f = z - n * std::log(n);
  for (int b = 0; b < 256; ++b) {
    const double r = counts[b] - left[b];
    if (r > 0) f -= r * std::log(r);
    if (left[b] > 0) f -= left[b] * std::log(left[b] + 1);
    if (counts[b] > 0) f += counts[b] * std::log(counts[b]);
  }
  return f;
}

class SplitGain : public ::testing::TestWithParam<int32_t> {};

TEST_P(SplitGain, MatchesTheEstimateComputedDirectly) {
  const int32_t kind = GetParam();
  for (int32_t n : {2, 3, 10, 57, 400}) {
    std::vector<uint8_t> d;
    if (kind == 0) d = random_bytes(size_t(n), uint32_t(n));
    if (kind == 1) {
      d = random_bytes(size_t(n), uint32_t(n) + 5);
      for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(i < d.size() / 3 ? d[i] % 4 : 100 + d[i] % 7);
    }
    if (kind == 2) d = text_bytes(size_t(n));
    double gain = 0;
    const int32_t split = split_gain(d.data(), n, &gain, KeyCheckFn{});
    double best = 1e32;
    int32_t best_split = 0;
    for (int32_t s = 1; s < n; ++s) {
      const double f = estimate_at(d, s);
      if (f < best - 1e-7) {
        best = f;
        best_split = s;
      }
    }
    SCOPED_TRACE(n);
    EXPECT_NEAR(gain, -best / (8 * std::log(2.0)), 1e-6 * (1 + std::fabs(best)));
    if (split != best_split) {
      // Only a near tie may fall either way.
      EXPECT_NEAR(estimate_at(d, split), best, 1e-6 * (1 + std::fabs(best)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Data, SplitGain, ::testing::Values(0, 1, 2));

TEST(SplitGain, FindsTheSeamBetweenTwoAlphabets) {
  std::vector<uint8_t> d = random_bytes(3000, 4);
  for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(i < 1200 ? d[i] % 16 : 128 + d[i] % 16);
  double gain = 0;
  EXPECT_EQ(split_gain(d.data(), int32_t(d.size()), &gain, KeyCheckFn{}), 1200);
  // Each half saves a bit per byte: about 3000 / 8 bytes less the model cost.
  EXPECT_GT(gain, 300);
  EXPECT_LT(gain, 400);
}

TEST(SplitGain, TinyRangesAndStops) {
  double gain = 5;
  const uint8_t one = 7;
  EXPECT_EQ(split_gain(&one, 1, &gain, KeyCheckFn{}), 0);
  EXPECT_EQ(split_gain(&one, 0, &gain, KeyCheckFn{}), 0);
  const std::vector<uint8_t> d = text_bytes(1000);
  int polls = 0;
  EXPECT_EQ(split_gain(d.data(), 1000, &gain, KeyCheckFn{stop_on_split_poll, &polls}), -1);
  EXPECT_EQ(polls, 1);
}

std::vector<uint8_t> three_parts() {
  std::vector<uint8_t> d = text_bytes(20000);
  const std::vector<uint8_t> r = random_bytes(20000, 9);
  d.insert(d.end(), r.begin(), r.end());
  d.insert(d.end(), 20000, 0);
  return d;
}

void expect_sane_ends(const DeflateStream* s, int32_t n) {
  ASSERT_GE(s->block_count, 1);
  for (int32_t i = 0; i < s->block_count; ++i) {
    const int32_t start = i == 0 ? 0 : s->blocks[i - 1].end;
    EXPECT_EQ(s->blocks[i].start, start);
    EXPECT_GT(s->blocks[i].end, start);
  }
  EXPECT_EQ(s->blocks[s->block_count - 1].end, n);
}

// Boundaries by threshold or by count: the ends cover the data in order, the
// count is as expected, and "-v" lists the ends in hex.
struct SplitCase {
  const char* name;
  std::vector<uint8_t> data;
  double threshold;
  int32_t requested;
  int32_t expected;  // blocks; 0: at least three, with ends at the seams of three_parts
};

class Boundaries : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Boundaries, FoundAndListed) {
  const SplitCase& c = GetParam();
  const int32_t n = int32_t(c.data.size());
  StreamPtr s = verbose_stream();
  ASSERT_EQ(find_block_boundaries(s.get(), c.data.data(), n, c.threshold, c.requested), 0);
  expect_sane_ends(s.get(), n);
  std::string expected = "   \nBlock boundaries: ";
  int32_t near_seams = 0;
  for (int32_t i = 0; i + 1 < s->block_count; ++i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, i ? ",%x" : "%x", s->blocks[i].end);
    expected += buf;
    near_seams += std::abs(s->blocks[i].end - 20000) < 64 || std::abs(s->blocks[i].end - 40000) < 64;
  }
  EXPECT_EQ(captured_messages(), expected + (s->block_count == 1 ? "none\n\n" : "\n\n"));
  if (c.expected) {
    EXPECT_EQ(s->block_count, c.expected);
  } else {
    EXPECT_GE(s->block_count, 3);
    EXPECT_EQ(near_seams, 2);
  }
}

// Distinct bytes always promise a saving, so a tiny threshold reaches blocks
// of one byte; those stay whole and the search still succeeds. With fewer
// bytes than blocks requested every block ends up one byte long and the
// search stops early instead of failing.
std::vector<uint8_t> distinct_bytes() {
  std::vector<uint8_t> d(40);
  for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(i * 37);
  return d;
}

INSTANTIATE_TEST_SUITE_P(Modes, Boundaries,
                         ::testing::Values(SplitCase{"threshold_at_the_seams", three_parts(), 256.0, 0, 0},
                                           SplitCase{"high_threshold_one_block", text_bytes(5000), 1e9, 0, 1},
                                           SplitCase{"tiny_threshold_single_bytes", distinct_bytes(), -1e9, 0,
                                                     40},
                                           SplitCase{"count_1", text_bytes(5000), 256.0, 1, 1},
                                           SplitCase{"count_2", text_bytes(5000), 256.0, 2, 2},
                                           SplitCase{"count_7", text_bytes(5000), 256.0, 7, 7},
                                           SplitCase{"count_capped", text_bytes(5000), 256.0, 5000, 1023},
                                           SplitCase{"count_above_size", text_bytes(5), 256.0, 10, 5},
                                           SplitCase{"count_above_one_byte", text_bytes(1), 256.0, 3, 1},
                                           SplitCase{"count_equal_size", text_bytes(2), 256.0, 2, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Boundaries, StopRequestAbandonsTheSearch) {
  const std::vector<uint8_t> d = three_parts();
  for (int32_t count : {0, 5}) {
    StreamPtr s = verbose_stream();
    s->key_check = KeyCheckFn{stop_on_split_poll, nullptr};
    EXPECT_EQ(find_block_boundaries(s.get(), d.data(), int32_t(d.size()), 256.0, count), -1);
    EXPECT_EQ(captured_messages(), "");
  }
}

TEST(Boundaries, BlocksFoundAreTheBlocksWrittenPassAfterPass) {
  const std::vector<uint8_t> d = three_parts();
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    SCOPED_TRACE(strategy);
    StreamPtr s = verbose_stream(strategy);
    ASSERT_EQ(find_block_boundaries(s.get(), d.data(), int32_t(d.size()), 0, 6), 0);
    ASSERT_EQ(s->block_count, 6);
    std::vector<size_t> ends;
    for (int32_t i = 0; i + 1 < s->block_count; ++i) ends.push_back(size_t(s->blocks[i].end));
    set_initial_lengths(s.get(), strategy == 1, 42);
    const StreamRun first = run_pass(s.get(), d);
    ASSERT_TRUE(inflates_to(first, d));
    // zlib stops at each end only if no earlier block carried the final bit.
    EXPECT_EQ(block_ends(first), ends);
    // The starting tables fit this data poorly: the recomputed lengths
    // promise a saving, and the next pass delivers one.
    EXPECT_GT(first.excess_bits, 8 * 1000);
    const StreamRun second = run_pass(s.get(), d);
    ASSERT_TRUE(inflates_to(second, d));
    EXPECT_LT(second.size, first.size);
  }
}

TEST(InitialLengths, RandomTablesFollowTheSeedAndAreComplete) {
  StreamPtr a = verbose_stream(1), b = verbose_stream(1);
  a->block_count = b->block_count = 2;
  set_initial_lengths(a.get(), 1, 1234);
  set_initial_lengths(b.get(), 1, 1234);
  auto lengths = [](const DeflateStream* s, int32_t k) {
    return std::vector<int32_t>(s->blocks[k].lengths, s->blocks[k].lengths + kSymbolSlots);
  };
  EXPECT_EQ(lengths(a.get(), 1), lengths(b.get(), 1));
  EXPECT_NE(lengths(a.get(), 0), lengths(a.get(), 1));
  set_initial_lengths(b.get(), 1, 1235);
  EXPECT_NE(lengths(a.get(), 0), lengths(b.get(), 0));
  for (int32_t k = 0; k < 2; ++k) {
    int64_t kraft = 0;
    for (int i = 0; i < 286; ++i)
      kraft += a->blocks[k].lengths[i] ? int64_t(1) << (15 - a->blocks[k].lengths[i]) : 0;
    EXPECT_EQ(kraft, 32768);
  }
  // Literal-only output keeps its fixed table even when asked for random ones.
  b->strategy = 3;
  set_initial_lengths(b.get(), 1, 5);
  EXPECT_EQ(b->blocks[1].lengths[128], 9);
  EXPECT_EQ(b->blocks[1].lengths[129], 8);
  EXPECT_EQ(b->blocks[1].lengths[288], 0);
}

// A long stream of many kinds of stretch: its ranges are measured ahead on
// helper threads when the stream may use several, and the boundaries, their
// gains and the listing are those found on one thread, in threshold mode
// (many levels of splits) and in exact-count mode.
std::vector<uint8_t> patchwork(size_t n) {
  std::vector<uint8_t> d;
  uint32_t x = 77;
  while (d.size() < n) {
    x = x * 1103515245u + 12345u;
    const size_t len = 20000 + (x >> 8) % 150000;
    const uint32_t kind = (x >> 4) % 4;
    const std::vector<uint8_t> part = kind == 0   ? text_bytes(len)
                                      : kind == 1 ? random_bytes(len, x)
                                      : kind == 2 ? std::vector<uint8_t>(len, uint8_t(x >> 24))
                                                  : filtered_picture(int32_t(len / 300), 100, int32_t(x % 13));
    d.insert(d.end(), part.begin(), part.end());
  }
  d.resize(n);
  return d;
}

TEST(Boundaries, MeasuredAheadOnHelpersAsOnOneThread) {
  const std::vector<uint8_t> d = patchwork(size_t(3) << 20);
  const int32_t n = int32_t(d.size());
  for (const auto& [threshold, count] : {std::pair{64.0, 0}, std::pair{512.0, 0}, std::pair{0.0, 40}}) {
    SCOPED_TRACE(count);
    StreamPtr one = verbose_stream();
    ASSERT_EQ(find_block_boundaries(one.get(), d.data(), n, threshold, count), 0);
    const std::string listed = captured_messages();
    ASSERT_GE(one->block_count, 8);
    for (int32_t threads : {2, 3, 4}) {
      StreamPtr many = verbose_stream();
      many->parse_threads = threads;
      ASSERT_EQ(find_block_boundaries(many.get(), d.data(), n, threshold, count), 0);
      EXPECT_EQ(captured_messages(), listed) << threads;
      ASSERT_EQ(many->block_count, one->block_count);
      for (int32_t i = 0; i < one->block_count; ++i) {
        EXPECT_EQ(many->blocks[i].end, one->blocks[i].end);
        EXPECT_EQ(many->blocks[i].gain, one->blocks[i].gain);
      }
    }
  }
}

// A stop request while helpers measure ahead: the search ends at once with
// one block and nothing listed, and no helper is left running.
int stop_on_third_poll(void* polls, int code) { return code == 1 && ++*static_cast<int*>(polls) >= 3; }

TEST(Boundaries, StopRequestWithHelpersAbandonsTheSearch) {
  const std::vector<uint8_t> d = patchwork(size_t(2) << 20);
  for (int32_t count : {0, 30}) {
    int polls = 0;
    StreamPtr s = verbose_stream();
    s->parse_threads = 3;
    s->key_check = KeyCheckFn{stop_on_third_poll, &polls};
    EXPECT_EQ(find_block_boundaries(s.get(), d.data(), int32_t(d.size()), 64.0, count), -1);
    EXPECT_EQ(s->block_count, 1);
    EXPECT_EQ(captured_messages(), "");
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "deflate/deflate_stream.h"
#include "deflate/huffman.h"
#include "tests/deflate/stream_harness.h"
#include "tests/support/oracle.h"

namespace {

struct StreamDeleter {
  void operator()(DeflateStream* s) const { deflate_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<DeflateStream, StreamDeleter>;

StreamPtr make_stream(int32_t strategy) {
  StreamPtr s(deflate_stream_create());
  s->strategy = strategy;
  set_single_block(s.get());
  set_initial_lengths(s.get(), 0, 0);
  return s;
}

bool inflates_to(const StreamRun& run, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> back;
  return zlib_inflate(run.zlib(), run.zlib_size(), &back) && back == data;
}

void set_ends(DeflateStream* s, const std::vector<int32_t>& ends) {
  s->block_count = int32_t(ends.size());
  for (size_t i = 0; i < ends.size(); ++i) {
    s->blocks[i].start = i == 0 ? 0 : ends[i - 1];
    s->blocks[i].end = ends[i];
  }
}

// The prices the parser uses for a block's lengths.
struct Prices {
  int32_t literal[256];
  int32_t length[259];
  int32_t distance[30];
};

Prices prices_of(const int32_t* lengths) {
  const DeflateTables& t = deflate_tables();
  Prices p{};
  for (int b = 0; b < 256; ++b) p.literal[b] = lengths[b] ? lengths[b] : 4096;
  for (int l = 3; l <= 258; ++l) {
    const int e = t.length_entry[l];
    const int32_t len = lengths[e + 227];
    p.length[l] = len ? len + t.extra[e] : 4096;
  }
  for (int c = 0; c < 30; ++c) p.distance[c] = lengths[288 + c] ? lengths[288 + c] + t.extra[c] : 4096;
  return p;
}

// The cost the parser paid for its path: every symbol it wrote, priced as it
// was priced during the parse (the extra bits follow from the symbol).
int64_t written_cost(const int32_t* lengths_before, const int32_t* counts) {
  const DeflateTables& t = deflate_tables();
  int64_t cost = 0;
  for (int b = 0; b < 256; ++b) cost += int64_t(counts[b]) * (lengths_before[b] ? lengths_before[b] : 4096);
  for (int sym = 257; sym <= 285; ++sym) {
    const int32_t len = lengths_before[sym];
    cost += int64_t(counts[sym]) * (len ? len + t.extra[sym - 227] : 4096);
  }
  for (int c = 0; c < 30; ++c) {
    const int32_t len = lengths_before[288 + c];
    cost += int64_t(counts[288 + c]) * (len ? len + t.extra[c] : 4096);
  }
  return cost;
}

// Shortest path over literal edges and match edges; with nearest_only each
// length uses only its nearest distance, otherwise its cheapest one.
int64_t brute_force_cost(const std::vector<uint8_t>& data, const Prices& pr, bool nearest_only) {
  const DeflateTables& t = deflate_tables();
  const int32_t n = int32_t(data.size());
  // Match length of every (position, distance) pair, from the end backwards.
  std::vector<uint16_t> match(size_t(n + 1) * size_t(n + 1), 0);
  auto at = [n](int32_t p, int32_t d) { return size_t(p) * size_t(n + 1) + size_t(d); };
  for (int32_t p = n - 1; p >= 0; --p)
    for (int32_t d = 1; d <= p; ++d)
      if (data[size_t(p)] == data[size_t(p - d)])
        match[at(p, d)] = uint16_t(std::min(258, 1 + match[at(p + 1, d)]));
  std::vector<int64_t> best(size_t(n) + 1, INT64_MAX);
  best[0] = 0;
  std::vector<int32_t> per_length(259);
  for (int32_t p = 0; p < n; ++p) {
    const int64_t u = best[size_t(p)];
    best[size_t(p) + 1] = std::min(best[size_t(p) + 1], u + pr.literal[data[size_t(p)]]);
    // Nearest: each distance fills the lengths that no nearer one reached.
    // Cheapest: the best price among distances reaching at least each length.
    std::fill(per_length.begin(), per_length.end(), INT32_MAX);
    int32_t filled = 2;
    for (int32_t d = 1; d <= std::min(p, 32768); ++d) {
      const int32_t l = match[at(p, d)];
      const int32_t c = pr.distance[t.distance_code[d]];
      if (nearest_only) {
        for (; filled < l; ++filled) per_length[size_t(filled + 1)] = c;
      } else if (l >= 3) {
        per_length[size_t(l)] = std::min(per_length[size_t(l)], c);
      }
    }
    if (!nearest_only)
      for (int32_t l = 257; l >= 3; --l)
        per_length[size_t(l)] = std::min(per_length[size_t(l)], per_length[size_t(l + 1)]);
    for (int32_t l = 3; l <= 258 && p + l <= n; ++l)
      if (per_length[size_t(l)] != INT32_MAX)
        best[size_t(p + l)] = std::min(best[size_t(p + l)], u + pr.length[l] + per_length[size_t(l)]);
  }
  return best[size_t(n)];
}

std::vector<uint8_t> small_alphabet(size_t n, uint32_t seed, uint32_t symbols) {
  std::vector<uint8_t> v = random_bytes(n, seed);
  for (auto& b : v) b = uint8_t(b % symbols);
  return v;
}

std::vector<uint8_t> mixed(size_t n, uint32_t seed) {
  // Phrases copied from near and far with small edits, so that lengths and
  // distances of every size compete.
  std::vector<uint8_t> v = random_bytes(64, seed);
  uint32_t x = seed * 2654435761u + 1;
  while (v.size() < n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const size_t len = 3 + x % 40;
    const size_t back = 1 + (x >> 8) % std::min<size_t>(v.size(), 5000);
    const size_t from = v.size() - back;
    for (size_t i = 0; i < len; ++i) v.push_back(v[from + i]);
    if ((x >> 20) & 1) v.push_back(uint8_t(x >> 24));
  }
  v.resize(n);
  return v;
}

struct OptimalityCase {
  const char* name;
  std::vector<uint8_t> (*make)();
};

const OptimalityCase kOptimalityCases[] = {
    {"text", [] { return text_bytes(3000); }},
    {"three_symbols", [] { return small_alphabet(2500, 11, 3); }},
    {"two_symbols", [] { return small_alphabet(2500, 12, 2); }},
    {"mixed", [] { return mixed(4000, 13); }},
    {"picture", [] { return filtered_picture(40, 10, 14); }},
};

class CostOptimality : public ::testing::TestWithParam<std::tuple<int32_t, uint32_t>> {};

TEST_P(CostOptimality, PathIsShortestOverItsEdges) {
  const OptimalityCase& c = kOptimalityCases[std::get<0>(GetParam())];
  const uint32_t seed = std::get<1>(GetParam());
  const std::vector<uint8_t> data = c.make();
  for (int32_t strategy : {0, 1}) {
    SCOPED_TRACE(strategy);
    StreamPtr s = make_stream(strategy);
    // Seed 0 keeps the fixed tables; others price the symbols at random.
    set_initial_lengths(s.get(), seed != 0, seed);
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<int32_t> before(s->blocks[0].lengths, s->blocks[0].lengths + kSymbolSlots);
      const StreamRun run = run_pass(s.get(), data);
      ASSERT_TRUE(inflates_to(run, data));
      std::vector<int32_t> counts(s->blocks[0].counts, s->blocks[0].counts + kSymbolSlots);
      counts[256] -= 1;  // the end of block is not part of the path
      const int64_t cost = written_cost(before.data(), counts.data());
      const Prices pr = prices_of(before.data());
      if (strategy == 1) {
        EXPECT_EQ(cost, brute_force_cost(data, pr, true)) << "pass " << pass;
      } else {
        // Farther matches with cheaper codes can only help.
        EXPECT_LE(cost, brute_force_cost(data, pr, true)) << "pass " << pass;
        EXPECT_GE(cost, brute_force_cost(data, pr, false)) << "pass " << pass;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Parse, CostOptimality,
                         ::testing::Combine(::testing::Range(0, int32_t(std::size(kOptimalityCases))),
                                            ::testing::Values(0u, 7u, 1234u)));

TEST(Parse, HuffmanOnlyWritesEveryByteAsALiteral) {
  const std::vector<uint8_t> data = text_bytes(5000);
  StreamPtr s = make_stream(3);
  const StreamRun run = run_pass(s.get(), data);
  ASSERT_TRUE(inflates_to(run, data));
  std::vector<int32_t> histogram(256, 0);
  for (uint8_t b : data) histogram[b] += 1;
  for (int b = 0; b < 256; ++b) EXPECT_EQ(s->blocks[0].counts[b], histogram[size_t(b)]) << b;
  EXPECT_EQ(s->blocks[0].counts[256], 1);
  for (int sym = 257; sym < kSymbolSlots; ++sym) EXPECT_EQ(s->blocks[0].counts[sym], 0) << sym;
}

TEST(Parse, ShortStreamsAreLiterals) {
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    StreamPtr s = make_stream(strategy);
    const std::vector<uint8_t> data = {9, 9};
    const StreamRun run = run_pass(s.get(), data);
    ASSERT_TRUE(inflates_to(run, data));
    EXPECT_EQ(s->blocks[0].counts[9], 2);
    EXPECT_EQ(s->blocks[0].counts[256], 1);
  }
}

TEST(Parse, RepeatedByteIsALiteralThenLongestMatchesAtDistanceOne) {
  for (int32_t strategy = 0; strategy < 3; ++strategy) {
    SCOPED_TRACE(strategy);
    StreamPtr s = make_stream(strategy);
    const std::vector<uint8_t> data = repeating(1 + 258 * 40, 0xAB);
    const StreamRun run = run_pass(s.get(), data);
    ASSERT_TRUE(inflates_to(run, data));
    const int32_t* counts = s->blocks[0].counts;
    EXPECT_EQ(counts[0xAB], 1);
    EXPECT_EQ(counts[285], 40);      // length 258
    EXPECT_EQ(counts[288 + 0], 40);  // distance 1
  }
}

TEST(Parse, MatchesReachExactly32768Back) {
  // The only earlier copy of the tail sits 32768 bytes back; one byte
  // further there is none and the tail stays literal.
  const std::vector<uint8_t> head = random_bytes(32768, 21);
  for (int32_t strategy = 0; strategy < 3; ++strategy) {
    SCOPED_TRACE(strategy);
    int32_t sizes[2];
    for (int32_t extra : {0, 1}) {
      std::vector<uint8_t> data = head;
      data.insert(data.end(), size_t(extra), 0x5A);
      data.insert(data.end(), head.begin(), head.begin() + 2000);
      StreamPtr s = make_stream(strategy);
      const StreamRun run = run_pass(s.get(), data);
      ASSERT_TRUE(inflates_to(run, data));
      sizes[extra] = run.size;
      if (extra == 0) {
        EXPECT_GE(s->blocks[0].counts[288 + 29], 2000 / 258);
      }
    }
    EXPECT_LT(sizes[0] + 1800, sizes[1]);
  }
}

TEST(Parse, MatchesNeverCrossABlockEnd) {
  const std::vector<uint8_t> data = repeating(5000, 7);
  const std::vector<int32_t> ends = {1000, 1001, 2500, 0x7FFFFFFF};
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    SCOPED_TRACE(strategy);
    StreamPtr s = make_stream(strategy);
    set_ends(s.get(), ends);
    set_initial_lengths(s.get(), 0, 0);
    for (int pass = 0; pass < 2; ++pass) {
      const StreamRun run = run_pass(s.get(), data);
      ASSERT_TRUE(inflates_to(run, data));
      EXPECT_EQ(block_ends(run), (std::vector<size_t>{1000, 1001, 2500}));
    }
  }
}

TEST(Parse, BlocksBeyondTheDataAreWrittenEmpty) {
  const std::vector<uint8_t> data = text_bytes(3000);
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    StreamPtr s = make_stream(strategy);
    set_ends(s.get(), {1000, 3000, 5000, 9000});
    set_initial_lengths(s.get(), 0, 0);
    const StreamRun run = run_pass(s.get(), data);
    ASSERT_TRUE(inflates_to(run, data)) << strategy;
  }
}

// A complete literal/length code in which one literal has no code.
void lengths_without(int32_t* lengths, int32_t missing) {
  std::vector<int32_t> counts(kSymbolSlots, 1);
  counts[size_t(missing)] = 0;
  huffman_code_lengths(counts.data(), 286, lengths, 16, 0);
  huffman_code_lengths(counts.data() + kDistanceSlot, 30, lengths + kDistanceSlot, 16, 0);
  lengths[286] = lengths[287] = 0;
}

TEST(Parse, LiteralWithoutCodeIsAvoidedThroughMatches) {
  // Block 1 repeats block 0, and its lengths have no code for 'z': the parse
  // must cover every 'z' with a match instead of writing a literal it cannot.
  const std::vector<uint8_t> phrase = {'a', 'z', 'c', 'z', 'z', 'q', 'r', 's'};
  std::vector<uint8_t> data;
  for (int i = 0; i < 40; ++i) data.insert(data.end(), phrase.begin(), phrase.end());
  for (int32_t strategy = 0; strategy < 3; ++strategy) {
    SCOPED_TRACE(strategy);
    StreamPtr s = make_stream(strategy);
    set_ends(s.get(), {16, 0x7FFFFFFF});
    set_initial_lengths(s.get(), 0, 0);
    lengths_without(s->blocks[1].lengths, 'z');
    const StreamRun run = run_pass(s.get(), data);
    EXPECT_EQ(run.invalid, 0);
    ASSERT_TRUE(inflates_to(run, data));
    // Seen but never written: a code next time. Longest Match jumps over the
    // covered positions and never sees them.
    if (strategy < 2) {
      EXPECT_EQ(s->blocks[1].counts[int('z')], 1);
      EXPECT_GT(s->blocks[1].lengths[int('z')], 0);
    }
  }
}

TEST(Parse, UnavoidableLiteralWithoutCodeMarksThePassInvalid) {
  const std::vector<uint8_t> data = {'a', 'b', 'z', 'c'};
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    StreamPtr s = make_stream(strategy);
    lengths_without(s->blocks[0].lengths, 'z');
    const StreamRun run = run_pass(s.get(), data);
    EXPECT_EQ(run.invalid, 1) << strategy;
    // The next pass has a code for it and is valid again.
    const StreamRun again = run_pass(s.get(), data);
    EXPECT_EQ(again.invalid, 0) << strategy;
    EXPECT_TRUE(inflates_to(again, data)) << strategy;
  }
}

TEST(Parse, SameInputGivesSameBytesWhateverCameBefore) {
  const std::vector<uint8_t> data = mixed(20000, 5);
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    StreamPtr fresh = make_stream(strategy);
    const StreamRun first = run_pass(fresh.get(), data);
    StreamPtr used = make_stream(strategy);
    run_pass(used.get(), random_bytes(70000, 8));
    run_pass(used.get(), text_bytes(1000));
    set_initial_lengths(used.get(), 0, 0);
    const StreamRun second = run_pass(used.get(), data);
    EXPECT_TRUE(first.png == second.png) << strategy;
  }
}

TEST(Parse, LongPathsOfExpensiveSymbolsStayValid) {
  // A megabyte of literals that have no code, 4096 bits each: a block's
  // running cost would pass 2^32 bits if it were never restarted.
  const std::vector<uint8_t> data = repeating(1 << 20, 'z');
  StreamPtr s = make_stream(3);
  lengths_without(s->blocks[0].lengths, 'z');
  const StreamRun run = run_pass(s.get(), data);
  EXPECT_EQ(run.invalid, 1);
  const StreamRun again = run_pass(s.get(), data);
  EXPECT_EQ(again.invalid, 0);
  EXPECT_TRUE(inflates_to(again, data));
}

TEST(Parse, LargePicture) {
  const std::vector<uint8_t> data = filtered_picture(512, 512, 77);  // about 1 MiB
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    SCOPED_TRACE(strategy);
    StreamPtr s = make_stream(strategy);
    const StreamRun run = run_pass(s.get(), data);
    ASSERT_EQ(run.invalid, 0);
    ASSERT_TRUE(inflates_to(run, data));
  }
}

}  // namespace

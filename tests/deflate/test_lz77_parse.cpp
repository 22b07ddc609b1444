#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "deflate/deflate_stream.h"
#include "deflate/huffman.h"
#include "deflate/lz77_parse.h"
#include "tests/deflate/stream_harness.h"

namespace {

std::vector<uint8_t> runs_and_patterns() {
  // Runs of every length up to 300 with unique bytes between them: the walks
  // keep skipping over runs at their candidates.
  std::vector<uint8_t> v;
  for (int i = 0; i < 400; ++i) {
    v.insert(v.end(), size_t(i % 300), uint8_t(i % 3));
    v.push_back(uint8_t(i));
    v.push_back(uint8_t(i >> 3));
  }
  return v;
}

struct Input {
  const char* name;
  std::vector<uint8_t> (*make)();
};

const Input kInputs[] = {
    {"empty", [] { return std::vector<uint8_t>(); }},
    {"one_byte", [] { return std::vector<uint8_t>{0x41}; }},
    {"repeated_byte", [] { return std::vector<uint8_t>(100000, 0x55); }},
    {"random", [] { return random_bytes(70000, 99); }},
    {"text", [] { return text_bytes(100000); }},
    {"runs", runs_and_patterns},
};

const char* const kStrategyNames[] = {"xtreme", "intense", "longest", "huffman"};

class RoundTrip : public ::testing::TestWithParam<std::tuple<int32_t, int32_t>> {};

TEST_P(RoundTrip, InflatesBackPassAfterPass) {
  const std::vector<uint8_t> data = kInputs[std::get<1>(GetParam())].make();
  StreamPtr s = make_stream(std::get<0>(GetParam()));
  // The second pass uses the lengths measured by the first.
  for (int pass = 0; pass < 2; ++pass) EXPECT_TRUE(inflates_to(run_pass(s.get(), data), data)) << pass;
}

INSTANTIATE_TEST_SUITE_P(Parse, RoundTrip,
                         ::testing::Combine(::testing::Range(0, 4),
                                            ::testing::Range(0, int32_t(std::size(kInputs)))),
                         [](const ::testing::TestParamInfo<std::tuple<int32_t, int32_t>>& info) {
                           return std::string(kStrategyNames[std::get<0>(info.param)]) + "_" +
                                  kInputs[std::get<1>(info.param)].name;
                         });

// Small streams with random contents, block ends (some at 0 or beyond the
// data), strategies and starting tables: every pass inflates back and zlib
// finds each block end where it was set.
TEST(Parse, RandomStreamsAndBlocks) {
  uint32_t x = 2024;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(round);
    const size_t n = next() % 4000;
    const uint32_t alphabet = 1 + next() % 6;
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t r = next();
      if (i > 40 && (r & 7) == 0) {
        const size_t back = 1 + (r >> 3) % 40;
        const size_t len = std::min(n - i, size_t(3 + (r >> 9) % 30));
        for (size_t k = 0; k < len; ++k) data[i + k] = data[i + k - back];
        i += len - 1;
      } else {
        data[i] = uint8_t((r >> 8) % alphabet + ((r & 0x300) == 0 ? 200 : 0));
      }
    }
    StreamPtr s = make_stream(int32_t(next() % 4));
    std::vector<int32_t> ends;
    for (uint32_t k = next() % 5; k > 0; --k) ends.push_back(int32_t(next() % (n + 100)));
    std::sort(ends.begin(), ends.end());
    std::vector<size_t> expected;
    for (int32_t e : ends) expected.push_back(std::min(size_t(e), n));
    ends.push_back(0x7FFFFFFF);
    set_ends(s.get(), ends);
    set_initial_lengths(s.get(), int32_t(next() & 1), next());
    for (int pass = 0; pass < 2; ++pass) {
      const StreamRun run = run_pass(s.get(), data);
      ASSERT_TRUE(inflates_to(run, data));
      ASSERT_EQ(block_ends(run), expected);
    }
  }
}

// The prices the parser gives a block's symbols.
struct Prices {
  int32_t literal[256];
  int32_t length[259];
  int32_t distance[30];
};

Prices prices_of(const int32_t* lengths) {
  const DeflateTables& t = deflate_tables();
  auto price = [](int32_t len, int32_t extra) { return len ? len + extra : 4096; };
  Prices p{};
  for (int b = 0; b < 256; ++b) p.literal[b] = price(lengths[b], 0);
  for (int l = 3; l <= 258; ++l)
    p.length[l] = price(lengths[t.length_entry[l] + 227], t.extra[t.length_entry[l]]);
  for (int c = 0; c < 30; ++c) p.distance[c] = price(lengths[288 + c], t.extra[c]);
  return p;
}

// What the written path cost at those prices; extra bits follow from the symbol.
int64_t written_cost(const int32_t* lengths, const int32_t* counts) {
  const DeflateTables& t = deflate_tables();
  auto price = [](int32_t len, int32_t extra) { return len ? len + extra : 4096; };
  int64_t cost = 0;
  for (int b = 0; b < 256; ++b) cost += int64_t(counts[b]) * price(lengths[b], 0);
  for (int sym = 257; sym <= 285; ++sym)
    cost += int64_t(counts[sym]) * price(lengths[sym], t.extra[sym - 227]);
  for (int c = 0; c < 30; ++c) cost += int64_t(counts[288 + c]) * price(lengths[288 + c], t.extra[c]);
  return cost;
}

// Shortest path over literal and match edges; with nearest_only each length
// takes its nearest distance, otherwise its cheapest.
int64_t brute_force_cost(const std::vector<uint8_t>& data, const Prices& pr, bool nearest_only) {
  const DeflateTables& t = deflate_tables();
  auto code_of = [&t](int32_t d) {  // the last code whose base is not above d
    int32_t c = kDistanceCodes - 1;
    while (t.base[c] > d) --c;
    return c;
  };
  const int32_t n = int32_t(data.size());
  std::vector<uint16_t> match(size_t(n + 1) * size_t(n + 1), 0);  // by (position, distance)
  auto at = [n](int32_t p, int32_t d) { return size_t(p) * size_t(n + 1) + size_t(d); };
  for (int32_t p = n - 1; p >= 0; --p)
    for (int32_t d = 1; d <= p; ++d)
      if (data[size_t(p)] == data[size_t(p - d)])
        match[at(p, d)] = uint16_t(std::min(258, 1 + match[at(p + 1, d)]));
  std::vector<int64_t> best(size_t(n) + 1, INT64_MAX);
  best[0] = 0;
  std::vector<int32_t> per_length(260);
  for (int32_t p = 0; p < n; ++p) {
    const int64_t u = best[size_t(p)];
    best[size_t(p) + 1] = std::min(best[size_t(p) + 1], u + pr.literal[data[size_t(p)]]);
    std::fill(per_length.begin(), per_length.end(), INT32_MAX);
    int32_t filled = 2;
    for (int32_t d = 1; d <= std::min(p, 32768); ++d) {
      const int32_t l = match[at(p, d)];
      const int32_t c = pr.distance[code_of(d)];
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

std::vector<uint8_t> copies(size_t n, uint32_t seed, uint32_t symbols) {
  // Phrases copied from near and far with small edits, so that lengths and
  // distances of every size compete.
  std::vector<uint8_t> v = random_bytes(64, seed);
  for (auto& b : v) b = uint8_t(b % symbols);
  uint32_t x = seed * 2654435761u + 1;
  while (v.size() < n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const size_t from = v.size() - 1 - (x >> 8) % std::min<size_t>(v.size(), 5000);
    for (size_t i = 0; i < 3 + x % 40; ++i) v.push_back(v[from + i]);
    if ((x >> 20) & 1) v.push_back(uint8_t((x >> 24) % symbols));
  }
  v.resize(n);
  return v;
}

const Input kOptimalityInputs[] = {
    {"text", [] { return text_bytes(3000); }},
    {"two_symbols", [] { return copies(2500, 12, 2); }},
    {"copies", [] { return copies(4000, 13, 256); }},
    {"picture", [] { return filtered_picture(40, 10, 14); }},
};

class CostOptimality : public ::testing::TestWithParam<std::tuple<int32_t, uint32_t>> {};

TEST_P(CostOptimality, PathIsShortestOverItsEdges) {
  const std::vector<uint8_t> data = kOptimalityInputs[std::get<0>(GetParam())].make();
  const uint32_t seed = std::get<1>(GetParam());
  for (int32_t strategy : {0, 1}) {
    SCOPED_TRACE(strategy);
    StreamPtr s = make_stream(strategy);
    set_initial_lengths(s.get(), seed != 0, seed);  // seed 0: the fixed tables
    for (int pass = 0; pass < 2; ++pass) {
      const std::vector<int32_t> lengths(s->blocks[0].lengths, s->blocks[0].lengths + kSymbolSlots);
      ASSERT_TRUE(inflates_to(run_pass(s.get(), data), data));
      std::vector<int32_t> counts(s->blocks[0].counts, s->blocks[0].counts + kSymbolSlots);
      counts[256] -= 1;  // the end of block is not part of the path
      const int64_t cost = written_cost(lengths.data(), counts.data());
      const Prices pr = prices_of(lengths.data());
      if (strategy == 1) {
        EXPECT_EQ(cost, brute_force_cost(data, pr, true)) << pass;
      } else {
        // Farther matches with cheaper codes can only help.
        EXPECT_LE(cost, brute_force_cost(data, pr, true)) << pass;
        EXPECT_GE(cost, brute_force_cost(data, pr, false)) << pass;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Parse, CostOptimality,
                         ::testing::Combine(::testing::Range(0, int32_t(std::size(kOptimalityInputs))),
                                            ::testing::Values(0u, 7u, 1234u)));

TEST(Parse, HuffmanOnlyWritesEveryByteAsALiteral) {
  const std::vector<uint8_t> data = text_bytes(5000);
  StreamPtr s = make_stream(3);
  ASSERT_TRUE(inflates_to(run_pass(s.get(), data), data));
  std::vector<int32_t> expected(kSymbolSlots, 0);
  for (uint8_t b : data) expected[b] += 1;
  expected[256] = 1;
  EXPECT_EQ(std::vector<int32_t>(s->blocks[0].counts, s->blocks[0].counts + kSymbolSlots), expected);
}

TEST(Parse, RepeatedByteIsALiteralThenLongestMatchesAtDistanceOne) {
  const std::vector<uint8_t> data(1 + 258 * 40, 0xAB);
  for (int32_t strategy = 0; strategy < 3; ++strategy) {
    StreamPtr s = make_stream(strategy);
    ASSERT_TRUE(inflates_to(run_pass(s.get(), data), data));
    EXPECT_EQ(s->blocks[0].counts[0xAB], 1) << strategy;
    EXPECT_EQ(s->blocks[0].counts[285], 40) << strategy;      // length 258
    EXPECT_EQ(s->blocks[0].counts[288 + 0], 40) << strategy;  // distance 1
  }
}

TEST(Parse, MatchesReachExactly32768Back) {
  // The only earlier copy of the tail sits 32768 bytes back; one byte
  // further there is none and the tail stays literal.
  const std::vector<uint8_t> head = random_bytes(32768, 21);
  for (int32_t strategy = 0; strategy < 3; ++strategy) {
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
        EXPECT_GE(s->blocks[0].counts[288 + 29], 2000 / 258) << strategy;
      }
    }
    EXPECT_LT(sizes[0] + 1800, sizes[1]) << strategy;
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

TEST(Parse, LiteralWithoutCodeIsCoveredByMatches) {
  // Block 1 repeats block 0 and has no code for 'z': a literal priced by its
  // length 0 would look free and be written as nothing.
  const std::vector<uint8_t> phrase = {'a', 'z', 'c', 'z', 'z', 'q', 'r', 's'};
  std::vector<uint8_t> data;
  for (int i = 0; i < 40; ++i) data.insert(data.end(), phrase.begin(), phrase.end());
  for (int32_t strategy = 0; strategy < 3; ++strategy) {
    StreamPtr s = make_stream(strategy);
    set_ends(s.get(), {16, 0x7FFFFFFF});
    set_initial_lengths(s.get(), 0, 0);
    lengths_without(s->blocks[1].lengths, 'z');
    ASSERT_TRUE(inflates_to(run_pass(s.get(), data), data)) << strategy;
    // Seen but never written: a code next time. Longest Match jumps over the
    // covered positions and never sees them.
    if (strategy < 2) {
      EXPECT_EQ(s->blocks[1].counts[int('z')], 1);
    }
  }
}

TEST(Parse, UnavoidableLiteralWithoutCodeMarksThePassInvalid) {
  const std::vector<uint8_t> data = {'a', 'b', 'z', 'c'};
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    StreamPtr s = make_stream(strategy);
    lengths_without(s->blocks[0].lengths, 'z');
    EXPECT_EQ(run_pass(s.get(), data).invalid, 1) << strategy;
    // The next pass has a code for it and is valid again.
    EXPECT_TRUE(inflates_to(run_pass(s.get(), data), data)) << strategy;
  }
}

TEST(Parse, LongPathsOfExpensiveSymbolsStayValid) {
  // A megabyte of literals without a code, 4096 bits each: a block's running
  // cost would pass 2^32 bits if it were never restarted.
  const std::vector<uint8_t> data(1 << 20, 'z');
  StreamPtr s = make_stream(3);
  lengths_without(s->blocks[0].lengths, 'z');
  EXPECT_EQ(run_pass(s.get(), data).invalid, 1);
  EXPECT_TRUE(inflates_to(run_pass(s.get(), data), data));
}

TEST(Parse, SameInputGivesSameBytesWhateverCameBefore) {
  // The end of a stream must not look at window bytes left by earlier ones.
  const std::vector<uint8_t> data = copies(20000, 5, 256);
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    StreamPtr fresh = make_stream(strategy);
    const StreamRun first = run_pass(fresh.get(), data);
    StreamPtr used = make_stream(strategy);
    run_pass(used.get(), random_bytes(70000, 8));
    set_initial_lengths(used.get(), 0, 0);
    EXPECT_TRUE(first.png == run_pass(used.get(), data).png) << strategy;
  }
}

TEST(Parse, WideCostUpdateGivesTheSameBytesAsTheBaseline) {
  // The AVX2 cost-ring update (where the processor has it) must choose what
  // the SSE2 and scalar ones choose, ties included, pass after pass; long
  // matches and runs give pieces of every width and ring wraps.
  const std::vector<std::vector<uint8_t>> inputs = {runs_and_patterns(), copies(60000, 7, 4),
                                                    std::vector<uint8_t>(70000, 0x55), text_bytes(50000)};
  for (int32_t strategy = 0; strategy < 2; ++strategy) {
    for (size_t k = 0; k < inputs.size(); ++k) {
      StreamPtr wide = make_stream(strategy);
      StreamPtr base = make_stream(strategy);
      base->parser->avx2 = 0;
      for (int pass = 0; pass < 3; ++pass) {
        const StreamRun a = run_pass(wide.get(), inputs[k], true);
        const StreamRun b = run_pass(base.get(), inputs[k], true);
        ASSERT_TRUE(a.png == b.png) << strategy << " input " << k << " pass " << pass;
        ASSERT_TRUE(inflates_to(a, inputs[k]));
      }
    }
  }
}

}  // namespace

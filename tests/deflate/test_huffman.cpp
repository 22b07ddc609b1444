#include <gtest/gtest.h>

#include <queue>
#include <vector>

#include "deflate/huffman.h"

namespace {

std::vector<int32_t> lengths_for(const std::vector<int32_t>& counts, int32_t limit = 16, int32_t zl121 = 0) {
  std::vector<int32_t> lengths(counts.size(), -1);
  huffman_code_lengths(counts.data(), int32_t(counts.size()), lengths.data(), limit, zl121);
  return lengths;
}

// Sum of 2^-length over the used symbols, scaled by 2^15: 32768 for a
// complete code.
int64_t kraft(const std::vector<int32_t>& lengths) {
  int64_t sum = 0;
  for (int32_t l : lengths)
    if (l > 0) sum += int64_t(1) << (15 - l);
  return sum;
}

// Cost and depth of an unrestricted optimal code, as a reference for the
// builder.
std::pair<int64_t, int32_t> optimal_code(const std::vector<int32_t>& counts) {
  using Node = std::pair<int64_t, int32_t>;  // weight, depth below
  std::priority_queue<Node, std::vector<Node>, std::greater<>> q;
  for (int32_t c : counts) {
    if (c > 0) q.push({c, 0});
  }
  int64_t cost = 0;
  while (q.size() > 1) {
    const Node a = q.top();
    q.pop();
    const Node b = q.top();
    q.pop();
    cost += a.first + b.first;
    q.push({a.first + b.first, std::max(a.second, b.second) + 1});
  }
  return {cost, q.empty() ? 0 : q.top().second};
}

int64_t cost_of(const std::vector<int32_t>& counts, const std::vector<int32_t>& lengths) {
  int64_t cost = 0;
  for (size_t i = 0; i < counts.size(); ++i)
    if (counts[i] > 0) cost += int64_t(counts[i]) * lengths[i];
  return cost;
}

struct LengthCase {
  const char* name;
  std::vector<int32_t> counts;
  int32_t zl121;
  std::vector<int32_t> expected;
};

class KnownLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(KnownLengths, Match) {
  const LengthCase& c = GetParam();
  EXPECT_EQ(lengths_for(c.counts, 16, c.zl121), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Huffman, KnownLengths,
                         ::testing::Values(LengthCase{"two_of_three", {5, 0, 5}, 0, {1, 0, 1}},
                                           LengthCase{"one_used", {0, 0, 9, 0}, 0, {0, 0, 1, 0}},
                                           LengthCase{"one_used_zl121", {0, 0, 9, 0}, 1, {0, 0, 1, 0}},
                                           LengthCase{"none_used", {0, 0, 0, -3}, 0, {0, 0, 0, 0}},
                                           LengthCase{"none_used_zl121", {0, 0, 0, 0}, 1, {1, 0, 0, 0}},
                                           // Equal weights: the lower-numbered symbols get the shorter codes.
                                           LengthCase{"equal_counts", {4, 4, 4, 4, 4}, 0, {2, 2, 2, 3, 3}},
                                           LengthCase{
                                               "equal_run_after_big", {20, 1, 1, 1, 1}, 0, {1, 3, 3, 3, 3}},
                                           LengthCase{"skewed", {1, 2, 4, 8, 16}, 0, {4, 4, 3, 2, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The distance codes of RFC 1951: code 0 is distance 1, code 4 starts at 5
// with 1 extra bit, code 29 starts at 24577 with 13; every distance falls in
// exactly one code's range and the arithmetic code finder agrees with it.
TEST(Huffman, DistanceCodesCoverEveryDistanceOnce) {
  const DeflateTables& t = deflate_tables();
  EXPECT_EQ(t.base[4], 5);
  EXPECT_EQ(t.extra[4], 1);
  EXPECT_EQ(t.base[29], 24577);
  EXPECT_EQ(t.extra[29], 13);
  int32_t d = 1;
  for (int32_t c = 0; c < kDistanceCodes; ++c) {
    ASSERT_EQ(t.base[c], d) << c;
    for (const int32_t end = d + (1 << t.extra[c]); d < end; ++d) ASSERT_EQ(distance_code(d), c) << d;
  }
  EXPECT_EQ(d, kMaxDistance + 1);
}

TEST(Huffman, FibonacciCountsAreLimited) {
  // Optimal depths would reach 19 for these counts.
  std::vector<int32_t> counts(20);
  int32_t a = 1, b = 1;
  for (auto& c : counts) {
    c = a;
    const int32_t t = a + b;
    a = b;
    b = t;
  }
  const std::vector<int32_t> lengths = lengths_for(counts, 16);
  for (int32_t l : lengths) {
    EXPECT_GE(l, 1);
    EXPECT_LE(l, 15);
  }
  EXPECT_EQ(kraft(lengths), 32768);
  const std::vector<int32_t> short_lengths =
      lengths_for(std::vector<int32_t>(counts.begin(), counts.begin() + 19), 8);
  for (int32_t l : short_lengths) EXPECT_LE(l, 7);
  EXPECT_EQ(kraft(short_lengths), 32768);
}

TEST(Huffman, RandomCountsGiveCompleteOptimalCodes) {
  uint32_t x = 7;
  for (int round = 0; round < 300; ++round) {
    const int32_t n = 2 + int32_t(x % 287);
    std::vector<int32_t> counts(size_t(n), 0);
    for (auto& c : counts) {
      x = x * 1103515245u + 12345u;
      const uint32_t r = x >> 16;
      c = (r & 3) == 0 ? 0 : int32_t(1 + (r % (round % 2 ? 5 : 60000)));
    }
    counts[0] = 1;
    counts[size_t(n) - 1] = 2;
    const std::vector<int32_t> lengths = lengths_for(counts);
    ASSERT_EQ(kraft(lengths), 32768) << "round " << round;
    int32_t longest = 0;
    for (int32_t l : lengths) longest = std::max(longest, l);
    ASSERT_LE(longest, 15);
    // Well below the limit the builder is a plain optimal code; and the
    // result depends only on the counts.
    const auto [cost, depth] = optimal_code(counts);
    if (depth <= 12) {
      EXPECT_EQ(cost_of(counts, lengths), cost) << "round " << round;
    }
    EXPECT_EQ(lengths_for(counts), lengths);
  }
}

// Reads back a dynamic block header with a bit reader of its own.
struct HeaderReader {
  const std::vector<uint8_t>& bytes;
  size_t bit = 0;
  uint32_t get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++bit) v |= uint32_t((bytes[bit >> 3] >> (bit & 7)) & 1) << i;
    return v;
  }
};

struct DecodedHeader {
  int32_t hlit = 0, hdist = 0, hclen = 0;
  std::vector<std::pair<int32_t, int32_t>> symbols;  // code-length symbol, extra value
  std::vector<int32_t> lengths;                      // the expanded sequence
};

DecodedHeader decode_header(const std::vector<uint8_t>& bytes) {
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  HeaderReader r{bytes};
  DecodedHeader h;
  h.hlit = int32_t(r.get(5)) + 257;
  h.hdist = int32_t(r.get(5)) + 1;
  h.hclen = int32_t(r.get(4)) + 4;
  int32_t cl[19] = {};
  for (int i = 0; i < h.hclen; ++i) cl[order[i]] = int32_t(r.get(3));
  // Canonical decoding, most significant code bit first.
  int32_t per_length[8] = {}, next[8] = {};
  for (int32_t l : cl) {
    if (l) per_length[l]++;
  }
  for (int32_t l = 1, code = 0; l < 8; ++l) {
    code = (code + per_length[l - 1]) << 1;
    next[l] = code;
  }
  std::vector<int32_t> code_of(19, -1);
  for (int s = 0; s < 19; ++s)
    if (cl[s]) code_of[size_t(s)] = next[cl[s]]++;
  const size_t total = size_t(h.hlit + h.hdist);
  while (h.lengths.size() < total) {
    int32_t code = 0, sym = -1;
    for (int32_t l = 1; l < 8 && sym < 0; ++l) {
      code = code << 1 | int32_t(r.get(1));
      for (int s = 0; s < 19; ++s)
        if (cl[s] == l && code_of[size_t(s)] == code) sym = s;
    }
    if (sym < 0) break;
    int32_t extra = 0;
    if (sym < 16) {
      h.lengths.push_back(sym);
    } else if (sym == 16) {
      extra = int32_t(r.get(2));
      h.lengths.insert(h.lengths.end(), size_t(3 + extra), h.lengths.empty() ? -1 : h.lengths.back());
    } else if (sym == 17) {
      extra = int32_t(r.get(3));
      h.lengths.insert(h.lengths.end(), size_t(3 + extra), 0);
    } else {
      extra = int32_t(r.get(7));
      h.lengths.insert(h.lengths.end(), size_t(11 + extra), 0);
    }
    h.symbols.push_back({sym, extra});
  }
  return h;
}

DecodedHeader written_header(const std::vector<int32_t>& block_lengths) {
  std::vector<uint8_t> buf(2048, 0);
  BitWriter w{};
  w.kbuf = buf.data();
  w.kbuf_capacity = int32_t(buf.size());
  write_dynamic_header(&w, block_lengths.data());
  put_bits(&w, 0, 7);
  buf.resize(size_t(w.out_count));
  return decode_header(buf);
}

// A literal/length part that is a complete code by itself: 256 literals of 8
// bits but one of 9, plus the end of block at 9.
std::vector<int32_t> base_lengths() {
  std::vector<int32_t> v(320, 0);
  for (int i = 0; i < 256; ++i) v[size_t(i)] = 8;
  v[255] = 9;
  v[256] = 9;
  return v;
}

std::vector<int32_t> expected_sequence(const std::vector<int32_t>& block, int32_t hlit, int32_t hdist) {
  std::vector<int32_t> seq(block.begin(), block.begin() + hlit);
  seq.insert(seq.end(), block.begin() + 288, block.begin() + 288 + hdist);
  return seq;
}

TEST(DynamicHeader, TrimsButKeepsMinimumCounts) {
  const std::vector<int32_t> block = base_lengths();
  const DecodedHeader h = written_header(block);
  EXPECT_EQ(h.hlit, 257);
  EXPECT_EQ(h.hdist, 1);
  EXPECT_EQ(h.lengths, expected_sequence(block, 257, 1));
}

TEST(DynamicHeader, EightAndNineEqualLengthsAfterADifferentValue) {
  using Symbols = std::vector<std::pair<int32_t, int32_t>>;
  const Symbols tails[2] = {{{5, 0}, {6, 0}, {16, 3}, {6, 0}}, {{5, 0}, {6, 0}, {16, 2}, {16, 0}}};
  for (int32_t equal : {8, 9}) {
    // Distances: 5, then the 6s; the sequence runs on from the literals.
    std::vector<int32_t> block = base_lengths();
    block[288] = 5;
    for (int i = 1; i <= equal; ++i) block[size_t(288 + i)] = 6;
    const DecodedHeader h = written_header(block);
    ASSERT_EQ(h.hdist, equal + 1);
    EXPECT_EQ(h.lengths, expected_sequence(block, 257, equal + 1));
    EXPECT_EQ(Symbols(h.symbols.end() - 4, h.symbols.end()), tails[equal - 8]);
  }
}

TEST(DynamicHeader, LongZeroRunsAndRunsAcrossTheParts) {
  std::vector<int32_t> block = base_lengths();
  // Symbols 0..139 unused: 140 zeros = 18 (138 zeros) and two literal zeros.
  for (int i = 0; i < 140; ++i) block[size_t(i)] = 0;
  for (int i = 140; i < 256; ++i) block[size_t(i)] = 7;
  block[256] = 7;
  block[285] = 2;  // lengths 257..284 unused, then a run of zeros across into the distances
  block[288 + 29] = 3;
  DecodedHeader h = written_header(block);
  ASSERT_EQ(h.hlit, 286);
  ASSERT_EQ(h.hdist, 30);
  EXPECT_EQ(h.lengths, expected_sequence(block, 286, 30));
  ASSERT_GE(h.symbols.size(), 3u);
  EXPECT_EQ((std::vector<std::pair<int32_t, int32_t>>(h.symbols.begin(), h.symbols.begin() + 3)),
            (std::vector<std::pair<int32_t, int32_t>>{{18, 127}, {0, 0}, {0, 0}}));
}

}  // namespace

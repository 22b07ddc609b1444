// The whole-stream engine of the search mode: every stream inflates (zlib)
// to its input, the same input gives the same bytes, each search step keeps
// the best of what it had, and the pieces it is built from (match store,
// package-merge lengths, header sequences) agree with slow references.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "deflate/block_cost.h"
#include "deflate/deep_deflate.h"
#include "deflate/huffman.h"
#include "deflate/iterated_parse.h"
#include "deflate/split_search.h"

namespace {

uint32_t step(uint32_t* s) {
  *s = *s * 1664525u + 1013904223u;
  return *s >> 8;
}

std::vector<uint8_t> inflate_raw(const std::vector<uint8_t>& in, size_t expect, bool* ok) {
  std::vector<uint8_t> out(expect + 64);
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  const int r = inflate(&z, Z_FINISH);
  *ok = r == Z_STREAM_END && z.avail_in == 0;
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

struct Sample {
  std::string name;
  std::vector<uint8_t> bytes;
};

// Shapes the engine treats differently: noise, long runs (the run skip and
// the long-run shortcut), short periods, rows that repeat with changes, and
// the smallest inputs.
std::vector<Sample> samples() {
  std::vector<Sample> s;
  uint32_t r = 5;
  s.push_back({"empty", {}});
  s.push_back({"one_byte", {42}});
  s.push_back({"three_equal", {7, 7, 7}});
  {
    std::vector<uint8_t> b(3000);
    for (auto& x : b) x = uint8_t(step(&r));
    s.push_back({"noise", b});
  }
  {
    std::vector<uint8_t> b;
    for (int k = 0; k < 40; ++k) b.insert(b.end(), size_t(1 + step(&r) % 900), uint8_t(step(&r) % 3));
    s.push_back({"runs", b});
  }
  {
    std::vector<uint8_t> b;
    for (int k = 0; k < 6000; ++k) b.push_back(uint8_t(k % 2 ? 0x55 : 0xAA));
    for (int k = 0; k < 3000; ++k) b.push_back(uint8_t(k % 3));
    s.push_back({"periods", b});
  }
  {
    std::vector<uint8_t> row(97);
    std::vector<uint8_t> b;
    for (int y = 0; y < 300; ++y) {
      row[size_t(step(&r) % row.size())] = uint8_t(step(&r));
      b.push_back(0);
      b.insert(b.end(), row.begin(), row.end());
    }
    s.push_back({"rows", b});
  }
  {
    // Long enough for the long-run shortcut and for runs longer than the
    // 16-bit run counters.
    std::vector<uint8_t> b(70000, 0);
    b.insert(b.end(), 500, 1);
    b.insert(b.end(), 70000, 0);
    for (int k = 0; k < 2000; ++k) b.push_back(uint8_t(step(&r) % 4));
    s.push_back({"huge_runs", b});
  }
  return s;
}

class DeepSamples : public ::testing::TestWithParam<Sample> {};

TEST_P(DeepSamples, EveryLevelInflatesToTheInputAndRepeatsItself) {
  const Sample& s = GetParam();
  for (int level : {1, 2, 3, kDeepRankLevel}) {
    DeepSettings settings;
    deep_settings_for_level(level, &settings);
    std::vector<uint8_t> out, again;
    ASSERT_TRUE(deep_deflate(s.bytes.data(), int32_t(s.bytes.size()), &settings, &out, KeyCheckFn{}));
    bool ok = false;
    EXPECT_EQ(inflate_raw(out, s.bytes.size(), &ok), s.bytes) << "level " << level;
    EXPECT_TRUE(ok) << "level " << level;
    ASSERT_TRUE(deep_deflate(s.bytes.data(), int32_t(s.bytes.size()), &settings, &again, KeyCheckFn{}));
    EXPECT_EQ(out, again) << "level " << level;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, DeepSamples, ::testing::ValuesIn(samples()),
                         [](const auto& info) { return info.param.name; });

TEST(DeepDeflate, StreamsLongerThanASegmentStayWhole) {
  // Past the 2 MiB segment, with matches that reach across the cut.
  std::vector<uint8_t> b;
  uint32_t r = 11;
  std::vector<uint8_t> row(1000);
  while (b.size() < (size_t(5) << 20) / 2) {
    row[size_t(step(&r) % row.size())] = uint8_t(step(&r) % 16);
    b.insert(b.end(), row.begin(), row.end());
  }
  DeepSettings settings;
  deep_settings_for_level(1, &settings);
  std::vector<uint8_t> out;
  ASSERT_TRUE(deep_deflate(b.data(), int32_t(b.size()), &settings, &out, KeyCheckFn{}));
  bool ok = false;
  EXPECT_EQ(inflate_raw(out, b.size(), &ok), b);
  EXPECT_TRUE(ok);
}

int stop_now(void*, int) { return 1; }

TEST(DeepDeflate, AStopStillGivesAWholeStream) {
  const std::vector<Sample> all = samples();
  const std::vector<uint8_t>& b = all[6].bytes;
  DeepSettings settings;
  deep_settings_for_level(3, &settings);
  std::vector<uint8_t> out;
  ASSERT_TRUE(deep_deflate(b.data(), int32_t(b.size()), &settings, &out, KeyCheckFn{stop_now, nullptr}));
  bool ok = false;
  EXPECT_EQ(inflate_raw(out, b.size(), &ok), b);
  EXPECT_TRUE(ok);
}

// For every position, the nearest distance of every match length, by brute
// force; the store must list exactly these when its chain is unbounded.
TEST(PairStore, PairsAreTheNearestDistanceOfEveryLength) {
  for (const Sample& s : samples()) {
    if (s.bytes.size() > 20000 || s.bytes.empty()) continue;
    const int32_t n = int32_t(s.bytes.size());
    PairStore st;
    ASSERT_TRUE(build_match_store(s.bytes.data(), 0, 0, n, 1 << 30, &st));
    for (int32_t p = 0; p < n; ++p) {
      std::vector<int32_t> nearest(259, 0);
      const int32_t room = std::min(258, n - p);
      for (int32_t d = 1; d <= std::min(p, 32768); ++d) {
        int32_t l = 0;
        while (l < room && s.bytes[size_t(p + l)] == s.bytes[size_t(p + l - d)]) ++l;
        for (int32_t k = 3; k <= l; ++k)
          if (nearest[size_t(k)] == 0) nearest[size_t(k)] = d;
      }
      std::vector<int32_t> listed(259, 0);
      int32_t below = 2;
      for (uint32_t k = st.offset[size_t(p)]; k < st.offset[size_t(p) + 1]; ++k) {
        const int32_t l = int32_t(st.pairs[k] & 0xFFFF), d = int32_t(st.pairs[k] >> 16);
        for (int32_t x = below + 1; x <= l; ++x) listed[size_t(x)] = d;
        below = l;
      }
      ASSERT_EQ(listed, nearest) << s.name << " position " << p;
    }
  }
}

// With the tree's walk bounded, and on streams longer than the window,
// every pair is still a real match inside the window, lengths and distances
// rising; the nearest pair of each position is at least as near as a
// bounded walk can miss (the node at the root is the previous position of
// the same hash, so a repeat at distance 1 is always found). The noise
// repeated 40,000 bytes later is beyond the window and gives nothing.
TEST(PairStore, BoundedWalksListRealMatchesInsideTheWindow) {
  std::vector<uint8_t> bytes;
  uint32_t r = 5;
  // Noise of 40 KB, then the same noise again (distances beyond the
  // window), then runs and a repeated stretch 9 KB back.
  for (int32_t i = 0; i < 40000; ++i) bytes.push_back(uint8_t(step(&r) >> 13));
  for (int32_t i = 0; i < 40000; ++i) bytes.push_back(bytes[size_t(i)]);
  for (int32_t i = 0; i < 3000; ++i) bytes.push_back(uint8_t(i / 700));
  for (int32_t i = 0; i < 5000; ++i) bytes.push_back(bytes[bytes.size() - 9000]);
  const int32_t n = int32_t(bytes.size());
  for (const int32_t depth : {1, 4, 32}) {
    for (const int32_t begin : {0, 30000}) {
      PairStore st;
      ASSERT_TRUE(build_match_store(bytes.data(), begin > 0 ? begin - 20000 : 0, begin, n, depth, &st));
      int64_t found = 0;
      for (int32_t p = begin; p < n; ++p) {
        int32_t last_len = 2, last_d = 0;
        for (uint32_t k = st.offset[size_t(p - begin)]; k < st.offset[size_t(p - begin) + 1]; ++k) {
          const int32_t l = int32_t(st.pairs[k] & 0xFFFF), d = int32_t(st.pairs[k] >> 16);
          ASSERT_GT(l, last_len) << depth << " " << p;
          ASSERT_GT(d, last_d) << depth << " " << p;
          ASSERT_LE(d, 32768) << depth << " " << p;
          ASSERT_GE(p - d, begin > 0 ? begin - 20000 : 0);
          ASSERT_LE(p + l, n);
          ASSERT_EQ(std::memcmp(bytes.data() + p, bytes.data() + p - d, size_t(l)), 0) << depth << " " << p;
          last_len = l, last_d = d;
          ++found;
        }
        // Inside the runs a bounded walk still finds distance 1.
        if (p >= 80001 && p + 3 <= 80000 + 700 && depth >= 1) {
          ASSERT_LT(st.offset[size_t(p - begin)], st.offset[size_t(p - begin) + 1]) << p;
          EXPECT_EQ(st.pairs[st.offset[size_t(p - begin)]] >> 16, 1u) << p;
        }
      }
      // The runs and the stretch repeated from 9 KB back: 8,000 positions
      // (a walk of one node meets a hash collision of the noise first at
      // some of them).
      EXPECT_GT(found, depth == 1 ? 7000 : 7900) << depth;
    }
  }
}

int64_t weighted(const int32_t* counts, const int32_t* lengths, int32_t n) {
  int64_t t = 0;
  for (int32_t i = 0; i < n; ++i) t += int64_t(counts[i]) * lengths[i];
  return t;
}

TEST(PackageMerge, LengthsAreCompleteWithinTheLimitAndNoWorseThanTheHeapCode) {
  uint32_t r = 3;
  for (int trial = 0; trial < 300; ++trial) {
    // The code-length alphabet (limit 7) has 19 symbols; the others up to 288.
    const bool short_codes = trial % 3 == 0;
    const int32_t n = short_codes ? 2 + int32_t(step(&r) % 18) : 2 + int32_t(step(&r) % 287);
    std::vector<int32_t> counts(static_cast<size_t>(n));
    for (auto& c : counts) {
      const uint32_t k = step(&r) % 10;
      // Skewed counts (powers of large ratios) push plain Huffman codes past the limit.
      c = k < 3 ? 0 : int32_t(1 + (step(&r) % 4 == 0 ? step(&r) % 1000000 : step(&r) % 8));
    }
    const int32_t limit = short_codes ? 7 : 15;
    std::vector<int32_t> lengths(static_cast<size_t>(n)), reference(static_cast<size_t>(n));
    limited_code_lengths(counts.data(), n, limit, lengths.data());
    int32_t used = 0;
    double kraft = 0.0;
    for (int32_t i = 0; i < n; ++i) {
      EXPECT_EQ(lengths[size_t(i)] > 0, counts[size_t(i)] > 0);
      EXPECT_LE(lengths[size_t(i)], limit);
      if (lengths[size_t(i)] > 0) ++used, kraft += std::ldexp(1.0, -lengths[size_t(i)]);
    }
    if (used >= 2) {
      EXPECT_DOUBLE_EQ(kraft, 1.0);
    }
    huffman_code_lengths(counts.data(), n, reference.data(), limit + 1, 0);
    EXPECT_LE(weighted(counts.data(), lengths.data(), n), weighted(counts.data(), reference.data(), n));
  }
}

// Decodes a header sequence back into code lengths.
std::vector<int32_t> expand(const HeaderSequence& h) {
  std::vector<int32_t> out;
  for (int32_t i = 0; i < h.count; ++i) {
    const int32_t s = h.symbol[i], e = h.extra[i];
    if (s < 16) out.push_back(s);
    else if (s == 16) out.insert(out.end(), size_t(3 + e), out.back());
    else if (s == 17) out.insert(out.end(), size_t(3 + e), 0);
    else out.insert(out.end(), size_t(11 + e), 0);
  }
  return out;
}

TEST(HeaderSequence, EveryModeCodesTheLengthsItWasGiven) {
  uint32_t r = 8;
  for (int trial = 0; trial < 200; ++trial) {
    int32_t litlen[kLitLenSlots] = {}, dist[kDistSlots] = {};
    const int32_t v = int32_t(step(&r) % 4);
    for (int32_t i = 0; i < 286; ++i) litlen[i] = step(&r) % 3 == 0 ? 0 : (v == 0 ? int32_t(step(&r) % 16) : 8);
    for (int32_t i = 0; i < 30; ++i) dist[i] = step(&r) % 2 ? 0 : int32_t(1 + step(&r) % 15);
    for (int32_t mode = 0; mode < 8; ++mode) {
      HeaderSequence h;
      header_sequence(litlen, dist, mode, &h);
      std::vector<int32_t> want(litlen, litlen + h.hlit);
      want.insert(want.end(), dist, dist + h.hdist);
      EXPECT_EQ(expand(h), want) << "mode " << mode;
      for (int32_t i = 0; i < h.count; ++i) {
        if (h.symbol[i] == 16) {
          EXPECT_TRUE(mode & 1);
        }
        if (h.symbol[i] == 17) {
          EXPECT_TRUE(mode & 2);
        }
        if (h.symbol[i] == 18) {
          EXPECT_TRUE(mode & 4);
        }
      }
    }
  }
}

TEST(KeepBest, EachStepIsNoLargerThanWhatItStartedFrom) {
  for (const Sample& s : samples()) {
    const int32_t n = int32_t(s.bytes.size());
    if (n < 100) continue;
    PairStore st;
    ASSERT_TRUE(build_match_store(s.bytes.data(), 0, 0, n, 4096, &st));
    ParseScratch scratch;
    // The hint is a parse the search must not lose to, even a poor one.
    std::vector<uint32_t> literals, best;
    for (uint8_t b : s.bytes) literals.push_back(literal_item(b));
    SymbolCounts counts{};
    count_items(literals.data(), n, &counts);
    counts.litlen[kEndOfBlock] += 1;
    const int64_t literal_bits = best_block_bits(&counts, nullptr);
    ParseEffort effort{1 << 1, 6, 2, 1, 1, 1, 0};
    const int64_t bits = iterated_parse(&st, 0, n, &effort, &literals, &scratch, &best, KeyCheckFn{});
    EXPECT_LE(bits, literal_bits) << s.name;
    // More starts never end larger: the search keeps the best of all starts.
    ParseEffort more = effort;
    more.starts = 0x1F;
    std::vector<uint32_t> best_more;
    EXPECT_LE(iterated_parse(&st, 0, n, &more, &literals, &scratch, &best_more, KeyCheckFn{}), bits) << s.name;
    // The split search returns a layout no larger than one block.
    std::vector<int32_t> layout;
    const int64_t split = split_search(best.data(), int32_t(best.size()), 1, &layout, KeyCheckFn{});
    EXPECT_LE(split, layout_bits(best.data(), int32_t(best.size()), {0})) << s.name;
    EXPECT_EQ(split, layout_bits(best.data(), int32_t(best.size()), layout)) << s.name;
    ASSERT_FALSE(layout.empty());
    EXPECT_EQ(layout[0], 0);
    EXPECT_TRUE(std::is_sorted(layout.begin(), layout.end()));
  }
}

TEST(BlockCost, TheChosenCodeIsNoLargerThanThePlainOptimalOne) {
  uint32_t r = 21;
  for (int trial = 0; trial < 100; ++trial) {
    SymbolCounts c{};
    for (int32_t i = 0; i < 286; ++i) c.litlen[i] = step(&r) % 4 == 0 ? 0 : int32_t(step(&r) % (trial + 2));
    for (int32_t i = 0; i < 30; ++i) c.dist[i] = step(&r) % 3 == 0 ? 0 : int32_t(step(&r) % 50);
    c.litlen[kEndOfBlock] = 1;
    int32_t litlen[kLitLenSlots] = {}, dist[kDistSlots] = {};
    limited_code_lengths(c.litlen, 286, 15, litlen);
    limited_code_lengths(c.dist, 30, 15, dist);
    bool any = false;
    for (int32_t i = 0; i < 30; ++i) any |= dist[i] > 0;
    if (!any) dist[0] = 1;
    const int64_t plain = 3 + dynamic_header_bits(litlen, dist, 7) + symbol_bits(&c, litlen, dist);
    BlockCode code;
    EXPECT_LE(best_block_bits(&c, &code), plain);
  }
}

}  // namespace

namespace {

// Filtered bytes of a noisy gradient with transparent stretches, as the
// glow-like pictures give them: small signed differences of skewed
// frequency, so that 3- and 4-byte matches turn up by chance everywhere and
// cost more than the literals they replace; long zero runs between.
std::vector<uint8_t> noisy_detail(size_t n) {
  std::vector<uint8_t> b;
  uint32_t r = 77;
  while (b.size() < n) {
    if (step(&r) % 40 == 0) {
      b.insert(b.end(), size_t(50 + step(&r) % 400), 0);
      continue;
    }
    const uint32_t u = step(&r) % 1000;
    const int32_t mag = u < 400 ? 0 : u < 700 ? 1 : u < 850 ? 2 : u < 930 ? 3 : int32_t(4 + step(&r) % 12);
    b.push_back(uint8_t(step(&r) % 2 ? mag : -mag));
  }
  b.resize(n);
  return b;
}

size_t zlib_run_length_size(const std::vector<uint8_t>& in) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_RLE);
  std::vector<uint8_t> out(deflateBound(&z, uLong(in.size())));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  const size_t size = z.total_out;
  deflateEnd(&z);
  return size;
}

}  // namespace

TEST(QuickLevel, NoisyDetailEndsNoLargerThanARunLengthCoder) {
  // A quick parse that only ever starts from matches keeps the chance
  // matches and ends above a coder that takes runs only.
  const std::vector<uint8_t> b = noisy_detail(400000);
  DeepSettings settings;
  deep_settings_for_level(1, &settings);
  std::vector<uint8_t> out;
  ASSERT_TRUE(deep_deflate(b.data(), int32_t(b.size()), &settings, &out, KeyCheckFn{}));
  bool ok = false;
  EXPECT_EQ(inflate_raw(out, b.size(), &ok), b);
  EXPECT_TRUE(ok);
  EXPECT_LE(out.size(), zlib_run_length_size(b));
}

TEST(QuickLevel, TakingLongMatchesWholeKeepsEveryParseExact) {
  // Matches that end at the block's end, reach its end from inside a run,
  // or are cut by it: every skip must land on a reachable position.
  for (const Sample& s : samples()) {
    const int32_t n = int32_t(s.bytes.size());
    if (n < 3) continue;
    PairStore st;
    ASSERT_TRUE(build_match_store(s.bytes.data(), 0, 0, n, 64, &st));
    ParseScratch scratch;
    for (int32_t skip : {3, 16, 258}) {
      ParseEffort effort{(1 << 1) | (1 << 2), 2, 1, 0, 0, 1, skip};
      std::vector<uint32_t> best;
      for (int32_t a : {0, n / 3}) {
        iterated_parse(&st, a, n, &effort, nullptr, &scratch, &best, KeyCheckFn{});
        int32_t at = a;
        for (uint32_t it : best) {
          const int32_t l = item_length(it), v = item_value(it);
          if (l == 1) {
            ASSERT_EQ(s.bytes[size_t(at)], v) << s.name;
          } else {
            ASSERT_TRUE(v >= 1 && at - v >= 0 && at + l <= n) << s.name;
            ASSERT_EQ(std::memcmp(s.bytes.data() + at, s.bytes.data() + at - v, size_t(l)), 0) << s.name;
          }
          at += l;
        }
        EXPECT_EQ(at, n) << s.name << " skip " << skip;
      }
    }
  }
}

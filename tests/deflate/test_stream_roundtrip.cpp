#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "deflate/deflate_stream.h"
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

void expect_inflates_to(const StreamRun& run, const std::vector<uint8_t>& data) {
  ASSERT_EQ(run.invalid, 0);
  std::vector<uint8_t> back;
  ASSERT_TRUE(zlib_inflate(run.zlib(), run.zlib_size(), &back));
  ASSERT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
}

struct Input {
  const char* name;
  std::vector<uint8_t> (*make)();
};

const Input kInputs[] = {
    {"empty", [] { return std::vector<uint8_t>(); }},
    {"one_byte", [] { return std::vector<uint8_t>{0x41}; }},
    {"two_bytes",
     [] {
       return std::vector<uint8_t>{0x41, 0x41};
     }},
    {"three_equal",
     [] {
       return std::vector<uint8_t>{7, 7, 7};
     }},
    {"repeated_byte", [] { return repeating(100000, 0x55); }},
    {"random", [] { return random_bytes(70000, 99); }},
    {"text", [] { return text_bytes(200000); }},
    {"picture", [] { return filtered_picture(300, 200, 5); }},
    {"far_matches",
     [] {
       // A random 40000-byte stretch repeated: copies sit at distance
       // exactly 32768 in places and beyond reach in others.
       std::vector<uint8_t> a = random_bytes(40000, 3);
       std::vector<uint8_t> v(a.begin(), a.begin() + 32768);
       v.insert(v.end(), a.begin(), a.end());
       v.insert(v.end(), a.begin(), a.begin() + 1000);
       return v;
     }},
    {"runs_and_patterns",
     [] {
       std::vector<uint8_t> v;
       for (int i = 0; i < 700; ++i) {
         v.insert(v.end(), size_t(i % 300), uint8_t(i % 3));
         v.push_back(uint8_t(i));
         v.push_back(uint8_t(i >> 3));
       }
       return v;
     }},
};

const char* const kStrategyNames[] = {"xtreme", "intense", "longest", "huffman"};

std::string case_name(const ::testing::TestParamInfo<std::tuple<int32_t, int32_t>>& info) {
  return std::string(kStrategyNames[std::get<0>(info.param)]) + "_" + kInputs[std::get<1>(info.param)].name;
}

class RoundTrip : public ::testing::TestWithParam<std::tuple<int32_t, int32_t>> {};

TEST_P(RoundTrip, InflatesBackOverSeveralPasses) {
  const int32_t strategy = std::get<0>(GetParam());
  const Input& in = kInputs[std::get<1>(GetParam())];
  const std::vector<uint8_t> data = in.make();
  StreamPtr s = make_stream(strategy);
  // Later passes use the lengths measured by earlier ones.
  for (int pass = 0; pass < 3; ++pass) {
    SCOPED_TRACE(pass);
    StreamRun run = run_pass(s.get(), data);
    expect_inflates_to(run, data);
  }
}

INSTANTIATE_TEST_SUITE_P(AllStrategies, RoundTrip,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3),
                                            ::testing::Range(0, int32_t(std::size(kInputs)))),
                         case_name);

}  // namespace

namespace {

// Many small streams with random contents, block ends, strategies and
// starting tables: the stream must always inflate back and stop at every
// block end.
TEST(RoundTripSweep, RandomStreamsAndBlocks) {
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
      // Mostly a few symbols, with runs and copies.
      const uint32_t r = next();
      if (i > 40 && (r & 7) == 0) {
        const size_t back = 1 + (r >> 3) % 40;
        const size_t len = std::min(n - i, size_t(3 + (r >> 9) % 30));
        for (size_t k = 0; k < len; ++k, ++i) data[i] = data[i - back];
        --i;
      } else {
        data[i] = uint8_t((r >> 8) % alphabet + ((r & 0x300) == 0 ? 200 : 0));
      }
    }
    StreamPtr s = make_stream(int32_t(next() % 4));
    const int32_t blocks = 1 + int32_t(next() % 5);
    std::vector<int32_t> ends;
    for (int32_t k = 0; k + 1 < blocks; ++k) ends.push_back(int32_t(next() % (n + 1)));
    std::sort(ends.begin(), ends.end());
    ends.push_back(0x7FFFFFFF);
    s->block_count = blocks;
    for (int32_t k = 0; k < blocks; ++k) s->blocks[k].end = ends[size_t(k)];
    set_initial_lengths(s.get(), int32_t(next() & 1), next());
    for (int pass = 0; pass < 2; ++pass) {
      const StreamRun run = run_pass(s.get(), data);
      ASSERT_EQ(run.invalid, 0);
      std::vector<uint8_t> back;
      ASSERT_TRUE(zlib_inflate(run.zlib(), run.zlib_size(), &back));
      ASSERT_TRUE(back == data);
      std::vector<size_t> expected;
      for (int32_t k = 0; k + 1 < blocks; ++k)
        expected.push_back(size_t(std::min<int64_t>(ends[size_t(k)], int64_t(n))));
      ASSERT_EQ(block_ends(run), expected);
    }
  }
}

}  // namespace

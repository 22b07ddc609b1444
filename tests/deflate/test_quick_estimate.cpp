// The quick estimate ranks streams before the real compressor sees them: it
// must land near what a real deflate makes of the same bytes, price a split
// that separates unlike data below no split, and a trial parse undone must
// leave the chains exactly as they were.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "deflate/quick_estimate.h"

namespace {

std::vector<uint8_t> make_stream(const std::string& kind, size_t n) {
  std::vector<uint8_t> v(n);
  uint32_t s = 12345;
  for (size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    if (kind == "zeros") v[i] = 0;
    else if (kind == "noise") v[i] = uint8_t(s >> 24);
    else if (kind == "text") v[i] = uint8_t("the quick brown fox jumps over the lazy dog, "[(i * 7 / 5) % 45]);
    else if (kind == "gradient") v[i] = uint8_t((i % 97) + ((s >> 28) & 3));
    else v[i] = uint8_t((s >> 24) & 7);  // few symbols, no repeats
  }
  return v;
}

size_t zlib_size(const std::vector<uint8_t>& v) {
  uLongf size = compressBound(uLong(v.size()));
  std::vector<uint8_t> out(size);
  EXPECT_EQ(compress2(out.data(), &size, v.data(), uLong(v.size()), 9), Z_OK);
  return size;
}

class QuickEstimateNearZlib : public ::testing::TestWithParam<std::string> {};

TEST_P(QuickEstimateNearZlib, WithinAFewPercentOrBytes) {
  for (size_t n : {size_t(1), size_t(300), size_t(70000)}) {
    const std::vector<uint8_t> v = make_stream(GetParam(), n);
    const int64_t estimate = quick_estimate_bytes(v.data(), int32_t(v.size()), 32);
    const double z = double(zlib_size(v));
    EXPECT_GT(estimate, 0);
    // A greedy parse finds what zlib's lazy parse finds, give or take.
    EXPECT_LT(std::abs(double(estimate) - z), 0.15 * z + 40) << GetParam() << " n=" << n << " zlib=" << z;
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, QuickEstimateNearZlib,
                         ::testing::Values("zeros", "noise", "text", "gradient", "few"));

TEST(QuickEstimate, SplittingUnlikeHalvesPaysAndOneBlockIsTheWholeEstimate) {
  std::vector<uint8_t> v = make_stream("few", 40000);
  const std::vector<uint8_t> text = make_stream("text", 40000);
  v.insert(v.end(), text.begin(), text.end());
  const int32_t n = int32_t(v.size());
  const int32_t whole[] = {n};
  const int32_t halves[] = {40000, n};
  const int64_t one = quick_estimate_blocks(v.data(), n, whole, 1, 32);
  EXPECT_EQ(one, quick_estimate_bytes(v.data(), n, 32));
  EXPECT_LT(quick_estimate_blocks(v.data(), n, halves, 2, 32), one);
  // Ends past the data are clamped, not read.
  const int32_t wild[] = {n + 1000, n + 5};
  EXPECT_GT(quick_estimate_blocks(v.data(), n, wild, 2, 32), 0);
}

TEST(QuickMatcher, UndoneTrialLeavesTheChainsAsTheyWere) {
  const std::vector<uint8_t> v = make_stream("gradient", 5000);
  auto fresh = std::make_unique<QuickMatcher>();
  auto tried = std::make_unique<QuickMatcher>();
  quick_matcher_reset(fresh.get(), 16);
  quick_matcher_reset(tried.get(), 16);
  QuickTally a{}, b{}, scratch{};
  ASSERT_TRUE(quick_parse(fresh.get(), v.data(), 0, 3000, &a));
  ASSERT_TRUE(quick_parse(tried.get(), v.data(), 0, 3000, &b));
  const int32_t inserted = tried->inserted_to;
  tried->recording = true;
  ASSERT_TRUE(quick_parse(tried.get(), v.data(), 3000, 5000, &scratch));
  quick_matcher_undo(tried.get(), inserted);
  tried->recording = false;
  QuickTally next_fresh{}, next_tried{};
  ASSERT_TRUE(quick_parse(fresh.get(), v.data(), 3000, 5000, &next_fresh));
  ASSERT_TRUE(quick_parse(tried.get(), v.data(), 3000, 5000, &next_tried));
  EXPECT_EQ(0, std::memcmp(&next_fresh, &next_tried, sizeof next_fresh));
  EXPECT_EQ(0, std::memcmp(&next_fresh, &scratch, sizeof scratch));
  quick_matcher_free(fresh.get());
  quick_matcher_free(tried.get());
}

}  // namespace

// The exhaustive level's last runs: where the ranking leaves two candidates
// close together, both get the full engine, and the picture written is the
// smaller of them whatever the worker count; where one is far ahead, only it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "encode/encode_png.h"
#include "encode/search.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

int collect(void* user, const char* format, va_list args) {
  char line[512];
  const int n = std::vsnprintf(line, sizeof line, format, args);
  static_cast<std::string*>(user)->append(line);
  return n;
}

struct LastRuns {
  std::vector<uint8_t> png;
  std::vector<int32_t> full_sizes;  // sizes of the candidates the level-3 engine made
  std::vector<int32_t> ranked;      // sizes of the ranking runs
};

// The sizes at the ends of the -v lines of the candidates with this engine mark.
std::vector<int32_t> candidate_sizes(const std::string& log, const char* mark) {
  std::vector<int32_t> sizes;
  size_t at = 0;
  while ((at = log.find(mark, at)) != std::string::npos) {
    const size_t end = log.find('\n', at);
    const std::string line = log.substr(at, end - at);
    size_t first = line.find_last_of("0123456789");
    while (first > 0 && line[first - 1] >= '0' && line[first - 1] <= '9') --first;
    sizes.push_back(std::atoi(line.c_str() + first));
    at = end;
  }
  return sizes;
}

LastRuns run_level3(const TestPicture& p, int32_t threads) {
  std::string log;
  SearchRequest r{};
  r.level = 3;
  r.threads = threads;
  r.verbose = 1;
  r.print = PrintFn{collect, &log};
  EncodeOptions o = default_options(p, -1);
  const int32_t size = search_png(&o, &r);
  LastRuns out;
  if (size != kNoPng) out.png.assign(o.kbuf, o.kbuf + size);
  std::free(o.kbuf);
  out.full_sizes = candidate_sizes(log, " z3 ");
  out.ranked = candidate_sizes(log, " z4 ");
  return out;
}

TEST(SearchLastRuns, CloseRunnersUpAreFinishedAndTheSmallestIsWrittenWhateverTheWorkers) {
  // Noise: every filter leaves about as many bytes, so the ranking is close.
  TestPicture noise = make_picture(40, 24);
  uint32_t state = 7;
  for (auto& px : noise.pixels) px = 0xFF000000u | (next_random(&state) & 0xFFFFFF);
  const LastRuns one = run_level3(noise, 1);
  const LastRuns three = run_level3(noise, 3);
  ASSERT_FALSE(one.png.empty());
  EXPECT_TRUE(png_shows(one.png, noise.width, noise.height, noise.pixels));
  EXPECT_EQ(one.png, three.png);
  ASSERT_EQ(one.full_sizes.size(), 2u);
  EXPECT_EQ(one.full_sizes, three.full_sizes);
  // The written file holds the smaller IDAT; its size is at most the
  // smaller candidate's.
  EXPECT_LE(int32_t(one.png.size()), std::min(one.full_sizes[0], one.full_sizes[1]));

  // A gradient with a little noise: one filter is well ahead of the others.
  TestPicture ramp = make_picture(64, 48);
  for (int32_t y = 0; y < 48; ++y)
    for (int32_t x = 0; x < 64; ++x) {
      const uint32_t v = uint32_t(x * 3 + y * 2) + (next_random(&state) & 3);
      ramp.pixels[size_t(y * 64 + x)] = 0xFF000000u | (v & 0xFF) << 16 | ((v + 40) & 0xFF) << 8 | ((v * 2) & 0xFF);
    }
  const LastRuns r1 = run_level3(ramp, 1);
  ASSERT_FALSE(r1.png.empty());
  EXPECT_TRUE(png_shows(r1.png, ramp.width, ramp.height, ramp.pixels));
  EXPECT_EQ(r1.png, run_level3(ramp, 3).png);
  EXPECT_EQ(r1.full_sizes.size(), 1u);
  ASSERT_GE(r1.ranked.size(), 2u);
}

}  // namespace

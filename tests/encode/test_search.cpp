// The search mode on pictures of every colour situation: whatever it picks
// must be the picture (libpng decodes it pixel for pixel), its bytes must not
// depend on the worker count, dimensions the user fixed stay fixed, "-a"
// changes nothing but the colour of fully transparent pixels, and the
// caller's check and stop key are obeyed.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "encode/encode_png.h"
#include "encode/search.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

struct SearchRun {
  int32_t result = kNoPng;
  std::vector<uint8_t> png;
  EncodeOptions options{};
};

SearchRun run_search(const TestPicture& p, SearchRequest request,
                     const std::function<void(EncodeOptions&)>& tweak = nullptr) {
  SearchRun run;
  run.options = default_options(p, -1);
  if (tweak) tweak(run.options);
  if (request.threads < 1) request.threads = 1;
  run.result = search_png(&run.options, &request);
  if (run.result != kNoPng) {
    EXPECT_NE(run.options.kbuf, nullptr);
    EXPECT_LE(run.result, run.options.kbuf_capacity);
    run.png.assign(run.options.kbuf, run.options.kbuf + run.result);
  }
  std::free(run.options.kbuf);
  run.options.kbuf = nullptr;
  return run;
}

SearchRequest level(int32_t l, int32_t threads = 1) {
  SearchRequest r{};
  r.level = l;
  r.threads = threads;
  return r;
}

int32_t ihdr_colour_type(const std::vector<uint8_t>& png) { return png.size() > 25 ? png[25] : -1; }
int32_t ihdr_depth(const std::vector<uint8_t>& png) { return png.size() > 24 ? png[24] : -1; }

struct SearchCase {
  std::string name;
  TestPicture picture;
  std::vector<int32_t> types;  // colour types the picture may end up in
};

std::vector<SearchCase> search_cases() {
  std::vector<SearchCase> cases;
  uint32_t state = 99;
  {
    TestPicture p = make_picture(24, 20);
    for (int32_t i = 0; i < 24 * 20; ++i) p.pixels[size_t(i)] = ((i / 24 + i % 24) / 3) & 1 ? 0xFFFFFFFFu : 0xFF000000u;
    cases.push_back({"two_levels", p, {0, 3}});
  }
  {
    TestPicture p = make_picture(40, 30);
    for (int32_t i = 0; i < 40 * 30; ++i) p.pixels[size_t(i)] = 0xFF000000u | 0x010101u * uint32_t((i * 7) % 256);
    for (int32_t i = 0; i < 40 * 30; i += 13) p.pixels[size_t(i)] = 0x00010101u * 3;
    cases.push_back({"gray_with_key", p, {0, 3, 4}});
  }
  {
    TestPicture p = make_picture(33, 17);
    for (auto& px : p.pixels) {
      const uint32_t k = next_random(&state) % 40;
      px = (k < 6 ? uint32_t(k * 40) << 24 : 0xFF000000u) | (k * 0x0B1D07u & 0xFFFFFF);
    }
    cases.push_back({"translucent_palette", p, {3, 6}});
  }
  {
    TestPicture p = make_picture(50, 21);
    for (int32_t i = 0; i < 50 * 21; ++i)
      p.pixels[size_t(i)] = 0xFF000000u | uint32_t(i % 50) * 5 << 16 | uint32_t(i / 50) * 12 << 8 | (next_random(&state) & 7);
    cases.push_back({"many_rgb", p, {2}});
  }
  {
    TestPicture p = make_picture(30, 30);
    for (int32_t i = 0; i < 900; ++i)
      p.pixels[size_t(i)] = uint32_t(i % 256) << 24 | uint32_t(i % 30) * 8 << 16 | uint32_t(i / 30) * 8 << 8 | 0x40;
    cases.push_back({"rgba", p, {6}});
  }
  {
    TestPicture p = make_picture(32, 32);
    for (int32_t i = 0; i < 1024; ++i) p.pixels[size_t(i)] = uint32_t(i % 251) << 24 | 0x010101u * uint32_t(i / 4);
    cases.push_back({"gray_alpha", p, {4}});
  }
  return cases;
}

class SearchPictures : public ::testing::TestWithParam<SearchCase> {};

TEST_P(SearchPictures, EveryLevelKeepsThePictureWhateverTheWorkers) {
  const SearchCase& c = GetParam();
  for (int32_t l = 1; l <= kMaxSearchLevel; ++l) {
    const SearchRun one = run_search(c.picture, level(l, 1));
    ASSERT_NE(one.result, kNoPng) << "level " << l;
    EXPECT_TRUE(png_shows(one.png, c.picture.width, c.picture.height, c.picture.pixels)) << "level " << l;
    EXPECT_NE(std::find(c.types.begin(), c.types.end(), ihdr_colour_type(one.png)), c.types.end())
        << "level " << l << " type " << ihdr_colour_type(one.png);
    EXPECT_EQ(one.options.chosen_colour_type, ihdr_colour_type(one.png));
    const SearchRun three = run_search(c.picture, level(l, 3));
    EXPECT_EQ(one.png, three.png) << "level " << l;
  }
}

INSTANTIATE_TEST_SUITE_P(Pictures, SearchPictures, ::testing::ValuesIn(search_cases()),
                         [](const auto& info) { return info.param.name; });

// The row filter types of a single-IDAT PNG, inflated with zlib.
std::vector<int32_t> row_filters(const std::vector<uint8_t>& png, int32_t row_bytes, int32_t height) {
  std::vector<uint8_t> idat;
  for (const PngChunk& c : split_chunks(png))
    if (c.type == "IDAT") idat.insert(idat.end(), c.data.begin(), c.data.end());
  std::vector<uint8_t> raw(size_t(row_bytes + 1) * size_t(height));
  uLongf size = uLongf(raw.size());
  EXPECT_EQ(uncompress(raw.data(), &size, idat.data(), uLong(idat.size())), Z_OK);
  std::vector<int32_t> types;
  for (int32_t y = 0; y < height; ++y) types.push_back(raw[size_t(y) * size_t(row_bytes + 1)]);
  return types;
}

TEST(Search, FixedDimensionsStayFixed) {
  const std::vector<SearchCase> cases = search_cases();
  const TestPicture& rgb = cases[3].picture;
  SearchRequest r = level(2);
  r.fixed_colour_type = 1;
  r.fixed_filter = 1;
  const SearchRun run = run_search(rgb, r, [](EncodeOptions& o) {
    o.colour_type = 6;
    o.filter = 2;
  });
  ASSERT_NE(run.result, kNoPng);
  EXPECT_EQ(ihdr_colour_type(run.png), 6);
  EXPECT_TRUE(png_shows(run.png, rgb.width, rgb.height, rgb.pixels));
  for (int32_t t : row_filters(run.png, rgb.width * 4, rgb.height)) EXPECT_EQ(t, 2);

  // A fixed depth for a palette picture, a fixed colour type it cannot take.
  const TestPicture& levels = cases[0].picture;
  SearchRequest d = level(2);
  d.fixed_colour_type = 1;
  d.fixed_bit_depth = 1;
  const SearchRun pal = run_search(levels, d, [](EncodeOptions& o) {
    o.colour_type = 3;
    o.bit_depth = 4;
  });
  ASSERT_NE(pal.result, kNoPng);
  EXPECT_EQ(ihdr_colour_type(pal.png), 3);
  EXPECT_EQ(ihdr_depth(pal.png), 4);
  EXPECT_TRUE(png_shows(pal.png, levels.width, levels.height, levels.pixels));
  EXPECT_EQ(run_search(rgb, d, [](EncodeOptions& o) { o.colour_type = 0; }).result, kNoPng);
}

TEST(Search, ClearPixelsMayChangeColourOnlyWithAlphaFree) {
  TestPicture p = make_picture(40, 40);
  uint32_t state = 5;
  for (int32_t i = 0; i < 1600; ++i) {
    const bool clear = ((i % 40) / 8 + (i / 40) / 8) % 2 == 0;
    p.pixels[size_t(i)] = clear ? next_random(&state) & 0x00FFFFFFu : 0xFF204080u + uint32_t(i % 3);
  }
  const SearchRun kept = run_search(p, level(1));
  ASSERT_NE(kept.result, kNoPng);
  EXPECT_TRUE(png_shows(kept.png, p.width, p.height, p.pixels));
  SearchRequest r = level(1);
  r.alpha_free = 1;
  const SearchRun freed = run_search(p, r);
  ASSERT_NE(freed.result, kNoPng);
  EXPECT_LT(freed.result, kept.result);
  OraclePicture decoded;
  ASSERT_TRUE(libpng_decode(freed.png, &decoded));
  ASSERT_EQ(decoded.pixels.size(), p.pixels.size());
  for (size_t i = 0; i < p.pixels.size(); ++i) {
    if ((p.pixels[i] >> 24) == 0)
      EXPECT_EQ(decoded.pixels[i] >> 24, 0u) << i;
    else
      EXPECT_EQ(decoded.pixels[i], p.pixels[i]) << i;
  }
}

struct CheckLog {
  int calls = 0;
  int reject_first = 0;  // rejections before accepting
};

bool counting_check(void* user, const uint8_t*, int32_t) {
  auto* log = static_cast<CheckLog*>(user);
  return ++log->calls > log->reject_first;
}

int stop_at_once(void*, int) { return 1; }

TEST(Search, TheCallersCheckAndStopKeyAreObeyed) {
  const TestPicture p = search_cases()[2].picture;
  CheckLog refuse_all{0, 1 << 30};
  SearchRequest r = level(2);
  r.verify = counting_check;
  r.verify_user = &refuse_all;
  EXPECT_EQ(run_search(p, r).result, kNoPng);
  EXPECT_GE(refuse_all.calls, 1);

  CheckLog refuse_one{0, 1};
  r.verify_user = &refuse_one;
  const SearchRun second = run_search(p, r);
  ASSERT_NE(second.result, kNoPng);
  EXPECT_GE(refuse_one.calls, 2);
  EXPECT_TRUE(png_shows(second.png, p.width, p.height, p.pixels));

  SearchRequest stop = level(3);
  stop.key_check = KeyCheckFn{stop_at_once, nullptr};
  const SearchRun stopped = run_search(p, stop);
  ASSERT_NE(stopped.result, kNoPng);
  EXPECT_TRUE(png_shows(stopped.png, p.width, p.height, p.pixels));
}

TEST(PassCap, CappedRunsAreWholeAndNoSmallerThanFreeOnes) {
  const TestPicture p = search_cases()[3].picture;
  const EncodeRun free_run = run_encoder(p, 2);
  ASSERT_TRUE(lossless(p, free_run));
  for (int32_t cap : {1, 2}) {
    const EncodeRun capped = run_encoder(p, 2, [cap](EncodeOptions& o) { o.max_passes = cap; });
    EXPECT_TRUE(lossless(p, capped)) << cap;
    EXPECT_GE(capped.result, free_run.result) << cap;
  }
}

}  // namespace

// Colour analysis: the form chosen for a picture, the refusals and their
// exact messages, palette order, and pictures a source palette does not cover.
#include <gtest/gtest.h>

#include "encode/colour_analysis.h"
#include "encode/colour_hash.h"
#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

TestPicture picture_of(int32_t w, int32_t h, const std::vector<uint32_t>& pixels) {
  TestPicture p = make_picture(w, h);
  p.pixels = pixels;
  return p;
}

EncodeRun stored_run(const TestPicture& p, int32_t colour_type,
                     const std::function<void(EncodeOptions&)>& tweak = nullptr) {
  return run_encoder(p, colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    if (tweak) tweak(o);
  });
}

void expect_lossless(const TestPicture& in, const EncodeRun& run) {
  ASSERT_NE(run.result, kNoPng) << run.messages;
  OraclePicture out;
  std::string error;
  ASSERT_TRUE(libpng_decode(run.png, &out, &error)) << error;
  EXPECT_EQ(out.pixels, in.pixels);
}

// More than 256 distinct colours.
TestPicture many_colours(bool gray, uint32_t alpha) {
  TestPicture p = make_picture(300, 1);
  for (uint32_t i = 0; i < 300; ++i) {
    p.pixels[i] = gray ? (alpha - (i >> 8)) << 24 | (i & 0xFF) * 0x010101u : alpha << 24 | i * 0x010203u;
  }
  return p;
}

struct RefusalCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  int32_t bit_depth;
  std::string message;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, ExactMessageAndNoPng) {
  const RefusalCase& rc = GetParam();
  const EncodeRun run =
      stored_run(rc.picture, rc.colour_type, [&](EncodeOptions& o) { o.bit_depth = rc.bit_depth; });
  EXPECT_EQ(run.result, kNoPng);
  EXPECT_EQ(run.messages, rc.message);
}

const uint32_t kRed = 0xFFFF0000u, kGreen = 0xFF00FF00u, kHalfGray = 0x80808080u;

INSTANTIATE_TEST_SUITE_P(
    Messages, Refusals,
    ::testing::Values(
        RefusalCase{"rgb_translucent", picture_of(2, 1, {kRed, 0x80FF0000u}), 2, 0,
                    "\rImage requires full alpha; try /c3 (Pal) instead"},
        RefusalCase{"rgb_hidden_colour_visible_elsewhere", picture_of(2, 1, {kRed, 0x00FF0000u}), 2, 0,
                    "\rImage requires full alpha; try /c3 (Pal) instead"},
        RefusalCase{"rgb_two_transparent_values", picture_of(3, 1, {kRed, 0x00000001u, 0x00000002u}), 2, 0,
                    "\rImage requires full alpha; try /c3 (Pal) instead"},
        RefusalCase{"gray_from_colour_with_alpha", picture_of(2, 1, {kRed, kHalfGray}), 0, 0,
                    "\rImage requires full alpha; is not grayscale; try /c3 (Pal) instead"},
        RefusalCase{"gray_from_many_colours", many_colours(false, 0xFF), 0, 0,
                    "\rImage is not grayscale; doesn't fit into 256 color entries; try /c2 (RGB) instead"},
        RefusalCase{
            "gray_from_many_translucent_grays", many_colours(true, 0xF0), 0, 0,
            "\rImage requires full alpha; doesn't fit into 256 color entries; try /c4 (Gray+Alpha) instead"},
        RefusalCase{"palette_from_many_translucent_colours", many_colours(false, 0x70), 3, 0,
                    "\rImage doesn't fit into 256 color entries; try /c6 (RGB+Alpha) instead"},
        RefusalCase{"gray_alpha_from_colour", picture_of(2, 1, {kRed, kGreen}), 4, 0,
                    "\rImage is not grayscale; try /c3 (Pal) instead"},
        RefusalCase{"gray_depth_too_small", picture_of(2, 1, {0xFF000000u, 0xFF111111u}), 0, 2,
                    "\rImage doesn't fit in selected bitdepth"},
        RefusalCase{"palette_depth_too_small", picture_of(3, 1, {kRed, kGreen, 0xFF0000FFu}), 3, 1,
                    "\rImage doesn't fit in selected bitdepth"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ColourAnalysis, AcceptedWhereOnlyAKeyIsTransparent) {
  // One fully transparent value whose colour never shows: gray and RGB take it as a key.
  const TestPicture gray = picture_of(3, 1, {0xFF000000u, 0x00FFFFFFu, 0xFF000000u});
  EncodeRun run = stored_run(gray, 0);
  expect_lossless(gray, run);
  EXPECT_EQ(run.options.chosen_bit_depth, 1);
  const TestPicture rgb = picture_of(3, 1, {kRed, 0x00000001u, kGreen});
  run = stored_run(rgb, 2);
  expect_lossless(rgb, run);
  // Colour types that take any alpha are never refused for it.
  for (int32_t type : {3, 4, 6}) {
    const TestPicture translucent = picture_of(2, 1, {kHalfGray, 0xFF808080u});
    expect_lossless(translucent, stored_run(translucent, type));
  }
}

TEST(ColourAnalysis, SuggestionTable) {
  struct Row {
    int32_t flags, distinct, expected;
  };
  const Row rows[] = {{0, 127, 3},
                      {0, 128, 0},
                      {kNeedsAlpha, 200, 3},
                      {kNotGray, 256, 3},
                      {kNeedsAlpha | kNotGray, 256, 3},
                      {kNeedsAlpha | kTooManyColours, 256, 4},
                      {kNotGray | kTooManyColours, 256, 2},
                      {kNeedsAlpha | kNotGray | kTooManyColours, 256, 6},
                      {kTooManyColours, 256, 0}};
  for (const Row& r : rows) EXPECT_EQ(suggest_colour_type(r.flags, r.distinct), r.expected) << r.flags;
}

TEST(ColourAnalysis, NegativeColourTypeTakesTheSuggestion) {
  for (int levels : {127, 128}) {
    TestPicture p = make_picture(levels, 1);
    for (int i = 0; i < levels; ++i) p.pixels[size_t(i)] = 0xFF000000u | uint32_t(i) * 0x010101u;
    const EncodeRun run = stored_run(p, -1);
    EXPECT_EQ(run.options.chosen_colour_type, levels == 127 ? 3 : 0);
    expect_lossless(p, run);
  }
}

TEST(ColourAnalysis, GrayDepthNeeded) {
  struct Row {
    std::vector<int> levels;
    int32_t depth;
  };
  const Row rows[] = {{{0, 255}, 1},     {{0}, 1},   {{0, 85, 255}, 2}, {{170}, 2},
                      {{0, 17, 255}, 4}, {{68}, 4},  {{136, 255}, 4},   {{85, 17}, 4},
                      {{0, 1}, 8},       {{128}, 8}, {{254}, 8},        {{127, 0}, 8}};
  for (const Row& r : rows) {
    uint8_t used[256] = {};
    for (int v : r.levels) used[v] = 1;
    EXPECT_EQ(gray_depth_needed(used), r.depth) << r.levels[0];
  }
}

TEST(ColourAnalysis, GrayRampMapsTheKeyToItsOwnLevel) {
  const TestPicture p = picture_of(4, 1, {0xFF000000u, 0x00555555u, 0xFFAAAAAAu, 0xFFFFFFFFu});
  const EncodeRun run = stored_run(p, 0);
  expect_lossless(p, run);
  ASSERT_EQ(run.chosen_palette.size(), 4u);
  EXPECT_EQ(run.chosen_palette[1], 0x00555555u);
  EXPECT_EQ(run.chosen_palette[3], 0xFFFFFFFFu);
  EXPECT_EQ(run.messages.substr(0, 13), ", bitdepth:2\n");
}

TEST(ColourAnalysis, EqualFrequenciesFollowTheGappedSort) {
  const uint32_t a = 0xFF0000AAu, b = 0xFF0000BBu, c = 0xFF0000CCu, d = 0xFF0000DDu, e = 0xFF0000EEu;
  const TestPicture p = picture_of(6, 1, {a, b, c, d, e, e});
  const EncodeRun run = stored_run(p, 3);
  expect_lossless(p, run);
  // Not the order of first appearance among the ties (a, b, c, d).
  EXPECT_EQ(run.chosen_palette, (std::vector<uint32_t>{e, b, a, d, c}));
  EXPECT_EQ(run.messages.substr(0, 30), ", 5 unique colors, bitdepth:4\n");
}

TEST(ColourAnalysis, TranslucentEntriesMoveToTheFront) {
  const uint32_t x = 0xFF010101u, y = 0x80020202u, z = 0xFF030303u, w = 0x00040404u;
  const TestPicture p = picture_of(4, 1, {x, y, z, w});
  const EncodeRun run = stored_run(p, 3);
  expect_lossless(p, run);
  EXPECT_EQ(run.chosen_palette, (std::vector<uint32_t>{y, w, z, x}));
}

// A source palette as a decoder reports it.
struct SourcePalette {
  std::vector<uint32_t> entries = std::vector<uint32_t>(256, 0);
  int32_t count = 0;
};

TEST(ColourAnalysis, SourcePaletteDropsUnusedEntriesInOrder) {
  SourcePalette src;
  const uint32_t a = 0xFF101010u, b = 0xFF202020u, c = 0xFF303030u, d = 0xFF404040u;
  src.entries = {a, b, c, d};
  src.entries.resize(256);
  src.count = 4;
  const TestPicture p = picture_of(4, 1, {d, b, d, d});
  const EncodeRun run = stored_run(p, 3, [&](EncodeOptions& o) {
    o.source_palette = src.entries.data();
    o.source_palette_count = src.count;
  });
  expect_lossless(p, run);
  EXPECT_EQ(run.chosen_palette, (std::vector<uint32_t>{b, d}));
}

TEST(ColourAnalysis, KeepPaletteKeepsEveryEntry) {
  SourcePalette src;
  for (uint32_t i = 0; i < 256; ++i) src.entries[i] = 0xFF000000u | i * 0x000101u;
  src.count = 256;
  const TestPicture p = picture_of(3, 1, {src.entries[200], src.entries[7], src.entries[200]});
  const EncodeRun run = stored_run(p, 3, [&](EncodeOptions& o) {
    o.source_palette = src.entries.data();
    o.source_palette_count = src.count;
    o.keep_palette = 1;
  });
  expect_lossless(p, run);
  EXPECT_EQ(run.chosen_palette, src.entries);
  EXPECT_EQ(run.options.chosen_bit_depth, 8);
  EXPECT_EQ(run.messages.substr(0, 24), ", 256 colors, bitdepth:8");
}

// A pixel the source palette lacks (a decoder can leave one) is never looked
// up as index -1: the palette is rebuilt, or with -kp extended.
struct UncoveredCase {
  const char* name;
  int32_t source_count;
  int32_t keep_palette;
  std::string message_start;
  int32_t expected_count;
};

class UncoveredPixels : public ::testing::TestWithParam<UncoveredCase> {};

TEST_P(UncoveredPixels, StayLossless) {
  const UncoveredCase& uc = GetParam();
  SourcePalette src;
  for (int32_t i = 0; i < uc.source_count; ++i)
    src.entries[size_t(i)] = 0xFF000000u | uint32_t(i) * 0x010000u;
  src.count = uc.source_count;
  const uint32_t missing = 0xFF0000FFu;
  const TestPicture p = picture_of(4, 1, {src.entries[1], missing, src.entries[0], missing});
  const EncodeRun run = stored_run(p, 3, [&](EncodeOptions& o) {
    o.source_palette = src.entries.data();
    o.source_palette_count = src.count;
    o.keep_palette = uc.keep_palette;
  });
  expect_lossless(p, run);
  EXPECT_EQ(run.messages.substr(0, uc.message_start.size()), uc.message_start);
  EXPECT_EQ(int32_t(run.chosen_palette.size()), uc.expected_count);
  if (uc.keep_palette && uc.source_count < 256) {
    // The source entries keep their places; the missing colour follows them.
    for (int32_t i = 0; i < uc.source_count; ++i)
      EXPECT_EQ(run.chosen_palette[size_t(i)], src.entries[size_t(i)]);
    EXPECT_EQ(run.chosen_palette.back(), missing);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Palettes, UncoveredPixels,
    ::testing::Values(UncoveredCase{"rebuilt_from_pixels", 4, 0, ", 3 unique colors, bitdepth:2", 3},
                      UncoveredCase{"kept_and_extended", 4, 1, ", 5 colors, bitdepth:4", 5},
                      UncoveredCase{"kept_full_palette_ignored", 256, 1,
                                    "\nIgnoring /kp (palette not found), 3 colors, bitdepth:2", 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ColourAnalysis, KeepPaletteWithoutASourcePalette) {
  const TestPicture p = picture_of(3, 1, {kRed, kGreen, kRed});
  const EncodeRun run = stored_run(p, 3, [](EncodeOptions& o) { o.keep_palette = 1; });
  expect_lossless(p, run);
  EXPECT_EQ(run.messages.substr(0, 56), "\nIgnoring /kp (palette not found), 2 colors, bitdepth:1\n");
}

TEST(ColourAnalysis, FilterDefaultFollowsTheColourType) {
  const TestPicture p = picture_of(2, 1, {kRed, kGreen});
  EXPECT_EQ(stored_run(p, 3).options.chosen_filter, 0);
  EXPECT_EQ(stored_run(p, 2).options.chosen_filter, 5);
  EXPECT_EQ(stored_run(p, 2, [](EncodeOptions& o) { o.filter = 2; }).options.chosen_filter, 2);
}

TEST(ColourHash, LowestIndexWinsAmongDuplicates) {
  uint32_t keys[256] = {};
  keys[0] = 5;
  keys[1] = 7;
  keys[2] = 5;
  keys[3] = 0xFFFFFFFFu;
  ColourHash h;
  hash_fill(&h, keys, 4);
  EXPECT_EQ(hash_find(&h, 5), 0);
  EXPECT_EQ(hash_find(&h, 7), 1);
  EXPECT_EQ(hash_find(&h, 0xFFFFFFFFu), 3);
  EXPECT_EQ(hash_find(&h, 6), -1);
  // Inserted last, found first.
  hash_insert(&h, 5, 2);
  EXPECT_EQ(hash_find(&h, 5), 2);
}

TEST(ColourHash, EveryEntryOfAFullPaletteIsFound) {
  // Values that differ only in bits the bucket ignores least share chains;
  // every one must still be found at its own index.
  uint32_t keys[256];
  for (uint32_t i = 0; i < 256; ++i) keys[i] = 0xFF000000u + i * 2048u;
  ColourHash h;
  hash_fill(&h, keys, 256);
  for (int32_t i = 0; i < 256; ++i) EXPECT_EQ(hash_find(&h, keys[i]), i);
}

}  // namespace

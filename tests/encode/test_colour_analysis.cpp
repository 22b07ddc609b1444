// Colour analysis: the form chosen for a picture, the refusals and their
// exact messages, palette order, and pictures a source palette does not cover.
#include <gtest/gtest.h>

#include "encode/colour_analysis.h"
#include "encode/colour_hash.h"
#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"

namespace {

EncodeRun stored_run(const TestPicture& p, int32_t colour_type,
                     const std::function<void(EncodeOptions&)>& tweak = nullptr) {
  return run_encoder(p, colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    if (tweak) tweak(o);
  });
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
  uint32_t background = 0;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, ExactMessageAndNoPng) {
  const RefusalCase& rc = GetParam();
  const EncodeRun run = stored_run(rc.picture, rc.colour_type, [&](EncodeOptions& o) {
    o.bit_depth = rc.bit_depth;
    o.background = rc.background;
  });
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
                    "\rImage doesn't fit in selected bitdepth"},
        RefusalCase{"background_outside_a_full_palette", ramp_picture(16, 0x0F0000u), 3, 0,
                    ", 16 unique colors, bitdepth:4\n"
                    "\rbKGD chunk can't fit palette index. Try higher bitdepth, /c2 or /c6 instead\n",
                    0xFF00FF00u}),
    [](const auto& info) { return std::string(info.param.name); });

// An accepted picture: the form, palette and message the analysis settles on.
// Positional in the tables: name, picture, requested colour type, then the
// expectations and the options after them.
struct ChoiceCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  int32_t expect_type = -1;         // -1: not checked
  int32_t expect_depth = 0;         // 0: not checked
  std::vector<uint32_t> palette{};  // the chosen palette; empty: not checked
  std::string message{};            // how the messages start
  std::vector<uint32_t> source{};   // the source palette a decoder reported
  int32_t keep_palette = 0;
  int32_t filter = -1;
  int32_t expect_filter = -1;  // -1: not checked
};

class Choices : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(Choices, LosslessInTheExpectedForm) {
  const ChoiceCase& c = GetParam();
  std::vector<uint32_t> source = c.source;
  source.resize(256);
  const EncodeRun run = stored_run(c.picture, c.colour_type, [&](EncodeOptions& o) {
    if (!c.source.empty()) o.source_palette = source.data();
    o.source_palette_count = int32_t(c.source.size());
    o.keep_palette = c.keep_palette;
    o.filter = c.filter;
  });
  ASSERT_TRUE(lossless(c.picture, run));
  if (c.expect_type >= 0) {
    EXPECT_EQ(run.options.chosen_colour_type, c.expect_type);
  }
  if (c.expect_depth) {
    EXPECT_EQ(run.options.chosen_bit_depth, c.expect_depth);
  }
  if (!c.palette.empty()) {
    EXPECT_EQ(run.chosen_palette, c.palette);
  }
  EXPECT_EQ(run.messages.substr(0, c.message.size()), c.message);
  if (c.expect_filter >= 0) {
    EXPECT_EQ(run.options.chosen_filter, c.expect_filter);
  }
}

const uint32_t kA = 0xFF0000AAu, kB = 0xFF0000BBu, kC = 0xFF0000CCu, kD = 0xFF0000DDu, kE = 0xFF0000EEu,
               kX = 0xFF010101u, kY = 0x80020202u, kZ = 0xFF030303u, kW = 0x00040404u, kMissing = 0xFF0000FFu;
const std::vector<uint32_t> kRamp256 = ramp_picture(256, 0x000101u).pixels;
const std::vector<uint32_t> kReds = ramp_picture(4, 0x010000u).pixels;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Forms, Choices, ::testing::Values(
    // One fully transparent value whose colour never shows: gray and RGB take it as a key.
    ChoiceCase{"gray_key", picture_of(3, 1, {0xFF000000u, 0x00FFFFFFu, 0xFF000000u}), 0, -1, 1},
    ChoiceCase{"rgb_key", picture_of(3, 1, {kRed, 0x00000001u, kGreen}), 2},
    // Colour types that take any alpha are never refused for it.
    ChoiceCase{"translucent_palette", picture_of(2, 1, {kHalfGray, 0xFF808080u}), 3},
    ChoiceCase{"translucent_gray_alpha", picture_of(2, 1, {kHalfGray, 0xFF808080u}), 4},
    ChoiceCase{"translucent_rgba", picture_of(2, 1, {kHalfGray, 0xFF808080u}), 6},
    // A negative colour type takes the suggestion.
    ChoiceCase{"suggested_palette", ramp_picture(127, 0x010101u), -1, 3},
    ChoiceCase{"suggested_gray", ramp_picture(128, 0x010101u), -1, 0},
    // The gray ramp maps the key to its own level.
    ChoiceCase{"gray_ramp_key", picture_of(4, 1, {0xFF000000u, 0x00555555u, 0xFFAAAAAAu, 0xFFFFFFFFu}), 0, -1, 0,
               {0xFF000000u, 0x00555555u, 0xFFAAAAAAu, 0xFFFFFFFFu}, ", bitdepth:2\n"},
    // Equal counts follow the gapped sort, not the order of first appearance.
    ChoiceCase{"equal_frequencies", picture_of(6, 1, {kA, kB, kC, kD, kE, kE}), 3, -1, 0, {kE, kB, kA, kD, kC},
               ", 5 unique colors, bitdepth:4\n"},
    ChoiceCase{"translucent_entries_first", picture_of(4, 1, {kX, kY, kZ, kW}), 3, -1, 0, {kY, kW, kZ, kX}},
    ChoiceCase{"source_palette_drops_unused", picture_of(4, 1, {kD, kB, kD, kD}), 3, -1, 0, {kB, kD}, "",
               {kA, kB, kC, kD}},
    ChoiceCase{"keep_palette_keeps_every_entry", picture_of(3, 1, {kRamp256[200], kRamp256[7], kRamp256[200]}),
               3, -1, 8, kRamp256, ", 256 colors, bitdepth:8", kRamp256, 1},
    ChoiceCase{"keep_palette_without_a_source", picture_of(3, 1, {kRed, kGreen, kRed}), 3, -1, 0, {},
               "\nIgnoring /kp (palette not found), 2 colors, bitdepth:1\n", {}, 1},
    // A pixel the source palette lacks (a decoder can leave one) is never
    // looked up as index -1: the palette is rebuilt, or with -kp extended.
    ChoiceCase{"uncovered_rebuilt", picture_of(4, 1, {kReds[1], kMissing, kReds[0], kMissing}), 3, -1, 0,
               {kMissing, kReds[1], kReds[0]}, ", 3 unique colors, bitdepth:2", kReds},
    ChoiceCase{"uncovered_kept_and_extended", picture_of(4, 1, {kReds[1], kMissing, kReds[0], kMissing}), 3, -1,
               0, {kReds[0], kReds[1], kReds[2], kReds[3], kMissing}, ", 5 colors, bitdepth:4", kReds, 1},
    ChoiceCase{"uncovered_full_palette_ignored", picture_of(4, 1, {kRamp256[1], kMissing, kRamp256[0], kMissing}),
               3, -1, 0, {}, "\nIgnoring /kp (palette not found), 3 colors, bitdepth:2", kRamp256, 1},
    // The filter default follows the colour type.
    ChoiceCase{"palette_filter_none", picture_of(2, 1, {kRed, kGreen}), 3, -1, 0, {}, "", {}, 0, -1, 0},
    ChoiceCase{"rgb_filter_adaptive", picture_of(2, 1, {kRed, kGreen}), 2, -1, 0, {}, "", {}, 0, -1, 5},
    ChoiceCase{"filter_given", picture_of(2, 1, {kRed, kGreen}), 2, -1, 0, {}, "", {}, 0, 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

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

TEST(ColourHash, LowestIndexWinsAmongDuplicatesLastInsertedFirst) {
  uint32_t keys[256] = {5, 7, 5, 0xFFFFFFFFu};
  ColourHash h;
  hash_fill(&h, keys, 4);
  EXPECT_EQ(hash_find(&h, 5), 0);
  EXPECT_EQ(hash_find(&h, 7), 1);
  EXPECT_EQ(hash_find(&h, 0xFFFFFFFFu), 3);
  EXPECT_EQ(hash_find(&h, 6), -1);
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

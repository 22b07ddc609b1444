// The compression passes end to end: every strategy, filter and block mode
// gives a PNG libpng decodes to the input; the pass loop's stopping rules;
// byte-identical output for identical input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "encode/encode_png.h"
#include "encode/passes.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

// The sizes of the compressed passes, from their reports.
std::vector<int32_t> reported_sizes(const std::string& messages) {
  std::vector<int32_t> sizes;
  const std::string key = "Output size:";
  for (size_t at = messages.find(key); at != std::string::npos; at = messages.find(key, at + 1)) {
    const size_t end = messages.find(" bytes", at);
    const std::string stored = " bytes (no compression)";
    if (messages.compare(end, stored.size(), stored) == 0) continue;
    sizes.push_back(std::stoi(messages.substr(at + key.size(), end - at - key.size())));
  }
  return sizes;
}

struct ModeCase {
  int32_t strategy;
  int32_t filter;
  int32_t split;  // 0: one block (-b0), 1: threshold 64, 2: exact count 5, 3: exact count 5000
};

void apply_mode(EncodeOptions& o, const ModeCase& m) {
  o.strategy = m.strategy;
  o.filter = m.filter;
  o.block_threshold = m.split == 1 ? 64.0 : 0.0;
  o.exact_block_count = m.split == 2 ? 5 : (m.split == 3 ? 5000 : 0);
}

std::vector<PictureCase> mode_pictures() {
  std::vector<PictureCase> cases;
  const std::vector<int> l4 = {0, 17, 51, 68, 119, 255}, l8 = {0, 1, 2, 50, 99, 128, 200, 254};
  cases.push_back({"gray1", gray_picture(13, 9, {0, 255}, -1), 0, 0, 0, 1});
  cases.push_back({"gray2_key", gray_picture(7, 9, {0, 85, 170}, 255), 0, 0, 0, 2});
  cases.push_back({"gray4", gray_picture(9, 9, l4, -1), 0, 0, 0, 4});
  cases.push_back({"gray8_key", gray_picture(31, 17, l8, 251), 0, 0, 0, 8});
  cases.push_back({"pal1", palette_picture(5, 10, 2, {0xFF}), 3, 0, 3, 1});
  cases.push_back({"pal2", palette_picture(9, 10, 3, {0xFF, 0x40}), 3, 0, 3, 2});
  cases.push_back({"pal4", palette_picture(17, 10, 9, {0xFF}), 3, 0, 3, 4});
  cases.push_back({"pal8_translucent", palette_picture(40, 30, 230, {0xFF, 0x00, 0x80}), 3, 0, 3, 8});
  cases.push_back({"rgb_key", rgb_picture(40, 30, true), 2, 0, 2, 8});
  cases.push_back({"gray_alpha", alpha_picture(33, 21, true), 4, 0, 4, 8});
  cases.push_back({"rgba", alpha_picture(33, 21, false), 6, 0, 6, 8});
  cases.push_back({"one_pixel", gray_picture(1, 1, {128}, -1), 0, 0, 0, 8});
  cases.push_back({"one_column", palette_picture(1, 40, 5, {0xFF}), 3, 0, 3, 4});
  return cases;
}

class EveryMode : public ::testing::TestWithParam<std::tuple<int32_t, int32_t, int32_t>> {};

TEST_P(EveryMode, LibpngReadsTheSamePixels) {
  const ModeCase m{std::get<0>(GetParam()), std::get<1>(GetParam()), std::get<2>(GetParam())};
  for (const PictureCase& pc : mode_pictures()) {
    SCOPED_TRACE(pc.name);
    const EncodeRun run =
        run_encoder(pc.picture, pc.colour_type, [&](EncodeOptions& o) { apply_mode(o, m); });
    ASSERT_TRUE(lossless(pc.picture, run));
    EXPECT_EQ(run.options.chosen_colour_type, pc.expect_type);
    EXPECT_EQ(run.options.chosen_bit_depth, pc.expect_depth);
    const std::vector<int32_t> sizes = reported_sizes(run.messages);
    if (run.messages.find("(no compression)") == std::string::npos) {
      // The result is the best pass made.
      ASSERT_FALSE(sizes.empty());
      EXPECT_EQ(run.result, *std::min_element(sizes.begin(), sizes.end()));
      EXPECT_EQ(run.result, sizes.back());
    }
  }
}

const char* const kSplit[] = {"one_block", "threshold", "five_blocks", "blocks_capped"};

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Range(0, 6),
                                            ::testing::Range(0, 4)),
                         [](const auto& info) {
                           return "s" + std::to_string(std::get<0>(info.param)) + "_f" +
                                  std::to_string(std::get<1>(info.param)) + "_" +
                                  kSplit[std::get<2>(info.param)];
                         });

TEST(Passes, LargerPicturesAndRandomTablesStayLossless) {
  struct Run {
    TestPicture picture;
    int32_t colour_type, strategy, random_single_code;
  };
  const Run runs[] = {{rgb_picture(96, 64, false, 11), 2, 0, 0},
                      {alpha_picture(257, 131, false, 12), 6, 0, 0},
                      {palette_picture(301, 97, 256, {0xFF, 0x7F}, 13), 3, 0, 0},
                      {alpha_picture(40, 30, false, 8), 6, 0, 1},
                      {alpha_picture(40, 30, false, 8), 6, 1, 1},
                      {alpha_picture(40, 30, false, 8), 6, 2, 1}};
  for (const Run& r : runs) {
    const EncodeRun run = run_encoder(r.picture, r.colour_type, [&](EncodeOptions& o) {
      o.strategy = r.strategy;
      o.randomize = o.zl121_mode = r.random_single_code;
    });
    EXPECT_TRUE(lossless(r.picture, run)) << r.picture.width;
    EXPECT_LT(run.result, run.options.kbuf_capacity);
  }
}

// Huffman-only bytes whose counts give exactly the initial lengths (literal
// 128 and the end-of-block code 9 bits, every other literal 8): the first
// pass promises nothing, so it is the only one.
TestPicture balanced_literals() {
  TestPicture p = make_picture(510, 1);
  size_t i = 0;
  p.pixels[i++] = 0xFF000000u;  // level 0 once: the filter-type byte is the other 0
  p.pixels[i++] = 0xFF808080u;  // level 128 once in all
  for (uint32_t v = 1; v < 256; ++v) {
    if (v == 128) continue;
    p.pixels[i++] = 0xFF000000u | v * 0x010101u;
    p.pixels[i++] = 0xFF000000u | v * 0x010101u;
  }
  return p;
}

TEST(Passes, NoPromisedGainMeansOnePass) {
  const TestPicture p = balanced_literals();
  struct Mode {
    double threshold;
    int32_t exact;
    int collect_passes;
  };
  for (const Mode& m : {Mode{0.0, 0, 0}, Mode{1e9, 0, 1}, Mode{0.0, 1, 1}}) {
    EncodeRun run = run_encoder(p, 0, [&](EncodeOptions& o) {
      o.strategy = 3;
      o.filter = 0;
      o.block_threshold = m.threshold;
      o.exact_block_count = m.exact;
    });
    EXPECT_TRUE(lossless(p, run));
    EXPECT_EQ(reported_sizes(run.messages).size(), 1u) << run.messages;
    // Every pass over the rows shows 0% once (height 1).
    size_t shown = 0;
    for (size_t at = 0; (at = run.messages.find(" 0% \r", at)) != std::string::npos; ++at) shown += 1;
    EXPECT_EQ(shown, size_t(1 + m.collect_passes));
  }
}

int escape_after_pass(void*, int code) { return code == 0; }

TEST(Passes, EscapeAfterAPassReturnsThatPass) {
  const TestPicture p = rgb_picture(64, 48, false, 21);
  const EncodeRun full = run_encoder(p, 2);
  const EncodeRun run = run_encoder(p, 2, [](EncodeOptions& o) { o.key_check = KeyCheckFn{escape_after_pass, nullptr}; });
  ASSERT_TRUE(lossless(p, run));
  const std::vector<int32_t> sizes = reported_sizes(run.messages);
  ASSERT_EQ(sizes.size(), 1u);
  EXPECT_EQ(run.result, sizes[0]);
  EXPECT_EQ(run.messages.substr(run.messages.size() - 12), "\nEarly ESC! ");
  // The first pass, with the initial tables, is not the best a full run finds.
  EXPECT_GT(run.result, full.result);
}

int stop_before_rows(void*, int code) { return code == 1; }

TEST(Passes, StopBeforeARowGivesNoPng) {
  const TestPicture p = rgb_picture(20, 20, false);
  for (double threshold : {0.0, 256.0}) {
    const EncodeRun run = run_encoder(p, 2, [&](EncodeOptions& o) {
      o.key_check = KeyCheckFn{stop_before_rows, nullptr};
      o.block_threshold = threshold;
    });
    EXPECT_EQ(run.result, kNoPng);
  }
}

TEST(Passes, CompressionLosingToStoredFallsBack) {
  // Noise under the initial tables (9-bit codes for half the byte values)
  // comes out well above the stored estimate; stopping after that first pass
  // leaves it as the result, which the stored layout replaces.
  TestPicture p = make_picture(256, 256);
  uint32_t s = 99;
  for (auto& px : p.pixels) px = next_random(&s) << 8 ^ next_random(&s);
  const EncodeRun run = run_encoder(p, 6, [](EncodeOptions& o) {
    o.strategy = 2;
    o.filter = 0;
    o.block_threshold = 0.0;
    o.key_check = KeyCheckFn{escape_after_pass, nullptr};
  });
  ASSERT_TRUE(lossless(p, run));
  const std::vector<int32_t> sizes = reported_sizes(run.messages);
  ASSERT_EQ(sizes.size(), 1u);
  EXPECT_GT(sizes[0], run.options.kbuf_capacity);
  EXPECT_NE(run.messages.find("\nEarly ESC! \rOutput size:"), std::string::npos);
  EXPECT_NE(run.messages.find("bytes (no compression)"), std::string::npos);
  EXPECT_EQ(find_chunk(split_chunks(run.png), "IDAT")->data[1], 0x01);
}

TEST(Passes, SameInputSameBytes) {
  const TestPicture p = palette_picture(60, 40, 100, {0xFF, 0x30}, 31);
  const EncodeRun first = run_encoder(p, 3);
  EXPECT_EQ(run_encoder(p, 3).png, first.png);
  run_encoder(rgb_picture(20, 20, true), 2);  // another run in between
  EXPECT_EQ(run_encoder(p, 3).png, first.png);
}

TEST(Passes, KeepPaletteIsNeverReordered) {
  std::vector<uint32_t> source(256, 0);
  for (uint32_t i = 0; i < 40; ++i) source[i] = 0xFF000000u | (i * 0x050607u);
  TestPicture p = make_picture(64, 32);
  uint32_t s = 5;
  for (auto& px : p.pixels) px = source[(next_random(&s) % 7) * (next_random(&s) % 6)];
  const EncodeRun run = run_encoder(p, 3, [&](EncodeOptions& o) {
    o.source_palette = source.data();
    o.source_palette_count = 40;
    o.keep_palette = 1;
  });
  ASSERT_TRUE(lossless(p, run));
  const std::vector<uint8_t> plte = find_chunk(split_chunks(run.png), "PLTE")->data;
  ASSERT_EQ(plte.size(), 120u);
  for (uint32_t i = 0; i < 40; ++i)
    EXPECT_EQ(uint32_t(plte[3 * i]) << 16 | uint32_t(plte[3 * i + 1]) << 8 | plte[3 * i + 2],
              source[i] & 0xFFFFFF);
}

TEST(Passes, SmallCapacityCountsTheWholeSize) {
  // A PNG input caps the buffer at its own size: passes that do not fit are
  // still measured exactly, and what fits is the start of the same file.
  const TestPicture p = palette_picture(50, 40, 30, {0xFF}, 17);
  const EncodeRun full = run_encoder(p, 3);
  const EncodeRun capped = run_encoder(p, 3, [](EncodeOptions& o) { o.kbuf_capacity = 100; });
  ASSERT_NE(full.result, kNoPng);
  EXPECT_EQ(capped.result, full.result);
  EXPECT_EQ(capped.options.kbuf_capacity, 100);
  ASSERT_EQ(capped.png.size(), 100u);
  EXPECT_TRUE(std::equal(capped.png.begin(), capped.png.end(), full.png.begin()));
}

TEST(Progress, PercentOfRowsDone) {
  for (int32_t h : {1, 2, 3, 7, 100, 200, 1000, 65535, 1 << 20}) {
    uint32_t mult = 0, bias = 0;
    progress_constants(h, &mult, &bias);
    const int32_t step = h > 5000 ? 997 : 1;
    for (int32_t y = 0; y < h; y += step) {
      ASSERT_EQ(progress_percent(y, mult, bias), int32_t(int64_t(100) * y / h)) << h << " " << y;
    }
    EXPECT_EQ(progress_percent(h - 1, mult, bias), int32_t(int64_t(100) * (h - 1) / h));
  }
}

// The pass loop's decisions, fed pass by pass. Lengths are tagged by one
// byte, so passes with different tags hash differently.
struct Step {
  bool valid;
  int32_t size, excess;
  uint8_t tag;
  PassStep expected;
  int32_t best = 0;      // best size after the step; 0: not checked
  uint8_t best_tag = 0;  // the best pass's tag; 0: not checked
  int setup = 0;         // before the step: 1 = the final pass, 2 = at the pass limit
};

TEST(Judge, Scripts) {
  const PassStep next = PassStep::next, done = PassStep::done, best = PassStep::reproduce_best,
                 stored = PassStep::stored;
  const std::vector<std::vector<Step>> scripts = {
      // No promised gain stops.
      {{true, 500, 100, 1, next}, {true, 450, 0, 2, done}},
      // A worse pass without promise reproduces the best.
      {{true, 500, 100, 1, next},
       {true, 450, 10, 2, next},
       {true, 470, -3, 3, best, 450, 2},
       {true, 450, 10, 2, done, 0, 0, 1}},
      // A repeated pass ends the search; the same lengths with another size are no repeat.
      {{true, 500, 100, 1, next},
       {true, 480, 100, 2, next},
       {true, 490, 100, 3, next},
       {true, 480, 100, 2, done},
       {true, 485, 100, 3, next},
       {true, 490, 100, 3, best}},
      // An invalid pass is never the result.
      {{false, 100, 50, 1, next, kNoSize}, {false, 90, 0, 2, stored}},
      // An invalid pass after a valid one reproduces it, also when it repeats.
      {{true, 300, 50, 1, next},
       {false, 100, 0, 2, best, 300},
       {false, 100, 50, 2, next},
       {false, 100, 50, 2, best},
       {false, 100, 50, 2, stored, 0, 0, 1}},
      {{true, 700, 50, 1, done, 0, 0, 2}},
      {{false, 700, 50, 1, stored, 0, 0, 2}},
  };
  uint32_t palette[256] = {};
  for (size_t k = 0; k < scripts.size(); ++k) {
    auto ps = std::make_unique<PassState>();
    ps->best_size = kNoSize;
    for (size_t i = 0; i < scripts[k].size(); ++i) {
      const Step& st = scripts[k][i];
      SCOPED_TRACE(std::to_string(k) + " step " + std::to_string(i));
      if (st.setup == 1) ps->final_pass = 1;
      if (st.setup == 2) ps->pass = kMaxRecordedPasses;
      std::memset(ps->lengths, 0, kSymbolSlots);
      ps->lengths[0] = st.tag;
      ps->pass += 1;
      EXPECT_EQ(judge_pass(ps.get(), st.valid, st.size, st.excess, 1, palette, 2), st.expected);
      if (st.best) {
        EXPECT_EQ(ps->best_size, st.best);
      }
      if (st.best == kNoSize) {
        EXPECT_EQ(ps->sizes[ps->pass], kNoSize);
      }
      if (st.best_tag) {
        EXPECT_EQ(ps->best_lengths[0], st.best_tag);
      }
    }
  }
}

// From the second pass on, a pass feeds the bytes the stream kept of the one
// before instead of filtering the rows again, unless the palette they were
// filtered with has moved. The bytes, the sizes and the messages (progress
// included) are those of passes that filter every time (no store), for every
// per-row filter choice, a palette whose order moves between passes and a
// strategy that keeps no lists.
TEST(Passes, KeptFilteredBytesGiveTheBytesOfFilteringAgain) {
  struct Case {
    const char* name;
    TestPicture picture;
    int32_t colour_type, filter, strategy;
    bool kept;
  };
  const TestPicture scene = large_scene(160, 90, false);
  const Case cases[] = {{"entropy", scene, 2, 5, 0, true},
                        {"min_sum", scene, 2, 6, 0, true},
                        {"trial", scene, 6, 7, 1, true},
                        {"paeth", scene, 2, 4, 0, true},
                        {"gray", gray_picture(90, 70, {0, 60, 61, 200}, -1), 0, 5, 0, true},
                        {"palette_moving", large_scene(150, 80, true), 3, 0, 0, true},
                        {"huffman_only", scene, 2, 5, 3, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto tweak = [&](int64_t store_limit) {
      return [&, store_limit](EncodeOptions& o) {
        o.filter = c.filter;
        o.strategy = c.strategy;
        o.match_store_limit = store_limit;
      };
    };
    const EncodeRun filtered = run_encoder(c.picture, c.colour_type, tweak(-1));
    const EncodeRun kept = run_encoder(c.picture, c.colour_type, tweak(0));
    EXPECT_TRUE(lossless(c.picture, kept));
    EXPECT_EQ(kept.png, filtered.png);
    EXPECT_EQ(without_timing(kept.messages), without_timing(filtered.messages));
    EXPECT_EQ(filtered.options.kept_passes, 0);
    const int32_t passes = int32_t(reported_sizes(kept.messages).size());
    ASSERT_GE(passes, 2);
    if (!c.kept) {
      EXPECT_EQ(kept.options.kept_passes, 0);
    } else if (c.colour_type == 3) {
      // Passes that reorder the palette filter again.
      EXPECT_GT(kept.options.kept_passes, 0);
      EXPECT_LT(kept.options.kept_passes, passes - 1);
    } else {
      // A run that ends on its best pass writes the PNG kept of it, without
      // a pass.
      EXPECT_EQ(kept.options.kept_passes + kept.options.kept_best, passes - 1);
    }
  }
}

// A run that ends on an earlier best pass takes the PNG kept of it rather
// than making it again: the bytes and the messages up to that pass are those
// of the same run capped right after the best pass, which ends on it having
// just made it. Run with stop requests too: one during the last pass's rows
// gives no PNG, as when that pass is made.
int escape_at_poll(void* user, int code) {
  auto* left = static_cast<int*>(user);
  return code == 1 && --*left == 0;
}

TEST(Passes, RunEndingOnAnEarlierBestPassWritesItsKeptPng) {
  struct Case {
    const char* name;
    TestPicture picture;
    int32_t colour_type;
    int32_t max_passes;
  };
  std::vector<Case> cases = {{"scene", large_scene(200, 120, false), 2, 0},
                             {"scene_rgba", large_scene(120, 90, false, true), 6, 0},
                             {"palette", large_scene(150, 80, true), 3, 0},
                             {"noisy_alpha", alpha_picture(257, 131, false, 12), 6, 0}};
  // Capped right after a pass larger than an earlier one, a run ends on a
  // replay of that earlier best (-1: no such pass).
  for (size_t k = 0, n = cases.size(); k < n; ++k) {
    const Case c = cases[k];
    const std::vector<int32_t> sizes = reported_sizes(run_encoder(c.picture, c.colour_type).messages);
    for (size_t i = 1; i < sizes.size(); ++i) {
      if (sizes[i] <= *std::min_element(sizes.begin(), sizes.begin() + std::ptrdiff_t(i))) continue;
      cases.push_back({"capped", c.picture, c.colour_type, int32_t(i) + 1});
      break;
    }
  }
  int32_t ended_on_kept = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.max_passes));
    const EncodeRun run = run_encoder(c.picture, c.colour_type, [&](EncodeOptions& o) { o.max_passes = c.max_passes; });
    if (c.max_passes > 0) {
      EXPECT_EQ(run.options.kept_best, 1);
    }
    EXPECT_TRUE(lossless(c.picture, run));
    const std::vector<int32_t> sizes = reported_sizes(run.messages);
    ASSERT_GE(sizes.size(), 2u);
    if (run.options.kept_best == 0) continue;
    ended_on_kept += 1;
    // The best pass is the first of the smallest size.
    const auto best = std::find(sizes.begin(), sizes.end() - 1, sizes.back());
    ASSERT_NE(best, sizes.end() - 1);
    const int32_t at = int32_t(best - sizes.begin()) + 1;
    const EncodeRun capped = run_encoder(c.picture, c.colour_type, [&](EncodeOptions& o) { o.max_passes = at; });
    EXPECT_EQ(capped.options.kept_best, 0);
    EXPECT_EQ(capped.png, run.png);
    EXPECT_EQ(reported_sizes(capped.messages).size(), size_t(at));
    // The last pass polls once a row, after every other poll of the run.
    int polls = 1 << 30;
    run_encoder(c.picture, c.colour_type, [&](EncodeOptions& o) {
      o.max_passes = c.max_passes;
      o.key_check = KeyCheckFn{escape_at_poll, &polls};
    });
    const int total = (1 << 30) - polls;
    const int32_t rows = c.picture.height;
    for (int32_t into : {1, rows}) {
      int left = total - rows + into;
      const EncodeRun stopped = run_encoder(c.picture, c.colour_type, [&](EncodeOptions& o) {
        o.max_passes = c.max_passes;
        o.key_check = KeyCheckFn{escape_at_poll, &left};
      });
      EXPECT_EQ(stopped.result, kNoPng) << into;
      EXPECT_EQ(reported_sizes(stopped.messages).size(), sizes.size() - 1) << into;
    }
  }
  EXPECT_GE(ended_on_kept, 2);
}

}  // namespace

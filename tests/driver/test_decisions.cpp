#include <gtest/gtest.h>

#include "driver/encode_setup.h"
#include "driver/output_decision.h"

namespace {

TEST(OutputDecision, Table) {
  struct Row {
    OutputFacts facts;  // png, force, may_copy, animated, result, input size, capacity
    OutputAction expected;
  };
  const Row rows[] = {
      // A PNG input is written only when smaller.
      {{true, false, false, false, 999, 1000, 1000}, kOutputWrite},
      {{true, false, false, false, 1000, 1000, 1000}, kOutputRefuse},
      {{true, false, false, false, 1500, 1000, 1000}, kOutputRefuse},
      // Other inputs are written when they fit.
      {{false, false, false, false, 5000, 1000, 5000}, kOutputWrite},
      {{false, false, false, false, 5001, 1000, 5000}, kOutputRefuse},
      // "-force" writes any complete PNG; a size beyond the buffer was counted, not stored.
      {{true, true, false, false, 1500, 1000, 2000}, kOutputWrite},
      {{true, true, false, false, 1500, 1000, 1400}, kOutputRefuse},
      {{true, true, false, false, kNoPng, 1000, 2000}, kOutputNoPng},
      {{true, false, true, false, kNoPng, 1000, 1000}, kOutputNoPng},
      // Only a PNG is copied, to a named different output.
      {{true, false, true, false, 1000, 1000, 1000}, kOutputCopy},
      {{false, false, true, false, 6000, 1000, 1000}, kOutputRefuse},
      // An animation is never rewritten.
      {{true, true, false, true, 10, 1000, 1000}, kOutputRefuse},
      {{true, true, true, true, 10, 1000, 1000}, kOutputCopy},
  };
  for (const Row& r : rows) {
    const OutputFacts& f = r.facts;
    EXPECT_EQ(decide_output(f), r.expected) << f.input_is_png << f.force << f.may_copy << f.animated << " "
                                            << f.result << " " << f.input_size << " " << f.kbuf_capacity;
  }
}

// One input to the encoder's setup: the command line, what the decoder
// learned, the chunks kept, and the fields the setup must fill.
struct SetupCase {
  const char* name;
  int32_t cmd_colour_type = -1, cmd_filter = -1, cmd_bit_depth = -1;
  bool block_option = false;
  int32_t source_colour_type = 2, source_bit_depth = 8, source_filter = -1;
  int32_t palette_count = 0, block_count = 0, zlib_header = 0, kept_count = 0;
  int32_t keep_palette = 0, given_blocks = 0;
  int32_t colour_type = 2, filter = 5, bit_depth = 8, palette = 0, blocks = 0;  // expected
};

class EncodeSetup : public ::testing::TestWithParam<SetupCase> {};

TEST_P(EncodeSetup, DefaultsFromTheInput) {
  const SetupCase& c = GetParam();
  CommandLine cmd{};
  cmd.colour_type = c.cmd_colour_type;
  cmd.filter = c.cmd_filter;
  cmd.bit_depth = c.cmd_bit_depth;
  cmd.block_option = c.block_option;
  SourceInfo info{};
  info.source_color_type = c.source_colour_type;
  info.source_bit_depth = c.source_bit_depth;
  info.source_filter = c.source_filter;
  info.palette_count = c.palette_count;
  info.deflate_block_count = c.block_count;
  info.zlib_header = c.zlib_header;
  ChunkSelection chunks{};
  chunks.kept_before_plte = c.kept_count > 0 ? 1 : 0;
  chunks.kept_before_idat = c.kept_count > 0 ? 2 : 0;
  chunks.kept_count = c.kept_count;
  EncodeOptions o{};
  o.block_threshold = 256.0;
  o.keep_palette = c.keep_palette;
  o.exact_block_count = c.given_blocks;
  fill_encode_options(cmd, info, chunks, nullptr, 3, 2, &o);
  EXPECT_EQ(o.colour_type, c.colour_type);
  EXPECT_EQ(o.filter, c.filter);
  EXPECT_EQ(o.bit_depth, c.bit_depth);
  EXPECT_EQ(o.source_palette_count, c.palette);
  EXPECT_EQ(o.exact_block_count, c.blocks);
  EXPECT_EQ(o.width, 3);
  EXPECT_EQ(o.height, 2);
  EXPECT_EQ(o.pitch, 12);
  EXPECT_EQ(o.kept_first, 0);
  EXPECT_EQ(o.kept_before_plte, chunks.kept_before_plte);
  EXPECT_EQ(o.kept_before_idat, chunks.kept_before_idat);
  EXPECT_EQ(o.kept_count, c.kept_count);
  EXPECT_EQ(o.kept_chunks, chunks.kept);
  EXPECT_EQ(o.source_palette, info.palette);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Fields, EncodeSetup, ::testing::Values(
    SetupCase{.name = "rgb_defaults"},
    SetupCase{.name = "kept_chunks", .kept_count = 3, .blocks = 0},
    SetupCase{.name = "palette_input", .source_colour_type = 3, .colour_type = 3, .filter = 0},
    // The input's own filter is reused only for the same colour type.
    SetupCase{.name = "own_filter", .source_filter = 1, .filter = 1},
    SetupCase{.name = "own_filter_other_type", .cmd_colour_type = 6, .source_filter = 1, .colour_type = 6},
    SetupCase{.name = "filter_given", .cmd_filter = 4, .source_filter = 1, .filter = 4},
    // The source palette goes along unless the palette is rebuilt anyway.
    SetupCase{.name = "palette_count", .palette_count = 17, .palette = 17},
    SetupCase{.name = "palette_rebuilt", .cmd_colour_type = 3, .palette_count = 17, .colour_type = 3,
              .filter = 0, .palette = 0},
    SetupCase{.name = "palette_kept", .cmd_colour_type = 3, .palette_count = 17, .keep_palette = 1,
              .colour_type = 3, .filter = 0, .palette = 17},
    SetupCase{.name = "gray_from_palette_finds_its_depth", .cmd_colour_type = 0, .source_colour_type = 3,
              .source_bit_depth = 4, .colour_type = 0, .filter = 5, .bit_depth = 0},
    SetupCase{.name = "depth_given", .cmd_bit_depth = 2, .bit_depth = 2},
    // The block count is reused only from our own kind of stream.
    SetupCase{.name = "own_blocks", .block_count = 4, .zlib_header = 0x5E78, .blocks = 4},
    SetupCase{.name = "other_header", .block_count = 4, .zlib_header = 0xDA78, .blocks = 0},
    SetupCase{.name = "blocks_with_kept_chunks", .block_count = 4, .zlib_header = 0x5E78, .kept_count = 1,
              .blocks = 0},
    SetupCase{.name = "blocks_given", .block_option = true, .block_count = 4, .zlib_header = 0x5E78,
              .given_blocks = 9, .blocks = 9}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace

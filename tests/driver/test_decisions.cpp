#include <gtest/gtest.h>

#include <cstring>

#include "driver/encode_setup.h"
#include "driver/output_decision.h"

namespace {

OutputFacts facts(bool png, int32_t result, int32_t input_size, int32_t capacity) {
  OutputFacts f{};
  f.input_is_png = png;
  f.result = result;
  f.input_size = input_size;
  f.kbuf_capacity = capacity;
  return f;
}

TEST(OutputDecision, PngInputIsWrittenOnlyWhenSmaller) {
  EXPECT_EQ(decide_output(facts(true, 999, 1000, 1000)), kOutputWrite);
  EXPECT_EQ(decide_output(facts(true, 1000, 1000, 1000)), kOutputRefuse);
  EXPECT_EQ(decide_output(facts(true, 1500, 1000, 1000)), kOutputRefuse);
}

TEST(OutputDecision, OtherInputsAreWrittenWhenTheyFit) {
  EXPECT_EQ(decide_output(facts(false, 5000, 1000, 5000)), kOutputWrite);
  EXPECT_EQ(decide_output(facts(false, 5001, 1000, 5000)), kOutputRefuse);
}

TEST(OutputDecision, ForceWritesAnyCompletePng) {
  OutputFacts f = facts(true, 1500, 1000, 2000);
  f.force = true;
  EXPECT_EQ(decide_output(f), kOutputWrite);
  // A size beyond the buffer was counted, not stored: nothing whole to write.
  f.kbuf_capacity = 1400;
  EXPECT_NE(decide_output(f), kOutputWrite);
  f = facts(true, kNoPng, 1000, 2000);
  f.force = true;
  EXPECT_EQ(decide_output(f), kOutputNoPng);
}

TEST(OutputDecision, NoPngMeansNothing) {
  OutputFacts f = facts(true, kNoPng, 1000, 1000);
  f.may_copy = true;
  EXPECT_EQ(decide_output(f), kOutputNoPng);
}

TEST(OutputDecision, CopyOnlyPngToANamedDifferentOutput) {
  OutputFacts f = facts(true, 1000, 1000, 1000);
  f.may_copy = true;
  EXPECT_EQ(decide_output(f), kOutputCopy);
  f.input_is_png = false;
  f.result = 6000;
  EXPECT_EQ(decide_output(f), kOutputRefuse);
}

TEST(OutputDecision, AnimationIsNeverRewritten) {
  OutputFacts f = facts(true, 10, 1000, 1000);
  f.animated = true;
  f.force = true;
  EXPECT_EQ(decide_output(f), kOutputRefuse);
  f.may_copy = true;
  EXPECT_EQ(decide_output(f), kOutputCopy);
}

struct EncodeCase {
  CommandLine cmd{};
  SourceInfo info{};
  ChunkSelection chunks{};
  EncodeOptions options{};
  EncodeCase() {
    cmd.colour_type = -1;
    cmd.filter = -1;
    cmd.bit_depth = -1;
    info.source_color_type = 2;
    info.source_bit_depth = 8;
    info.source_filter = -1;
    options.block_threshold = 256.0;
  }
  EncodeOptions& fill() {
    fill_encode_options(cmd, info, chunks, nullptr, 3, 2, &options);
    return options;
  }
};

TEST(EncodeSetup, PictureAndChunks) {
  EncodeCase s;
  s.chunks.kept_before_plte = 1;
  s.chunks.kept_before_idat = 2;
  s.chunks.kept_count = 3;
  const EncodeOptions& o = s.fill();
  EXPECT_EQ(o.width, 3);
  EXPECT_EQ(o.height, 2);
  EXPECT_EQ(o.pitch, 12);
  EXPECT_EQ(o.kept_first, 0);
  EXPECT_EQ(o.kept_before_plte, 1);
  EXPECT_EQ(o.kept_before_idat, 2);
  EXPECT_EQ(o.kept_count, 3);
  EXPECT_EQ(o.kept_chunks, s.chunks.kept);
  EXPECT_EQ(o.source_palette, s.info.palette);
}

TEST(EncodeSetup, ColourTypeAndFilterDefaults) {
  EncodeCase s;
  EXPECT_EQ(s.fill().colour_type, 2);
  EXPECT_EQ(s.options.filter, 5);

  EncodeCase pal;
  pal.info.source_color_type = 3;
  EXPECT_EQ(pal.fill().colour_type, 3);
  EXPECT_EQ(pal.options.filter, 0);

  // The input's own filter is reused only for the same colour type.
  EncodeCase same;
  same.info.source_filter = 1;
  EXPECT_EQ(same.fill().filter, 1);
  EncodeCase other;
  other.info.source_filter = 1;
  other.cmd.colour_type = 6;
  EXPECT_EQ(other.fill().filter, 5);

  EncodeCase given;
  given.info.source_filter = 1;
  given.cmd.filter = 4;
  EXPECT_EQ(given.fill().filter, 4);
}

TEST(EncodeSetup, PaletteCount) {
  EncodeCase s;
  s.info.palette_count = 17;
  EXPECT_EQ(s.fill().source_palette_count, 17);
  EncodeCase c3;
  c3.info.palette_count = 17;
  c3.cmd.colour_type = 3;
  EXPECT_EQ(c3.fill().source_palette_count, 0);
  EncodeCase kp;
  kp.info.palette_count = 17;
  kp.cmd.colour_type = 3;
  kp.options.keep_palette = 1;
  EXPECT_EQ(kp.fill().source_palette_count, 17);
}

TEST(EncodeSetup, BitDepth) {
  EncodeCase s;
  EXPECT_EQ(s.fill().bit_depth, 8);
  EncodeCase gray_from_pal;
  gray_from_pal.info.source_color_type = 3;
  gray_from_pal.info.source_bit_depth = 4;
  gray_from_pal.cmd.colour_type = 0;
  EXPECT_EQ(gray_from_pal.fill().bit_depth, 0);
  EncodeCase given;
  given.cmd.bit_depth = 2;
  EXPECT_EQ(given.fill().bit_depth, 2);
}

TEST(EncodeSetup, BlockCountReusedOnlyFromOurOwnKindOfStream) {
  EncodeCase s;
  s.info.deflate_block_count = 4;
  s.info.zlib_header = 0x5E78;
  EXPECT_EQ(s.fill().exact_block_count, 4);

  EncodeCase other_header;
  other_header.info.deflate_block_count = 4;
  other_header.info.zlib_header = 0xDA78;
  EXPECT_EQ(other_header.fill().exact_block_count, 0);

  EncodeCase kept;
  kept.info.deflate_block_count = 4;
  kept.info.zlib_header = 0x5E78;
  kept.chunks.kept_count = 1;
  EXPECT_EQ(kept.fill().exact_block_count, 0);

  EncodeCase given;
  given.info.deflate_block_count = 4;
  given.info.zlib_header = 0x5E78;
  given.cmd.block_option = true;
  given.options.exact_block_count = 9;
  EXPECT_EQ(given.fill().exact_block_count, 9);
}

}  // namespace

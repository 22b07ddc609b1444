// The 16-bit decode against libpng's, sample for sample, on every 16-bit
// PngSuite picture; and the edges of its target.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "decode/png_decode.h"
#include "tests/support/oracle.h"
#include "tests/support/oracle16.h"
#include "tests/support/png_build.h"
#include "tests/support/wide_decode.h"

namespace {

// The PNG decoder's own wide decode.
WideDecode decode_png16(const std::vector<uint8_t>& png, int32_t width, int32_t height, int32_t x = 0,
                        int32_t y = 0) {
  return decode_wide(png, width, height, x, y, true);
}

class WideSuite : public ::testing::TestWithParam<std::string> {};

TEST_P(WideSuite, SamplesEqualLibpngs) {
  const std::vector<uint8_t> png = read_file(suite_path(GetParam()));
  OraclePicture16 oracle;
  ASSERT_TRUE(libpng_decode16(png, &oracle));
  EXPECT_EQ(png_sample_depth(png.data(), int32_t(png.size())), 16);
  const WideDecode ours = decode_png16(png, oracle.width, oracle.height);
  ASSERT_EQ(ours.result, 0);
  EXPECT_EQ(ours.info.incomplete, 0);
  EXPECT_EQ(ours.info.source_bit_depth, 16);
  EXPECT_EQ(ours.info.source_color_type, oracle.colour_type);
  for (size_t i = 0; i < ours.samples.size(); ++i)
    ASSERT_EQ(ours.samples[i], oracle.samples[i]) << "pixel " << i / 4 << " sample " << i % 4;

  // The ordinary decode still refuses what it cannot hold.
  std::vector<uint32_t> pixels(size_t(oracle.width) * size_t(oracle.height));
  SourceInfo info{};
  const DecodeTarget narrow{pixels.data(), oracle.width * 4, oracle.width, oracle.height, 0, 0};
  EXPECT_EQ(decode_png(png.data(), int32_t(png.size()), narrow, info), -1);

  // Placed off the origin, the picture is clipped and moved, never written
  // outside the target (the sanitizer build watches).
  const int32_t w = oracle.width, h = oracle.height;
  const WideDecode moved = decode_png16(png, w, h, -3, 5);
  ASSERT_EQ(moved.result, 0);
  for (int32_t y = 5; y < h; ++y)
    for (int32_t x = 0; x + 3 < w; ++x)
      for (int32_t k = 0; k < 4; ++k)
        ASSERT_EQ(moved.samples[(size_t(y) * w + x) * 4 + k], oracle.samples[(size_t(y - 5) * w + x + 3) * 4 + k]);
}

INSTANTIATE_TEST_SUITE_P(Files, WideSuite, ::testing::ValuesIn(wide_suite_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param.substr(0, info.param.size() - 4);
                         });

TEST(WideDecode, SuiteHasTheSixteenBitKinds) {
  const std::vector<std::string> files = wide_suite_files();
  for (const char* name : {"basn0g16.png", "basn2c16.png", "basn4a16.png", "basn6a16.png", "basi0g16.png",
                           "basi2c16.png", "basi4a16.png", "basi6a16.png", "tbbn2c16.png", "tbwn0g16.png"})
    EXPECT_NE(std::find(files.begin(), files.end(), name), files.end()) << name;
}

TEST(WideDecode, RefusesPicturesOfOtherDepths) {
  const std::vector<uint8_t> png = read_file(suite_path("basn2c08.png"));
  ASSERT_FALSE(png.empty());
  EXPECT_EQ(png_sample_depth(png.data(), int32_t(png.size())), 8);
  EXPECT_EQ(decode_png16(png, 32, 32).result, -1);
}

// The wide decode too takes the picture's size from the first header only:
// a second one, larger or equal, is refused (found by fuzzing, where one of
// 268435461 x 5 made it ask for 3 GiB after a 32 x 32 header).
TEST(WideDecode, RefusesASecondHeader) {
  const std::vector<uint8_t> png = read_file(suite_path("basn0g16.png"));
  ASSERT_GT(png.size(), size_t(33));
  ASSERT_EQ(decode_png16(png, 32, 32).result, 0);
  for (const uint32_t width : {32u, 268435461u}) {
    std::vector<uint8_t> twice(png.begin(), png.begin() + 33);  // signature and IHDR
    const std::vector<uint8_t> second = png_chunk("IHDR", ihdr_payload(width, 5, 16, 0, 0));
    twice.insert(twice.end(), second.begin(), second.end());
    twice.insert(twice.end(), png.begin() + 33, png.end());
    EXPECT_EQ(decode_png16(twice, 32, 32).result, -1) << width;
  }
}

// A cut file decodes in part and says so; every cut point stays in bounds.
TEST(WideDecode, TruncatedFileIsIncomplete) {
  const std::vector<uint8_t> png = read_file(suite_path("basn6a16.png"));
  ASSERT_FALSE(png.empty());
  for (size_t cut = 8; cut < png.size(); cut += 97) {
    const std::vector<uint8_t> part(png.begin(), png.begin() + cut);
    const WideDecode d = decode_png16(part, 32, 32);
    EXPECT_TRUE(d.result == -1 || d.info.incomplete == 1) << cut;
  }
}

// The tRNS key at 16 bits matches all 16 bits: a colour that differs from
// the key only in its low byte stays opaque.
TEST(WideDecode, KeyComparesWholeSamples) {
  const std::vector<uint8_t> png = read_file(suite_path("tbbn2c16.png"));
  OraclePicture16 oracle;
  ASSERT_TRUE(libpng_decode16(png, &oracle));
  ASSERT_TRUE(oracle.has_trns);
  const WideDecode d = decode_png16(png, oracle.width, oracle.height);
  ASSERT_EQ(d.result, 0);
  int32_t clear = 0;
  for (size_t i = 3; i < d.samples.size(); i += 4) clear += d.samples[i] == 0;
  EXPECT_GT(clear, 0);
  EXPECT_EQ(d.samples, oracle.samples);
}

}  // namespace

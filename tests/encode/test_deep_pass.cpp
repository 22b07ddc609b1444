// The whole-stream engine after the passes (deep_level): every colour type and
// depth, with and without block splitting, gives a PNG libpng reads as the
// picture, never larger than the same run without the engine, and the run
// without it is untouched by the option's existence.
#include <gtest/gtest.h>

#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"

namespace {

class DeepPictures : public ::testing::TestWithParam<PictureCase> {};

TEST_P(DeepPictures, TheEngineKeepsThePictureAndNeverGrowsThePng) {
  const PictureCase& pc = GetParam();
  for (const double threshold : {0.0, 256.0}) {
    const auto plain = run_encoder(pc.picture, pc.colour_type, [&](EncodeOptions& o) {
      o.bit_depth = pc.bit_depth;
      o.block_threshold = threshold;
    });
    ASSERT_TRUE(lossless(pc.picture, plain));
    for (int32_t level = 1; level <= 3; ++level) {
      const auto deep = run_encoder(pc.picture, pc.colour_type, [&](EncodeOptions& o) {
        o.bit_depth = pc.bit_depth;
        o.block_threshold = threshold;
        o.deep_level = level;
      });
      ASSERT_TRUE(lossless(pc.picture, deep)) << "level " << level;
      EXPECT_LE(deep.result, plain.result) << "level " << level;
      // Same chunks around the IDAT as the passes wrote.
      const auto a = split_chunks(plain.png), b = split_chunks(deep.png);
      EXPECT_EQ(chunk_sequence(a), chunk_sequence(b));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pictures, DeepPictures, ::testing::ValuesIn(picture_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(DeepPass, AFlatPictureWithSpecksIsNoLarger) {
  // Flat colour areas repeat at three bytes and at the row's length, where
  // the passes' choice among distance codes matters most.
  TestPicture p = make_picture(150, 100);
  uint32_t state = 17;
  for (int32_t y = 0; y < 100; ++y)
    for (int32_t x = 0; x < 150; ++x)
      p.pixels[size_t(y) * 150 + size_t(x)] =
          (x / 37 + y / 23) % 3 == 0 ? 0xFFFFFFFFu : (x * y) % 97 == 0 ? 0xFF000000u | (next_random(&state) & 0xFFFFFF) : 0xFF2040C0u;
  const auto plain = run_encoder(p, 2, [](EncodeOptions& o) { o.filter = 0; });
  const auto deep = run_encoder(p, 2, [](EncodeOptions& o) {
    o.filter = 0;
    o.deep_level = 2;
  });
  ASSERT_TRUE(lossless(p, deep));
  EXPECT_LE(deep.result, plain.result);
}

}  // namespace

// Pinned outputs: the CRC-32 and size of whole PNG files for fixed pictures
// and options. Any change to colour analysis, filters, parsing, Huffman tie
// order or block splitting that alters a single byte shows up here; when such
// a change is intended, re-pin with the values the failure prints.
#include <gtest/gtest.h>
#include <zlib.h>

#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"

namespace {

struct PinCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  int32_t strategy;
  int32_t filter;
  double threshold;
  int32_t exact_blocks;
  int32_t size;
  uint32_t crc;
};

class Pinned : public ::testing::TestWithParam<PinCase> {};

TEST_P(Pinned, SameBytesAsPinned) {
  const PinCase& pc = GetParam();
  const EncodeRun run = run_encoder(pc.picture, pc.colour_type, [&](EncodeOptions& o) {
    o.strategy = pc.strategy;
    o.filter = pc.filter;
    o.block_threshold = pc.threshold;
    o.exact_block_count = pc.exact_blocks;
  });
  ASSERT_TRUE(lossless(pc.picture, run));
  const uint32_t crc = uint32_t(crc32(0, run.png.data(), uInt(run.png.size())));
  EXPECT_EQ(run.result, pc.size);
  EXPECT_EQ(crc, pc.crc) << "re-pin: " << run.result << ", 0x" << std::hex << crc;
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Pinned,
    ::testing::Values(PinCase{"rgb_xtreme_mixed", rgb_picture(48, 32, true, 41), 2, 0, 5, 256.0, 0, 2288,
                              0xa1692bcfu},
                      PinCase{"rgba_intense_paeth_five_blocks", alpha_picture(40, 24, false, 42), 6, 1, 4,
                              0.0, 5, 2188, 0xea4081ebu},
                      PinCase{"palette_longest_none", palette_picture(64, 20, 40, {0xFF, 0x80}, 43), 3, 2, 0,
                              0.0, 0, 1122, 0xaa6dd57au},
                      PinCase{"gray4_huffman_up", gray_picture(37, 15, {0, 17, 68, 255}, 34, 44), 0, 3, 2,
                              128.0, 0, 364, 0x6e792aedu},
                      PinCase{"gray_alpha_xtreme_average", alpha_picture(30, 30, true, 45), 4, 0, 3, 64.0, 0,
                              629, 0x8f1beedfu}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

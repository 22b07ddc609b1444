// The stored layout end to end: every form the encoder chooses must decode
// with libpng to exactly the pixels it was given.
#include <gtest/gtest.h>

#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

void expect_same_pixels(const TestPicture& in, const std::vector<uint8_t>& png) {
  OraclePicture out;
  std::string error;
  ASSERT_TRUE(libpng_decode(png, &out, &error)) << error;
  ASSERT_EQ(out.width, in.width);
  ASSERT_EQ(out.height, in.height);
  for (size_t i = 0; i < in.pixels.size(); ++i) {
    ASSERT_EQ(out.pixels[i], in.pixels[i]) << "pixel " << i;
  }
}

// The zlib stream inside the single IDAT chunk.
std::vector<uint8_t> idat_payload(const std::vector<uint8_t>& png) {
  for (const PngChunk& c : split_chunks(png)) {
    if (c.type == "IDAT") return c.data;
  }
  return {};
}

class StoredRoundTrip : public ::testing::TestWithParam<PictureCase> {};

TEST_P(StoredRoundTrip, LibpngReadsTheSamePixels) {
  const PictureCase& pc = GetParam();
  const EncodeRun run = run_encoder(pc.picture, pc.colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    o.bit_depth = pc.bit_depth;
  });
  ASSERT_NE(run.result, kNoPng) << run.messages;
  EXPECT_EQ(run.options.chosen_colour_type, pc.expect_type);
  EXPECT_EQ(run.options.chosen_bit_depth, pc.expect_depth);
  EXPECT_EQ(size_t(run.result), run.png.size());
  expect_same_pixels(pc.picture, run.png);
  bool ok = false;
  const auto chunks = split_chunks(run.png, &ok);
  ASSERT_TRUE(ok);
  for (const PngChunk& c : chunks) EXPECT_TRUE(c.crc_ok) << c.type;
  const auto zlib = idat_payload(run.png);
  ASSERT_GE(zlib.size(), 2u);
  EXPECT_EQ(zlib[0], 0x78);
  EXPECT_EQ(zlib[1], 0x01);
  EXPECT_NE(run.messages.find("(no compression)"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AllForms, StoredRoundTrip, ::testing::ValuesIn(picture_cases()),
                         [](const auto& info) { return info.param.name; });

// Block headers of the stored stream: one per row, BFINAL only on the last.
std::vector<uint8_t> block_flags(const std::vector<uint8_t>& zlib, std::vector<int>* lengths) {
  std::vector<uint8_t> flags;
  size_t at = 2;
  while (at + 5 <= zlib.size() - 4) {
    flags.push_back(zlib[at]);
    const int len = zlib[at + 1] | zlib[at + 2] << 8;
    const int nlen = zlib[at + 3] | zlib[at + 4] << 8;
    EXPECT_EQ(len ^ 0xFFFF, nlen);
    if (lengths) lengths->push_back(len);
    at += 5 + size_t(len);
    if (flags.back() & 1) break;
  }
  EXPECT_EQ(at + 4, zlib.size());
  return flags;
}

TEST(StoredLayout, OneBlockPerRowWithFinalFlagOnTheLast) {
  for (int32_t h : {1, 3}) {
    const TestPicture p = gray_picture(6, h, {0, 99, 200}, -1);
    const EncodeRun run = run_encoder(p, 0, [](EncodeOptions& o) { o.strategy = 4; });
    std::vector<int> lengths;
    const auto flags = block_flags(idat_payload(run.png), &lengths);
    std::vector<uint8_t> expected(size_t(h), 0);
    expected.back() = 1;
    EXPECT_EQ(flags, expected);
    for (int len : lengths) EXPECT_EQ(len, 7);  // filter byte + 6 indexes
  }
}

// A row longer than one stored block continues in further blocks; only the
// very last block of the stream is final, and the estimate counts the extra
// block headers.
struct WideCase {
  const char* name;
  int32_t colour_type;
  int32_t width;
  std::vector<int> expected_lengths_per_row;
};

class StoredWideRows : public ::testing::TestWithParam<WideCase> {};

TEST_P(StoredWideRows, SplitAcrossStoredBlocks) {
  const WideCase& wc = GetParam();
  const int32_t h = 3;
  TestPicture p = wc.colour_type == 6 ? alpha_picture(wc.width, h, false) : rgb_picture(wc.width, h, false);
  const EncodeRun run = run_encoder(p, wc.colour_type, [](EncodeOptions& o) { o.strategy = 4; });
  ASSERT_NE(run.result, kNoPng) << run.messages;
  expect_same_pixels(p, run.png);
  std::vector<uint8_t> zlib_out;
  const auto zlib = idat_payload(run.png);
  ASSERT_TRUE(zlib_inflate(zlib.data(), zlib.size(), &zlib_out));
  std::vector<int> lengths;
  const auto flags = block_flags(zlib, &lengths);
  std::vector<int> expected_lengths;
  for (int y = 0; y < h; ++y) {
    expected_lengths.insert(expected_lengths.end(), wc.expected_lengths_per_row.begin(),
                            wc.expected_lengths_per_row.end());
  }
  EXPECT_EQ(lengths, expected_lengths);
  for (size_t i = 0; i < flags.size(); ++i) EXPECT_EQ(flags[i], i + 1 == flags.size() ? 1 : 0);
  const int64_t unit = wc.colour_type == 6 ? 4 : 3;
  const int64_t extra = int64_t(wc.expected_lengths_per_row.size()) - 1;
  EXPECT_EQ(run.options.kbuf_capacity, 2111 + (unit * wc.width + 6) * h + 5 * extra * h);
  EXPECT_LE(run.result, run.options.kbuf_capacity);
}

INSTANTIATE_TEST_SUITE_P(Rows, StoredWideRows,
                         ::testing::Values(WideCase{"rgba_16383", 6, 16383, {65533}},
                                           WideCase{"rgba_16384", 6, 16384, {65535, 2}},
                                           WideCase{"rgb_21844", 2, 21844, {65533}},
                                           WideCase{"rgb_21845", 2, 21845, {65535, 1}},
                                           WideCase{"rgba_40000", 6, 40000, {65535, 65535, 28931}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StoredLayout, CapacityEstimateOfOneGrayPixel) {
  const TestPicture p = gray_picture(1, 1, {77}, -1);
  const EncodeRun run = run_encoder(p, 0, [](EncodeOptions& o) { o.strategy = 4; });
  EXPECT_EQ(run.options.kbuf_capacity, 2118);
}

TEST(StoredLayout, CallerCapacityAboveTheEstimateIsLowered) {
  const TestPicture p = gray_picture(1, 1, {77}, -1);
  const EncodeRun run = run_encoder(p, 0, [](EncodeOptions& o) {
    o.strategy = 4;
    o.kbuf_capacity = 1 << 20;
  });
  EXPECT_EQ(run.options.kbuf_capacity, 2118);
}

TEST(StoredLayout, SmallCallerCapacityGrowsForTheStoredLayout) {
  // A PNG input sets the capacity to its own size; the stored layout still
  // gets a buffer it fits in, and the size tells the driver it is larger.
  const TestPicture p = rgb_picture(50, 40, false);
  const EncodeRun run = run_encoder(p, 2, [](EncodeOptions& o) {
    o.strategy = 4;
    o.kbuf_capacity = 100;
  });
  ASSERT_NE(run.result, kNoPng);
  EXPECT_EQ(run.options.kbuf_capacity, 2111 + (150 + 6) * 40);
  expect_same_pixels(p, run.png);
}

TEST(StoredLayout, EstimateBeyondThirtyTwoBitsIsRefusedWithoutAllocating) {
  // RGBA is not scanned, so the pixels are never read: only the estimate
  // decides, and it does not fit a signed 32-bit size.
  TestPicture p = make_picture(1, 1);
  const EncodeRun run = run_encoder(p, 6, [](EncodeOptions& o) {
    o.strategy = 4;
    o.width = 40000;
    o.height = 40000;
    o.pitch = 160000;
  });
  EXPECT_EQ(run.result, kNoPng);
  EXPECT_EQ(run.messages, "\rmalloc failed (gpo->kbuf)");
  EXPECT_EQ(run.options.kbuf, nullptr);
}

TEST(StoredLayout, MessagesPlainAndVerbose) {
  const TestPicture p = gray_picture(4, 4, {0, 255}, -1);
  EncodeRun run = run_encoder(p, 0, [](EncodeOptions& o) { o.strategy = 4; });
  EXPECT_EQ(run.messages,
            ", bitdepth:1\n\rOutput size:" + std::string(8 - std::to_string(run.result).size(), ' ') +
                std::to_string(run.result) + " bytes (no compression)");
  run = run_encoder(p, 0, [](EncodeOptions& o) {
    o.strategy = 4;
    o.verbose = 1;
  });
  const std::string size = std::to_string(run.result);
  const std::string head = ", bitdepth:1\nOutput size:" + std::string(8 - size.size(), ' ') + size +
                           " bytes (no compression)\nTook ";
  ASSERT_EQ(run.messages.substr(0, head.size()), head);
  EXPECT_EQ(run.messages.substr(run.messages.size() - 6), " sec.\n");
}

int stop_after_analysis(int code) { return code == 2; }
int stop_during_scan(int code) { return code == 1; }

TEST(StoredLayout, KeyCheckStopsWithoutAPng) {
  const TestPicture p = gray_picture(4, 4, {0, 255}, -1);
  for (KeyCheckFn stop : {stop_after_analysis, stop_during_scan}) {
    const EncodeRun run = run_encoder(p, 0, [&](EncodeOptions& o) {
      o.strategy = 4;
      o.key_check = stop;
    });
    EXPECT_EQ(run.result, kNoPng);
  }
}

TEST(StoredLayout, NoCallbacksNeeded) {
  const TestPicture p = palette_picture(9, 9, 5, {0xFF});
  EncodeOptions o = default_options(p, 3);
  o.strategy = 4;
  o.print = nullptr;
  o.key_check = nullptr;
  const int32_t size = encode_png(&o);
  ASSERT_NE(size, kNoPng);
  std::vector<uint8_t> png(o.kbuf, o.kbuf + size);
  std::free(o.kbuf);
  expect_same_pixels(p, png);
}

}  // namespace

// The stored layout end to end: every form the encoder chooses must decode
// with libpng to exactly the pixels it was given.
#include <gtest/gtest.h>

#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

EncodeRun stored_run(const TestPicture& p, int32_t colour_type,
                     const std::function<void(EncodeOptions&)>& tweak = nullptr) {
  return run_encoder(p, colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    if (tweak) tweak(o);
  });
}

class StoredRoundTrip : public ::testing::TestWithParam<PictureCase> {};

TEST_P(StoredRoundTrip, LibpngReadsTheSamePixels) {
  const PictureCase& pc = GetParam();
  const EncodeRun run =
      stored_run(pc.picture, pc.colour_type, [&](EncodeOptions& o) { o.bit_depth = pc.bit_depth; });
  ASSERT_TRUE(lossless(pc.picture, run));
  EXPECT_EQ(run.options.chosen_colour_type, pc.expect_type);
  EXPECT_EQ(run.options.chosen_bit_depth, pc.expect_depth);
  const std::vector<uint8_t> zlib = find_chunk(split_chunks(run.png), "IDAT")->data;
  EXPECT_EQ(zlib[0], 0x78);
  EXPECT_EQ(zlib[1], 0x01);
  EXPECT_NE(run.messages.find("(no compression)"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AllForms, StoredRoundTrip, ::testing::ValuesIn(picture_cases()),
                         [](const auto& info) { return info.param.name; });

// Rows go into stored blocks of at most 65535 bytes, a row longer than that
// continuing in further blocks; only the very last block of the stream is
// final. The buffer is sized to the estimate, which counts every block header
// and the kept chunks, whatever capacity the caller offered.
struct BlocksCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  std::vector<int> lengths_per_row;
  int32_t caller_capacity = 0;
  size_t kept_text = 0;  // a kept tEXt chunk with this many bytes of data
};

class StoredBlocks : public ::testing::TestWithParam<BlocksCase> {};

TEST_P(StoredBlocks, RowsSplitAndCapacityEstimated) {
  const BlocksCase& c = GetParam();
  const std::vector<uint8_t> text = testpic::png_chunk("tEXt", std::vector<uint8_t>(c.kept_text, 'x'));
  const uint8_t* kept[1] = {text.data()};
  const EncodeRun run = stored_run(c.picture, c.colour_type, [&](EncodeOptions& o) {
    o.kbuf_capacity = c.caller_capacity;
    o.kept_chunks = kept;
    o.kept_count = c.kept_text ? 1 : 0;
  });
  ASSERT_TRUE(lossless(c.picture, run));
  const std::vector<uint8_t> zlib = find_chunk(split_chunks(run.png), "IDAT")->data;
  std::vector<uint8_t> inflated;
  ASSERT_TRUE(zlib_inflate(zlib.data(), zlib.size(), &inflated));
  std::vector<int> lengths, expected;
  std::vector<uint8_t> flags;
  size_t at = 2;
  while (at + 5 <= zlib.size() - 4 && (flags.empty() || !(flags.back() & 1))) {
    const int len = zlib[at + 1] | zlib[at + 2] << 8;
    EXPECT_EQ(len ^ 0xFFFF, zlib[at + 3] | zlib[at + 4] << 8);
    flags.push_back(zlib[at]);
    lengths.push_back(len);
    at += 5 + size_t(len);
  }
  EXPECT_EQ(at + 4, zlib.size());
  int64_t per_row = 0;
  for (int32_t y = 0; y < c.picture.height; ++y)
    expected.insert(expected.end(), c.lengths_per_row.begin(), c.lengths_per_row.end());
  for (int len : c.lengths_per_row) per_row += len + 5;
  EXPECT_EQ(lengths, expected);
  for (size_t i = 0; i < flags.size(); ++i) EXPECT_EQ(flags[i], i + 1 == flags.size() ? 1 : 0) << i;
  EXPECT_EQ(run.options.kbuf_capacity,
            2111 + per_row * c.picture.height + (c.kept_text ? int64_t(text.size()) : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StoredBlocks,
    ::testing::Values(BlocksCase{"one_gray_pixel", gray_picture(1, 1, {77}, -1), 0, {2}},
                      BlocksCase{
                          "caller_capacity_above_is_lowered", gray_picture(1, 1, {77}, -1), 0, {2}, 1 << 20},
                      BlocksCase{"kept_chunks_counted", gray_picture(1, 1, {77}, -1), 0, {2}, 0, 3000},
                      // A PNG input sets the capacity to its own size; the
                      // stored layout still gets a buffer it fits in.
                      BlocksCase{"small_caller_capacity_grows", rgb_picture(50, 40, false), 2, {151}, 100},
                      BlocksCase{"one_row", gray_picture(6, 1, {0, 99, 200}, -1), 0, {7}},
                      BlocksCase{"three_rows", gray_picture(6, 3, {0, 99, 200}, -1), 0, {7}},
                      BlocksCase{"rgba_16383", alpha_picture(16383, 3, false), 6, {65533}},
                      BlocksCase{"rgba_16384", alpha_picture(16384, 3, false), 6, {65535, 2}},
                      BlocksCase{"rgb_21844", rgb_picture(21844, 3, false), 2, {65533}},
                      BlocksCase{"rgb_21845", rgb_picture(21845, 3, false), 2, {65535, 1}},
                      BlocksCase{"rgba_40000", alpha_picture(40000, 3, false), 6, {65535, 65535, 28931}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StoredLayout, EstimateBeyondThirtyTwoBitsIsRefusedWithoutAllocating) {
  // RGBA is not scanned, so the pixels are never read: only the estimate
  // decides, and it does not fit a signed 32-bit size.
  const EncodeRun run = stored_run(make_picture(1, 1), 6, [](EncodeOptions& o) {
    o.width = o.height = 40000;
    o.pitch = 160000;
  });
  EXPECT_EQ(run.result, kNoPng);
  EXPECT_EQ(run.messages, "\rmalloc failed (gpo->kbuf)");
  EXPECT_EQ(run.options.kbuf, nullptr);
}

TEST(StoredLayout, MessagesPlainAndVerbose) {
  const TestPicture p = gray_picture(4, 4, {0, 255}, -1);
  for (int32_t verbose : {0, 1}) {
    const EncodeRun run = stored_run(p, 0, [&](EncodeOptions& o) { o.verbose = verbose; });
    const std::string size = std::to_string(run.result);
    const std::string head = std::string(", bitdepth:1\n") + (verbose ? "" : "\r") +
                             "Output size:" + std::string(8 - size.size(), ' ') + size +
                             " bytes (no compression)";
    if (!verbose) {
      EXPECT_EQ(run.messages, head);
    }
    ASSERT_EQ(run.messages.substr(0, head.size()), head);
    if (verbose) {
      EXPECT_EQ(run.messages.substr(head.size(), 6), "\nTook ");
    }
    if (verbose) {
      EXPECT_EQ(run.messages.substr(run.messages.size() - 6), " sec.\n");
    }
  }
}

int stop_after_analysis(void*, int code) { return code == 2; }
int stop_during_scan(void*, int code) { return code == 1; }

TEST(StoredLayout, KeyCheckStopsWithoutAPng) {
  for (KeyCheckFn stop : {KeyCheckFn{stop_after_analysis, nullptr}, KeyCheckFn{stop_during_scan, nullptr}})
    EXPECT_EQ(
        stored_run(gray_picture(4, 4, {0, 255}, -1), 0, [&](EncodeOptions& o) { o.key_check = stop; }).result,
        kNoPng);
}

TEST(StoredLayout, NoCallbacksNeeded) {
  const TestPicture p = palette_picture(9, 9, 5, {0xFF});
  EncodeOptions o = default_options(p, 3);
  o.strategy = 4;
  o.print = PrintFn{};
  o.key_check = KeyCheckFn{};
  const int32_t size = encode_png(&o);
  ASSERT_NE(size, kNoPng);
  const std::vector<uint8_t> png(o.kbuf, o.kbuf + size);
  std::free(o.kbuf);
  EXPECT_TRUE(png_shows(png, p.width, p.height, p.pixels));
}

}  // namespace

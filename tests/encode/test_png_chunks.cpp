// The chunks around IDAT: where kept chunks go, what is rewritten or left
// out, and the PLTE/tRNS/bKGD the chosen form needs.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "encode/encode_png.h"
#include "encode/png_chunks.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/picture_builder.h"

namespace {

// Kept chunks laid out as the driver passes them: pointers into one image.
struct KeptChunks {
  std::vector<std::vector<uint8_t>> bytes;
  std::vector<const uint8_t*> pointers;
  int32_t before_plte = 0, before_idat = 0;

  void add(const std::string& type, const std::vector<uint8_t>& data) {
    bytes.push_back(testpic::png_chunk(type, data));
  }
  void apply(EncodeOptions& o) {
    pointers.clear();
    for (auto& b : bytes) pointers.push_back(b.data());
    o.kept_chunks = pointers.data();
    o.kept_first = 0;
    o.kept_before_plte = before_plte;
    o.kept_before_idat = before_idat;
    o.kept_count = int32_t(bytes.size());
  }
};

struct GroupCase {
  const char* name;
  int32_t colour_type;
  std::string sequence;
};

class KeptGroups : public ::testing::TestWithParam<GroupCase> {};

TEST_P(KeptGroups, ChunksLandInTheirGroups) {
  const TestPicture four = picture_of(4, 2,
                                      {0xFF101010u, 0xFF202020u, 0xFF303030u, 0xFF404040u, 0xFF101010u,
                                       0xFF202020u, 0xFF303030u, 0xFF404040u});
  KeptChunks kept;
  kept.add("gAMA", {0, 0, 0xB1, 0x8F});
  kept.add("sBIT", {5});
  kept.add("bKGD", {0, 9});
  kept.before_plte = 3;
  kept.add("hIST", {0, 1, 0, 1, 0, 1, 0, 1});
  kept.add("bKGD", {9});
  kept.add("cHRM", std::vector<uint8_t>(32, 1));
  kept.before_idat = 6;
  kept.add("tEXt", {'a', 0, 'b'});
  kept.add("bKGD", {0, 1});
  const EncodeRun run = run_encoder(four, GetParam().colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    o.background = 0xFF101010u;  // in the palette, which has no room left at depth 2
    kept.apply(o);
  });
  ASSERT_TRUE(lossless(four, run));
  const auto chunks = split_chunks(run.png);
  EXPECT_EQ(chunk_sequence(chunks), GetParam().sequence);
  // Copied chunks are byte for byte the input's, CRC included.
  EXPECT_EQ(find_chunk(chunks, "gAMA")->whole, kept.bytes[0]);
  EXPECT_EQ(find_chunk(chunks, "cHRM")->whole, kept.bytes[5]);
  EXPECT_EQ(find_chunk(chunks, "tEXt")->whole, kept.bytes[6]);
  EXPECT_GE(run.options.kbuf_capacity, run.result);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, KeptGroups,
    ::testing::Values(GroupCase{"palette", 3, "IHDR,gAMA,sBIT,PLTE,bKGD,hIST,cHRM,IDAT,tEXt,bKGD,IEND"},
                      GroupCase{"gray", 0, "IHDR,gAMA,sBIT,bKGD,cHRM,IDAT,tEXt,bKGD,IEND"},
                      GroupCase{"rgb", 2, "IHDR,gAMA,sBIT,bKGD,cHRM,IDAT,tEXt,bKGD,IEND"}),
    [](const auto& info) { return std::string(info.param.name); });

// One chunk the chosen form writes (or leaves out), checked byte for byte.
struct ChunkCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  const char* type;
  std::vector<uint8_t> expected;  // its data; empty = not written
  uint32_t background = 0;
  int32_t bit_depth = 0;
  std::vector<uint8_t> sbit = {};  // the kept sBIT chunk's data, for the sBIT cases
};

class ChunkForms : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkForms, WrittenForTheColourType) {
  const ChunkCase& c = GetParam();
  KeptChunks kept;
  if (std::string(c.type) == "sBIT") {
    kept.add("sBIT", c.sbit);
    kept.before_plte = kept.before_idat = 1;
  }
  const EncodeRun run = run_encoder(c.picture, c.colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    o.bit_depth = c.bit_depth;
    o.background = c.background;
    kept.apply(o);
  });
  ASSERT_TRUE(lossless(c.picture, run));
  const auto chunks = split_chunks(run.png);
  const PngChunk* chunk = find_chunk(chunks, c.type);
  if (c.expected.empty()) {
    EXPECT_EQ(chunk, nullptr);
    return;
  }
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->data, c.expected);
  if (c.colour_type == 3 && c.background) {
    // The bKGD index names the background's own PLTE entry, one appended
    // after the picture's colours when the picture lacks it.
    const std::vector<uint8_t>& plte = find_chunk(chunks, "PLTE")->data;
    const size_t at = 3 * size_t(c.expected[0]);
    ASSERT_GE(plte.size(), at + 3);
    EXPECT_EQ(uint32_t(plte[at]) << 16 | uint32_t(plte[at + 1]) << 8 | plte[at + 2], c.background & 0xFFFFFF);
    const auto& px = c.picture.pixels;
    EXPECT_EQ(plte.size() == at + 3, std::find(px.begin(), px.end(), c.background) == px.end());
  }
}

const TestPicture kTwoGrays = picture_of(2, 1, {0xFF202020u, 0xFF404040u});

// clang-format off
INSTANTIATE_TEST_SUITE_P(Forms, ChunkForms, ::testing::Values(
    ChunkCase{"sbit_gray", kTwoGrays, 0, "sBIT", {5}, 0, 0, {5}},
    ChunkCase{"sbit_rgb", kTwoGrays, 2, "sBIT", {5, 5, 5}, 0, 0, {5}},
    ChunkCase{"sbit_palette", kTwoGrays, 3, "sBIT", {5, 5, 5}, 0, 0, {5}},
    ChunkCase{"sbit_gray_alpha", kTwoGrays, 4, "sBIT", {5, 5}, 0, 0, {5}},
    ChunkCase{"sbit_rgba", kTwoGrays, 6, "sBIT", {5, 5, 5, 5}, 0, 0, {5}},
    ChunkCase{"sbit_two_to_rgba", kTwoGrays, 6, "sBIT", {1, 1, 1, 1}, 0, 0, {1, 2}},
    ChunkCase{"sbit_three_to_rgba", kTwoGrays, 6, "sBIT", {1, 2, 3, 1}, 0, 0, {1, 2, 3}},
    ChunkCase{"sbit_four_to_gray_alpha", kTwoGrays, 4, "sBIT", {1, 4}, 0, 0, {1, 2, 3, 4}},
    ChunkCase{"sbit_six_to_rgba", kTwoGrays, 6, "sBIT", {1, 2, 3, 4}, 0, 0, {1, 2, 3, 4, 9, 9}},
    ChunkCase{"sbit_three_to_gray", kTwoGrays, 0, "sBIT", {7}, 0, 0, {7, 6, 5}},
    ChunkCase{"sbit_empty_dropped", kTwoGrays, 2, "sBIT", {}, 0, 0, {}},
    ChunkCase{"bkgd_gray4_scaled", gray_picture(4, 2, {0, 17, 255}, -1), 0, "bKGD", {0, 7}, 0xFF808080u},
    ChunkCase{"bkgd_gray8", gray_picture(4, 2, {0, 1}, -1), 0, "bKGD", {0, 0x80}, 0xFF808080u},
    ChunkCase{"bkgd_gray_alpha", alpha_picture(4, 2, true), 4, "bKGD", {0, 0xC8}, 0xFF0000C8u},
    ChunkCase{"bkgd_rgb", rgb_picture(4, 2, false), 2, "bKGD", {0, 0x12, 0, 0x34, 0, 0x56}, 0xFF123456u},
    ChunkCase{"bkgd_rgba", alpha_picture(4, 2, false), 6, "bKGD", {0, 0xAB, 0, 0xCD, 0, 0xEF}, 0xFFABCDEFu},
    ChunkCase{"bkgd_palette_appended", ramp_picture(16, 0x0F0000u), 3, "bKGD", {16}, 0xFF00FF00u, 8},
    ChunkCase{"bkgd_palette_found", ramp_picture(16, 0x0F0000u), 3, "bKGD", {2}, 0xFF1E0000u},
    ChunkCase{"trns_palette_opaque", picture_of(2, 1, {0xFF000001u, 0xFF000002u}), 3, "tRNS", {}},
    ChunkCase{"trns_palette_first_entry_only", picture_of(3, 1, {0xFF000001u, 0x40000002u, 0xFF000001u}), 3,
              "tRNS", {0x40}},
    ChunkCase{"trns_palette_two_translucent", picture_of(4, 1, {0xFF000001u, 0x40000002u, 0x00000003u,
              0xFF000004u}), 3, "tRNS", {0x40, 0x00}},
    ChunkCase{"trns_gray2_key", picture_of(3, 1, {0xFF000000u, 0x00555555u, 0xFFFFFFFFu}), 0, "tRNS", {0, 1}},
    ChunkCase{"trns_gray8_key", picture_of(3, 1, {0xFF000000u, 0x00010101u, 0xFF020202u}), 0, "tRNS", {0, 1}},
    ChunkCase{"trns_gray_opaque", picture_of(2, 1, {0xFF000000u, 0xFF010101u}), 0, "tRNS", {}},
    ChunkCase{"trns_rgb_key", picture_of(3, 1, {0xFF000000u, 0x00123456u, 0xFFFF0000u}), 2, "tRNS",
              {0, 0x12, 0, 0x34, 0, 0x56}},
    ChunkCase{"trns_rgba_none", picture_of(2, 1, {0xFF000000u, 0x00123456u}), 6, "tRNS", {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(PngChunks, StartsWithSignatureAndIhdrEndsWithIend) {
  const EncodeRun run =
      run_encoder(gray_picture(300, 2, {0, 17, 255}, -1), 0, [](EncodeOptions& o) { o.strategy = 4; });
  EXPECT_EQ(std::vector<uint8_t>(run.png.begin(), run.png.begin() + 29),
            (std::vector<uint8_t>{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D',
                                  'R',  0,   0,   1,   0x2C, 0,    0,    0,    2, 4, 0, 0,  0,   0}));
  EXPECT_EQ(std::vector<uint8_t>(run.png.end() - 12, run.png.end()),
            (std::vector<uint8_t>{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}));
}

// The two-step chunk of a compression pass: length and CRC as zlib has them
// when every byte fits; past the capacity nothing is written outside kbuf,
// every byte is still counted, and the length is patched whenever its field fits.
TEST(PngChunks, OpenedChunkClosesWithItsLengthAndCrc) {
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  for (int32_t capacity : {40, 21, 17, 8, 3}) {
    std::vector<uint8_t> buffer(size_t(capacity) + 8, 0xEE);
    BitWriter w{};
    w.kbuf = buffer.data();
    w.kbuf_capacity = capacity;
    emit_byte(&w, 0x42);
    const int32_t start = open_chunk(&w, "IDAT");
    EXPECT_EQ(start, 1);
    emit_bytes(&w, data, 5);
    close_chunk(&w, start);
    EXPECT_EQ(w.out_count, 1 + 12 + 5) << capacity;
    for (size_t i = size_t(capacity); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << capacity;
    if (capacity >= 5) {
      EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 1, buffer.begin() + 5), (std::vector<uint8_t>{0, 0, 0, 5}))
          << capacity;
    }
    if (capacity >= 18) {
      const uint32_t crc = uint32_t(crc32(0, buffer.data() + 5, 9));
      EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 14, buffer.begin() + 18),
                (std::vector<uint8_t>{uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)}));
    }
  }
}

}  // namespace

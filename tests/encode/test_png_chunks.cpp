// The chunks around IDAT: where kept chunks go, what is rewritten or left
// out, and the PLTE/tRNS/bKGD the chosen form needs.
#include <gtest/gtest.h>

#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

TestPicture picture_of(int32_t w, int32_t h, const std::vector<uint32_t>& pixels) {
  TestPicture p = make_picture(w, h);
  p.pixels = pixels;
  return p;
}

// Kept chunks laid out as the driver passes them: pointers into one image.
struct KeptChunks {
  std::vector<std::vector<uint8_t>> bytes;
  std::vector<const uint8_t*> pointers;
  int32_t before_plte = 0, before_idat = 0;

  void add(const std::string& type, const std::vector<uint8_t>& data) {
    bytes.push_back(make_chunk(type, data));
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

const PngChunk* find_chunk(const std::vector<PngChunk>& chunks, const std::string& type) {
  for (const PngChunk& c : chunks) {
    if (c.type == type) return &c;
  }
  return nullptr;
}

std::vector<uint8_t> raw_chunk(const std::vector<uint8_t>& png, const PngChunk& c) {
  return std::vector<uint8_t>(png.begin() + long(c.offset),
                              png.begin() + long(c.offset + 12 + c.data.size()));
}

const TestPicture kFourColours = picture_of(
    4, 2,
    {0xFF101010u, 0xFF202020u, 0xFF303030u, 0xFF404040u, 0xFF101010u, 0xFF202020u, 0xFF303030u, 0xFF404040u});

struct GroupCase {
  const char* name;
  int32_t colour_type;
  std::string sequence;
};

class KeptGroups : public ::testing::TestWithParam<GroupCase> {};

TEST_P(KeptGroups, ChunksLandInTheirGroups) {
  const GroupCase& gc = GetParam();
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
  const EncodeRun run = run_encoder(kFourColours, gc.colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    o.background = 0xFF101010u;  // in the palette, which has no room left at depth 2
    kept.apply(o);
  });
  ASSERT_NE(run.result, kNoPng) << run.messages;
  bool ok = false;
  const auto chunks = split_chunks(run.png, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(chunk_sequence(chunks), gc.sequence);
  for (const PngChunk& c : chunks) EXPECT_TRUE(c.crc_ok) << c.type;
  // Copied chunks are byte for byte the input's, CRC included.
  EXPECT_EQ(raw_chunk(run.png, *find_chunk(chunks, "gAMA")), kept.bytes[0]);
  EXPECT_EQ(raw_chunk(run.png, *find_chunk(chunks, "cHRM")), kept.bytes[5]);
  EXPECT_EQ(raw_chunk(run.png, *find_chunk(chunks, "tEXt")), kept.bytes[6]);
  EXPECT_GE(run.options.kbuf_capacity, run.result);
  OraclePicture out;
  ASSERT_TRUE(libpng_decode(run.png, &out));
  EXPECT_EQ(out.pixels, kFourColours.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, KeptGroups,
    ::testing::Values(GroupCase{"palette", 3, "IHDR,gAMA,sBIT,PLTE,bKGD,hIST,cHRM,IDAT,tEXt,bKGD,IEND"},
                      GroupCase{"gray", 0, "IHDR,gAMA,sBIT,bKGD,cHRM,IDAT,tEXt,bKGD,IEND"},
                      GroupCase{"rgb", 2, "IHDR,gAMA,sBIT,bKGD,cHRM,IDAT,tEXt,bKGD,IEND"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PngChunks, CapacityEstimateCountsKeptChunks) {
  KeptChunks kept;
  kept.add("tEXt", std::vector<uint8_t>(3000, 'x'));
  kept.before_plte = 0;
  kept.before_idat = 0;
  const TestPicture p = gray_picture(1, 1, {77}, -1);
  const EncodeRun run = run_encoder(p, 0, [&](EncodeOptions& o) {
    o.strategy = 4;
    kept.apply(o);
  });
  EXPECT_EQ(run.options.kbuf_capacity, 2118 + 3012);
  EXPECT_LE(run.result, run.options.kbuf_capacity);
}

struct SbitCase {
  std::vector<uint8_t> input;
  int32_t colour_type;
  std::vector<uint8_t> expected;  // empty = no sBIT written
};

class SbitRewrite : public ::testing::TestWithParam<SbitCase> {};

TEST_P(SbitRewrite, ShapedForTheOutputChannels) {
  const SbitCase& sc = GetParam();
  KeptChunks kept;
  kept.add("sBIT", sc.input);
  kept.before_plte = 1;
  kept.before_idat = 1;
  const TestPicture p = picture_of(2, 1, {0xFF202020u, 0xFF404040u});
  const EncodeRun run = run_encoder(p, sc.colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    kept.apply(o);
  });
  ASSERT_NE(run.result, kNoPng) << run.messages;
  const auto chunks = split_chunks(run.png);
  const PngChunk* sbit = find_chunk(chunks, "sBIT");
  if (sc.expected.empty()) {
    EXPECT_EQ(sbit, nullptr);
    return;
  }
  ASSERT_NE(sbit, nullptr);
  EXPECT_EQ(sbit->data, sc.expected);
  EXPECT_TRUE(sbit->crc_ok);
}

INSTANTIATE_TEST_SUITE_P(Channels, SbitRewrite,
                         ::testing::Values(SbitCase{{5}, 0, {5}}, SbitCase{{5}, 2, {5, 5, 5}},
                                           SbitCase{{5}, 3, {5, 5, 5}}, SbitCase{{5}, 4, {5, 5}},
                                           SbitCase{{5}, 6, {5, 5, 5, 5}}, SbitCase{{1, 2}, 6, {1, 1, 1, 1}},
                                           SbitCase{{1, 2, 3}, 6, {1, 2, 3, 1}},
                                           SbitCase{{1, 2, 3, 4}, 4, {1, 4}},
                                           SbitCase{{1, 2, 3, 4, 9, 9}, 6, {1, 2, 3, 4}},
                                           SbitCase{{7, 6, 5}, 0, {7}}, SbitCase{{}, 2, {}}));

struct BackgroundCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  int32_t bit_depth;
  uint32_t background;
  std::vector<uint8_t> expected;
};

class Background : public ::testing::TestWithParam<BackgroundCase> {};

TEST_P(Background, WrittenForTheColourType) {
  const BackgroundCase& bc = GetParam();
  const EncodeRun run = run_encoder(bc.picture, bc.colour_type, [&](EncodeOptions& o) {
    o.strategy = 4;
    o.bit_depth = bc.bit_depth;
    o.background = bc.background;
  });
  ASSERT_NE(run.result, kNoPng) << run.messages;
  const auto chunks = split_chunks(run.png);
  const PngChunk* bkgd = find_chunk(chunks, "bKGD");
  ASSERT_NE(bkgd, nullptr);
  EXPECT_EQ(bkgd->data, bc.expected);
  OraclePicture out;
  ASSERT_TRUE(libpng_decode(run.png, &out));
  EXPECT_EQ(out.pixels, bc.picture.pixels);
}

TestPicture sixteen_colours() {
  TestPicture p = make_picture(16, 1);
  for (uint32_t i = 0; i < 16; ++i) p.pixels[i] = 0xFF000000u | i * 0x0F0000u;
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Background,
    ::testing::Values(
        BackgroundCase{"gray4_scaled", gray_picture(4, 2, {0, 17, 255}, -1), 0, 0, 0xFF808080u, {0, 7}},
        BackgroundCase{"gray8", gray_picture(4, 2, {0, 1}, -1), 0, 0, 0xFF808080u, {0, 0x80}},
        BackgroundCase{"gray_alpha", alpha_picture(4, 2, true), 4, 0, 0xFF0000C8u, {0, 0xC8}},
        BackgroundCase{"rgb", rgb_picture(4, 2, false), 2, 0, 0xFF123456u, {0, 0x12, 0, 0x34, 0, 0x56}},
        BackgroundCase{"rgba", alpha_picture(4, 2, false), 6, 0, 0xFFABCDEFu, {0, 0xAB, 0, 0xCD, 0, 0xEF}},
        BackgroundCase{"palette_appended", sixteen_colours(), 3, 8, 0xFF00FF00u, {16}},
        BackgroundCase{"palette_found", sixteen_colours(), 3, 0, 0xFF1E0000u, {2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PngChunks, BackgroundOutsideAFullPaletteIsRefused) {
  const EncodeRun run = run_encoder(sixteen_colours(), 3, [](EncodeOptions& o) {
    o.strategy = 4;
    o.background = 0xFF00FF00u;
  });
  EXPECT_EQ(run.result, kNoPng);
  EXPECT_EQ(run.messages,
            ", 16 unique colors, bitdepth:4\n"
            "\rbKGD chunk can't fit palette index. Try higher bitdepth, /c2 or /c6 instead\n");
}

TEST(PngChunks, AppendedBackgroundWidensPlte) {
  const EncodeRun run = run_encoder(sixteen_colours(), 3, [](EncodeOptions& o) {
    o.strategy = 4;
    o.bit_depth = 8;
    o.background = 0xFF00FF00u;
  });
  const auto chunks = split_chunks(run.png);
  ASSERT_NE(find_chunk(chunks, "PLTE"), nullptr);
  EXPECT_EQ(find_chunk(chunks, "PLTE")->data.size(), 17u * 3);
  const std::vector<uint8_t> tail(find_chunk(chunks, "PLTE")->data.end() - 3,
                                  find_chunk(chunks, "PLTE")->data.end());
  EXPECT_EQ(tail, (std::vector<uint8_t>{0, 0xFF, 0}));
}

struct TransparencyCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  std::vector<uint8_t> expected;  // empty = no tRNS
};

class Transparency : public ::testing::TestWithParam<TransparencyCase> {};

TEST_P(Transparency, TrnsForTheForm) {
  const TransparencyCase& tc = GetParam();
  const EncodeRun run = run_encoder(tc.picture, tc.colour_type, [](EncodeOptions& o) { o.strategy = 4; });
  ASSERT_NE(run.result, kNoPng) << run.messages;
  const auto chunks = split_chunks(run.png);
  const PngChunk* trns = find_chunk(chunks, "tRNS");
  if (tc.expected.empty()) {
    EXPECT_EQ(trns, nullptr);
  } else {
    ASSERT_NE(trns, nullptr);
    EXPECT_EQ(trns->data, tc.expected);
  }
  OraclePicture out;
  ASSERT_TRUE(libpng_decode(run.png, &out));
  EXPECT_EQ(out.pixels, tc.picture.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Transparency,
    ::testing::Values(
        TransparencyCase{"palette_opaque", picture_of(2, 1, {0xFF000001u, 0xFF000002u}), 3, {}},
        TransparencyCase{
            "palette_first_entry_only", picture_of(3, 1, {0xFF000001u, 0x40000002u, 0xFF000001u}), 3, {0x40}},
        TransparencyCase{"palette_two_translucent",
                         picture_of(4, 1, {0xFF000001u, 0x40000002u, 0x00000003u, 0xFF000004u}),
                         3,
                         {0x40, 0x00}},
        TransparencyCase{"gray2_key", picture_of(3, 1, {0xFF000000u, 0x00555555u, 0xFFFFFFFFu}), 0, {0, 1}},
        TransparencyCase{"gray8_key", picture_of(3, 1, {0xFF000000u, 0x00010101u, 0xFF020202u}), 0, {0, 1}},
        TransparencyCase{"gray_opaque", picture_of(2, 1, {0xFF000000u, 0xFF010101u}), 0, {}},
        TransparencyCase{"rgb_key",
                         picture_of(3, 1, {0xFF000000u, 0x00123456u, 0xFFFF0000u}),
                         2,
                         {0, 0x12, 0, 0x34, 0, 0x56}},
        TransparencyCase{"rgba_no_trns", picture_of(2, 1, {0xFF000000u, 0x00123456u}), 6, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PngChunks, StartsWithSignatureAndIhdr) {
  const TestPicture p = gray_picture(300, 2, {0, 17, 255}, -1);
  const EncodeRun run = run_encoder(p, 0, [](EncodeOptions& o) { o.strategy = 4; });
  const std::vector<uint8_t> head(run.png.begin(), run.png.begin() + 29);
  const std::vector<uint8_t> expected = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0,
                                         0,    13,  'I', 'H', 'D',  'R',  0,    0,    1, 0x2C,
                                         0,    0,   0,   2,   4,    0,    0,    0,    0};
  EXPECT_EQ(head, expected);
  const std::vector<uint8_t> tail(run.png.end() - 12, run.png.end());
  EXPECT_EQ(tail, (std::vector<uint8_t>{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}));
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/chunk_select.h"
#include "tests/support/picture_builder.h"
#include "tests/support/print_capture.h"

namespace {

using namespace testpic;

std::string& printed = captured_messages();
const PrintFn capture = capture_printer();

struct Walk {
  ChunkSelection selection;
  uint32_t background;
  std::vector<std::string> kept_types;
};

Walk walk(const Bytes& png, const char* list, int colour_type = -1, int verbose = 0,
          uint32_t background = 0x00123456) {
  printed.clear();
  Walk w;
  w.background = background;
  select_chunks(png.data(), int32_t(png.size()), list, colour_type, verbose, capture, &w.selection,
                &w.background);
  for (int i = 0; i < w.selection.kept_count; ++i)
    w.kept_types.emplace_back(reinterpret_cast<const char*>(w.selection.kept[i]) + 4, 4);
  return w;
}

// IHDR, tEXt, PLTE, gAMA, bKGD, IDAT, zTXt, tEXt, IEND: every section has
// something optional in it.
Bytes sectioned_png() {
  Bytes rows = {0, 0, 0, 0, 0};
  return png_file({ihdr_chunk(4, 1, 8, 3), png_chunk("tEXt", Bytes{'a', 0, 'b'}),
                   png_chunk("PLTE", Bytes(6, 0x40)), png_chunk("gAMA", {0, 1, 0x86, 0xA0}),
                   png_chunk("bKGD", {1}), idat_chunk(rows, 9), png_chunk("zTXt", Bytes{'c', 0, 0, 'x'}),
                   png_chunk("tEXt", Bytes{'d', 0, 'e'}), png_chunk("IEND", {})});
}

struct ListCase {
  const char* list;
  std::vector<std::string> kept;
};

class ChunkListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ChunkListTest, KeepsWhatTheListNamesQuietly) {
  EXPECT_EQ(walk(sectioned_png(), GetParam().list).kept_types, GetParam().kept) << GetParam().list;
  EXPECT_EQ(printed, "");
}

INSTANTIATE_TEST_SUITE_P(Lists, ChunkListTest,
                         ::testing::Values(ListCase{"", {}}, ListCase{"0", {}}, ListCase{"px", {}},
                                           ListCase{"gama", {}}, ListCase{",,,", {}},
                                           ListCase{"1", {"tEXt", "gAMA", "bKGD", "zTXt", "tEXt"}},
                                           ListCase{"all", {"tEXt", "gAMA", "bKGD", "zTXt", "tEXt"}},
                                           ListCase{"ALL", {"tEXt", "gAMA", "bKGD", "zTXt", "tEXt"}},
                                           ListCase{"gAMA,bKGD,tEXt", {"tEXt", "gAMA", "bKGD", "tEXt"}},
                                           ListCase{",,zTXt,,", {"zTXt"}}, ListCase{"tEXtX,gAM", {}},
                                           ListCase{"IDAT,PLTE,IEND", {}}));

TEST(ChunkSelect, GroupsFollowPlteAndIdat) {
  const Bytes png = sectioned_png();
  const Walk w = walk(png, "1");
  EXPECT_EQ(w.selection.kept_before_plte, 1);
  EXPECT_EQ(w.selection.kept_before_idat, 3);
  EXPECT_EQ(w.selection.kept_count, 5);
  // Each entry points at the chunk's length field inside the image.
  EXPECT_EQ(w.selection.kept[0][3], 3);
}

TEST(ChunkSelect, WithoutPlteTheFirstTwoGroupsMeet) {
  const Bytes png =
      rgb_png(2, 2, 9, {png_chunk("gAMA", {0, 1, 0x86, 0xA0})}, {png_chunk("tEXt", Bytes{'k', 0, 'v'})});
  const Walk w = walk(png, "1");
  EXPECT_EQ(w.selection.kept_before_plte, 1);
  EXPECT_EQ(w.selection.kept_before_idat, 1);
  EXPECT_EQ(w.selection.kept_count, 2);
}

TEST(ChunkSelect, BackgroundOnlyWhenBkgdIsKept) {
  EXPECT_EQ(walk(sectioned_png(), "bKGD", -1, 0, 0).background, 0xFF000000u);
  EXPECT_EQ(walk(sectioned_png(), "bKGD", -1, 0, 0x00123456).background, 0xFF123456u);
  EXPECT_EQ(walk(sectioned_png(), "gAMA", -1, 0, 0xFF123456).background, 0u);
  EXPECT_EQ(walk(sectioned_png(), "", -1, 0, 0xFF123456).background, 0u);
  EXPECT_EQ(walk(bytes_of("GIF89a, not a png at all"), "1", -1, 0, 0xFF123456).background, 0u);
}

TEST(ChunkSelect, ChunksBeforeIhdrAreNeverKept) {
  Bytes png = png_file({png_chunk("tEXt", Bytes{'a', 0, 'b'}), ihdr_chunk(1, 1, 8, 0), idat_chunk({0, 0}, 9),
                        png_chunk("IEND", {})});
  EXPECT_TRUE(walk(png, "1").kept_types.empty());
}

TEST(ChunkSelect, AtMost256Kept) {
  std::vector<Bytes> chunks = {ihdr_chunk(1, 1, 8, 0)};
  for (int i = 0; i < 300; ++i) chunks.push_back(png_chunk("tEXt", Bytes{'k', 0, 'v'}));
  chunks.push_back(idat_chunk({0, 0}, 9));
  chunks.push_back(png_chunk("IEND", {}));
  const Walk w = walk(png_file(chunks), "tEXt", -1, 1);
  EXPECT_EQ(w.selection.kept_count, 256);
  size_t keeps = 0, pos = 0;
  while ((pos = printed.find("    Keep chunk: tEXt", pos)) != std::string::npos) ++keeps, ++pos;
  EXPECT_EQ(keeps, 256u);
}

TEST(ChunkSelect, VerboseListing) {
  const Bytes png = sectioned_png();
  walk(png, "gAMA", 2, 1);
  const std::string expected_start =
      "                Name  Offset   Length     CRC\n"
      "Required chunk: IHDR 00000010 0000000d ";
  EXPECT_EQ(printed.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(printed.find("  Remove chunk: tEXt 00000029 00000003 "), std::string::npos);
  EXPECT_NE(printed.find("  Remove chunk: PLTE "), std::string::npos);
  EXPECT_NE(printed.find("    Keep chunk: gAMA "), std::string::npos);
  EXPECT_NE(printed.find("Required chunk: IEND 000000"), std::string::npos);
  EXPECT_EQ(printed.substr(printed.size() - 2), "\n\n");

  walk(png, "", 3, 1);
  EXPECT_NE(printed.find("Required chunk: PLTE "), std::string::npos);
  walk(png, "", -1, 1);
  EXPECT_NE(printed.find("Required chunk: PLTE "), std::string::npos);
}

TEST(ChunkSelect, CrcPrintedAsStored) {
  const Bytes png = png_file({ihdr_chunk(1, 1, 8, 0), idat_chunk({0, 0}, 9), png_chunk("IEND", {})});
  walk(png, "", -1, 1);
  EXPECT_NE(printed.find("Required chunk: IEND 000000"), std::string::npos);
  EXPECT_NE(printed.find(" ae426082\n"), std::string::npos);
}

// A length that runs past the end: never kept, never read past, and the walk
// stops there. Copies of the damaged file are cut to size so that the address
// sanitizer would see a read past the end.
TEST(ChunkSelect, ChunkRunningPastTheEndIsNotKept) {
  Bytes png = sectioned_png();
  // Cut the file inside the zTXt chunk after IDAT.
  const size_t ztxt = std::string(png.begin(), png.end()).find("zTXt") - 4;
  for (size_t cut : {ztxt + 3, ztxt + 8, ztxt + 12, ztxt + 14}) {
    const Bytes damaged(png.begin(), png.begin() + long(cut));
    const Walk w = walk(damaged, "1", -1, 1);
    EXPECT_EQ(w.kept_types, (std::vector<std::string>{"tEXt", "gAMA", "bKGD"})) << cut;
    EXPECT_NE(printed.find("  Broken chunk: "), std::string::npos) << cut;
  }
  // A length near 4 GiB must not wrap the walk back into the file.
  Bytes huge = sectioned_png();
  huge[ztxt] = 0xFF;
  huge[ztxt + 1] = 0xFF;
  huge[ztxt + 2] = 0xFF;
  huge[ztxt + 3] = 0xF0;
  const Walk w = walk(huge, "1", -1, 1);
  EXPECT_EQ(w.selection.kept_count, 3);
  EXPECT_NE(printed.find("  Broken chunk: zTXt "), std::string::npos);
  EXPECT_EQ(printed.find("tEXt 000000", printed.find("zTXt")), std::string::npos);
}

TEST(ChunkSelect, AnimationIsRecognisedBeforeIdatOnly) {
  const Bytes actl = png_chunk("acTL", {0, 0, 0, 2, 0, 0, 0, 0});
  Bytes cut = rgb_png(2, 2, 9, {actl});
  cut.resize(40);
  const std::pair<Bytes, bool> cases[] = {{rgb_png(2, 2, 9, {actl}), true},
                                          {rgb_png(2, 2, 9, {}, {actl}), false},
                                          {rgb_png(2, 2, 9), false},
                                          {cut, false}};
  for (const auto& [png, animated] : cases)
    EXPECT_EQ(is_animated_png(png.data(), int32_t(png.size())), animated);
}

}  // namespace

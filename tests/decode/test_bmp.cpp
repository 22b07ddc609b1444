// BMP input: pixels against known values, stb_image and the suite's
// reference renderings; hostile headers and cut files.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "decode/picture.h"
#include "tests/support/decode_check.h"
#include "tests/support/oracle.h"

namespace {

using namespace decodecheck;

// A BMP of `values` (picture order, top row first): palette indexes for 1, 4
// and 8 bits, 0xRRGGBB for 24 bits, the stored 16- or 32-bit value otherwise.
// With masks the compression is 3 and they go to offset 54; a header of 12
// bytes is the core layout with 3-byte palette entries.
struct BmpSpec {
  int32_t width = 1;
  int32_t height = 1;  // negative: rows stored top-down
  uint16_t bpp = 24;
  uint32_t header_size = 40;
  std::vector<uint32_t> palette = {};  // 0xRRGGBB
  bool with_masks = false;
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue; alpha at 66 when not 0
  int64_t compression = -1;          // -1: 3 with masks, else 0
  Bytes stream = {};                 // run-length data written in place of the rows
};

Bytes make_bmp(const BmpSpec& s, const std::vector<uint32_t>& values) {
  const bool core = s.header_size == 12;
  const int32_t rows = s.height < 0 ? -s.height : s.height;
  const size_t row_bytes = ((size_t(s.bpp) * size_t(s.width) + 31) >> 3) & ~size_t(3);
  size_t palette_at = 14 + s.header_size;
  if (s.with_masks && palette_at < (s.masks[3] != 0 ? 70u : 66u)) palette_at = s.masks[3] != 0 ? 70 : 66;
  const size_t entry = core ? 3 : 4;
  const size_t pixel_at = palette_at + entry * s.palette.size();
  const bool rle = !s.stream.empty();
  Bytes b(pixel_at + (rle ? s.stream.size() : row_bytes * size_t(rows)), 0);
  b[0] = 'B';
  b[1] = 'M';
  put_le32(b, 2, uint32_t(b.size()));
  put_le32(b, 10, uint32_t(pixel_at));
  put_le32(b, 14, s.header_size);
  if (core) {
    put_le16(b, 18, uint32_t(s.width));
    put_le16(b, 20, uint32_t(s.height));
    put_le16(b, 22, 1);
    put_le16(b, 24, s.bpp);
  } else {
    put_le32(b, 18, uint32_t(s.width));
    put_le32(b, 22, uint32_t(s.height));
    put_le16(b, 26, 1);
    put_le16(b, 28, s.bpp);
    put_le32(b, 30, s.compression >= 0 ? uint32_t(s.compression) : s.with_masks ? 3 : 0);
    if (s.with_masks)
      for (int i = 0; i < (s.masks[3] != 0 ? 4 : 3); ++i) put_le32(b, 54 + 4 * size_t(i), s.masks[i]);
  }
  for (size_t i = 0; i < s.palette.size(); ++i) {
    const uint32_t c = s.palette[i];
    b[palette_at + entry * i] = uint8_t(c);
    b[palette_at + entry * i + 1] = uint8_t(c >> 8);
    b[palette_at + entry * i + 2] = uint8_t(c >> 16);
  }
  if (rle) {
    std::copy(s.stream.begin(), s.stream.end(), b.begin() + long(pixel_at));
    return b;
  }
  for (int32_t y = 0; y < rows; ++y) {
    const int32_t stored = s.height < 0 ? y : rows - 1 - y;
    uint8_t* row = &b[pixel_at + row_bytes * size_t(stored)];
    for (int32_t x = 0; x < s.width; ++x) {
      const uint32_t v = values[size_t(y) * size_t(s.width) + size_t(x)];
      switch (s.bpp) {
        case 1:
          row[x >> 3] |= uint8_t((v & 1) << (7 - (x & 7)));
          break;
        case 2:
          row[x >> 2] |= uint8_t((v & 3) << (6 - 2 * (x & 3)));
          break;
        case 4:
          row[x >> 1] |= uint8_t((v & 15) << ((x & 1) ? 0 : 4));
          break;
        case 8:
          row[x] = uint8_t(v);
          break;
        case 16:
          row[2 * x] = uint8_t(v), row[2 * x + 1] = uint8_t(v >> 8);
          break;
        case 24:
          row[3 * x] = uint8_t(v), row[3 * x + 1] = uint8_t(v >> 8), row[3 * x + 2] = uint8_t(v >> 16);
          break;
        default:
          for (int k = 0; k < 4; ++k) row[4 * x + k] = uint8_t(v >> (8 * k));
      }
    }
  }
  return b;
}

// Large headers (52 to 124 bytes, as GIMP and Windows write them) hold the
// masks at the same offset as a 40-byte header followed by masks. Narrow
// channels repeat their top bits downwards (5 bits: 31 gives 255, 16 gives
// 132), wide ones keep their top 8 bits; an alpha mask counts in the
// alpha-bit-field compression (6) and in headers of 56 bytes and more.
TEST(BmpPixels, FixedValuesThroughChannelPlacement) {
  struct Case {
    const char* what;
    uint16_t bpp;
    bool masks;
    uint32_t r, g, b;
    uint32_t value;
    uint32_t expected;
    uint32_t header = 40;
    uint32_t a = 0;
    int64_t compression = -1;
  };
  const Case cases[] = {
      {"5-6-5 all ones is white", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFFFFFFF},
      {"5-6-5, 52-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFFFFFFF, 52},
      {"5-6-5, 56-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFFFFFFF, 56},
      {"5-6-5, 108-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFFFFFFF, 108},
      {"5-6-5, 124-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFFFFFFF, 124},
      {"5-6-5 top red bit repeats into the low bits", 16, true, 0xF800, 0x07E0, 0x001F, 0x8000, 0xFF840000},
      {"5-6-5 top green bit", 16, true, 0xF800, 0x07E0, 0x001F, 0x0400, 0xFF008200},
      {"5-5-5 default, white is white", 16, false, 0, 0, 0, 0x7FFF, 0xFFFFFFFF},
      {"5-5-5 default ignores bit 15", 16, false, 0, 0, 0, 0xFFFF, 0xFFFFFFFF},
      {"5-5-5 default, one step of each", 16, false, 0, 0, 0, 0x0421, 0xFF080808},
      {"5-5-5 default, 30 of each", 16, false, 0, 0, 0, 0x7BDE, 0xFFF7F7F7},
      {"32-bit default is opaque whatever the fourth byte", 32, false, 0, 0, 0, 0x12345678, 0xFF345678},
      {"32-bit default with a zero fourth byte", 32, false, 0, 0, 0, 0x00ABCDEF, 0xFFABCDEF},
      {"32-bit red in the top byte", 32, true, 0xFF000000, 0x00000FF0, 0x00FF0000, 0x11AB5CD0, 0xFF11CDAB},
      {"32-bit 10-10-10 keeps the top 8 bits", 32, true, 0x3FF00000, 0x000FFC00, 0x000003FF, 0x3FFFF004,
       0xFFFFFF01},
      {"zero masks give zero channels", 32, true, 0, 0x0000FF00, 0, 0xFFFFFFFF, 0xFF00FF00},
      {"a red mask wider than 24 bits keeps its top 8 bits", 32, true, 0xFFFFFFFF, 0, 0, 0xA5000000,
       0xFFA50000},
      {"a green mask wider than 16 bits keeps its top 8 bits", 32, true, 0, 0xFFFFFF00, 0, 0x7E000000,
       0xFF007E00},
      {"a blue mask of 32 bits keeps its top 8 bits", 32, true, 0, 0, 0xFFFFFFFF, 0xC3000000, 0xFF0000C3},
      {"2-3-1 bit fields at their largest", 16, true, 0x30, 0x0E, 0x01, 0x3F, 0xFFFFFFFF},
      {"2-3-1 bit fields, 1 of 2 bits and 3 of 3", 16, true, 0x30, 0x0E, 0x01, 0x16, 0xFF556D00},
      {"7-bit red, 64 gives 129", 32, true, 0x7F, 0x3F80, 0, 0x40, 0xFF810000},
      {"alpha mask in a 124-byte header", 32, true, 0xFF0000, 0xFF00, 0xFF, 0x80102030, 0x80102030, 124,
       0xFF000000},
      {"alpha mask in a 108-byte header", 32, true, 0xFF0000, 0xFF00, 0xFF, 0x00102030, 0x00102030, 108,
       0xFF000000},
      {"alpha mask in a 56-byte header", 32, true, 0xFF0000, 0xFF00, 0xFF, 0x7F102030, 0x7F102030, 56,
       0xFF000000},
      {"a 52-byte header holds no alpha mask", 32, true, 0xFF0000, 0xFF00, 0xFF, 0x7F102030, 0xFF102030, 52,
       0xFF000000},
      {"alpha bit fields after a 40-byte header", 32, true, 0xFF0000, 0xFF00, 0xFF, 0x40102030, 0x40102030,
       40, 0xFF000000, 6},
      {"4-4-4-4 with alpha", 16, true, 0x0F00, 0x00F0, 0x000F, 0x8F3C, 0x88FF33CC, 124, 0xF000},
      {"5-5-5-1 with alpha clear", 16, true, 0x7C00, 0x03E0, 0x001F, 0x7FFF, 0x00FFFFFF, 124, 0x8000},
      {"5-5-5-1 with alpha set", 16, true, 0x7C00, 0x03E0, 0x001F, 0x8000, 0xFF000000, 124, 0x8000},
      {"plain 32 bits in a 124-byte header stays opaque", 32, true, 0xFF0000, 0xFF00, 0xFF, 0x00102030,
       0xFF102030, 124, 0xFF000000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const BmpSpec s{.bpp = c.bpp,
                    .header_size = c.header,
                    .with_masks = c.masks,
                    .masks = {c.r, c.g, c.b, c.a},
                    .compression = c.compression};
    const Decoded d = decode_file(make_bmp(s, {c.value}));
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.pixels.size(), 1u);
    EXPECT_EQ(d.pixels[0], c.expected) << std::hex << d.pixels[0];
    const bool alpha = c.a != 0 && (c.compression == 6 || (c.compression != 0 && c.header >= 56));
    EXPECT_EQ(d.colour_type, alpha ? 6 : 2);
  }
}

TEST(BmpPixels, CoreHeaderReadsThreeBytePalette) {
  const BmpSpec s{
      .width = 3, .height = 2, .bpp = 8, .header_size = 12, .palette = {0x102030, 0x405060, 0x708090}};
  const Decoded d = decode_file(make_bmp(s, {0, 1, 2, 2, 1, 0}));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.pixels,
            (std::vector<uint32_t>{0xFF102030, 0xFF405060, 0xFF708090, 0xFF708090, 0xFF405060, 0xFF102030}));
  EXPECT_EQ(source_info.palette_count, 3);
}

TEST(BmpPixels, IndexBeyondAShortPaletteIsTransparentBlack) {
  // A previous picture fills all 256 entries; none of them may leak.
  ASSERT_EQ(decode_file(make_bmp({.bpp = 8, .palette = random_values(256, 0x1000000, 3)}, {20})).result, 0);

  const BmpSpec s{.width = 2, .bpp = 8, .palette = random_values(16, 0x1000000, 5)};
  const Decoded d = decode_file(make_bmp(s, {20, 15}));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.pixels[0], 0u);
  EXPECT_EQ(d.pixels[1], 0xFF000000u | s.palette[15]);
  EXPECT_EQ(d.colour_type, 3);
  EXPECT_EQ(source_info.source_bit_depth, 8);
  EXPECT_EQ(source_info.palette_count, 16);
}

TEST(BmpPixels, OffsetsClipAndLeaveTheRestAlone) {
  const BmpSpec s{.width = 4, .height = 3};
  // A picture entirely outside the target writes nothing and still succeeds.
  expect_offsets_clip(make_bmp(s, random_values(12, 0x1000000, 9)), 4, 4, {{-1, 2}, {10, 0}});
}

TEST(BmpRefusal, HeadersThatCannotBeDecoded) {
  const BmpSpec s{.width = 3, .height = 2, .bpp = 8, .palette = {0x123456}};
  expect_refused(make_bmp(s, std::vector<uint32_t>(6, 0)),
                 {{"two planes", 26, 2, 2},
                  {"zero width", 18, 0, 4},
                  {"negative width", 18, uint32_t(-3), 4},
                  {"zero height", 22, 0, 4},
                  {"most negative height", 22, uint32_t(INT32_MIN), 4},
                  {"3 bits per pixel", 28, 3, 2},
                  {"48 bits per pixel", 28, 48, 2},
                  {"4-bit run-length on 8-bit indexes", 30, 2, 4},
                  {"bit fields on 8-bit indexes", 30, 3, 4},
                  {"an embedded JPEG (compression 4) on indexes", 30, 4, 4},
                  {"an embedded PNG (compression 5)", 30, 5, 4},
                  {"alpha bit fields on 8-bit indexes", 30, 6, 4},
                  {"compression 7", 30, 7, 4},
                  {"pixel data past the end", 10, 100000, 4}});
  // Masks past the end of the file.
  Bytes b = make_bmp({.bpp = 32, .with_masks = true}, {0});
  b.resize(60);
  EXPECT_EQ(decode_file(b).result, -1);
}

// Every cut of a file either gives no pixel (-1) or the rows that are there,
// flagged as incomplete.
TEST(BmpTruncation, EveryCutIsSafeAndKeepsTheRowsPresent) {
  for (uint16_t bpp : {1, 8, 16, 24, 32, 64}) {
    BmpSpec s{.width = 5, .height = 4, .bpp = bpp};
    if (bpp <= 8) s.palette = random_values(size_t(1) << bpp, 0x1000000, 1);
    const auto values = random_values(20, bpp <= 8 ? 1u << bpp : 0, 2);
    const Bytes file = make_bmp(s, values);
    const Decoded whole = decode_file(file);
    ASSERT_EQ(whole.result, 0);
    EXPECT_EQ(whole.incomplete, 0);
    const size_t pixel_at = file.size() - 4 * (((size_t(bpp) * 5 + 31) >> 3) & ~size_t(3));
    for (size_t cut = 2; cut < file.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << bpp << " bits, cut at " << cut);
      const Decoded d = decode_file(Bytes(file.begin(), file.begin() + long(cut)));
      const size_t row_bytes = (file.size() - pixel_at) / 4;
      const size_t whole_rows = cut > pixel_at ? (cut - pixel_at) / row_bytes : 0;
      if (cut <= pixel_at || (whole_rows == 0 && (cut - pixel_at) * 8 < bpp)) {
        EXPECT_EQ(d.result, -1);
        continue;
      }
      ASSERT_EQ(d.result, 0);
      // Missing padding after the last pixel loses nothing.
      const size_t pixel_bytes = (size_t(bpp) * 5 + 7) / 8;
      EXPECT_EQ(d.incomplete, cut - pixel_at < 3 * row_bytes + pixel_bytes ? 1 : 0);
      // Bottom-up: the complete stored rows are the bottom picture rows.
      for (size_t i = (4 - whole_rows) * 5; i < 20; ++i) EXPECT_EQ(d.pixels[i], whole.pixels[i]);
      const size_t first_pixel = bpp < 8 ? 1 : bpp / 8u;
      if (cut - pixel_at < 3 * row_bytes + first_pixel) {
        EXPECT_EQ(d.pixels[0], kUntouched);
      }
    }
  }
}

// stb_image reads the same files, bottom-up and top-down, and widens narrow
// channels by repeating their bits as the decoder does. One known difference:
// it keeps the fourth byte of a plain 32-bit pixel as alpha where such a BMP
// is opaque here; the comparison masks exactly that.
TEST(BmpAgainstStb, RandomPicturesAgree) {
  struct Case {
    uint16_t bpp;
    bool masks;
    uint32_t r, g, b, a;
    uint32_t compare_mask;
    uint32_t header = 40;
  };
  const Case cases[] = {
      {1, false, 0, 0, 0, 0, 0xFFFFFFFF},
      {4, false, 0, 0, 0, 0, 0xFFFFFFFF},
      {8, false, 0, 0, 0, 0, 0xFFFFFFFF},
      {24, false, 0, 0, 0, 0, 0xFFFFFFFF},
      {16, false, 0, 0, 0, 0, 0xFFFFFFFF},
      {16, true, 0xF800, 0x07E0, 0x001F, 0, 0xFFFFFFFF},
      {16, true, 0x0F00, 0x00F0, 0x000F, 0, 0xFFFFFFFF},
      {16, true, 0xE000, 0x1C00, 0x0300, 0, 0xFFFFFFFF},
      {16, true, 0x0F00, 0x00F0, 0x000F, 0xF000, 0xFFFFFFFF, 124},
      {16, true, 0x7C00, 0x03E0, 0x001F, 0x8000, 0xFFFFFFFF, 108},
      {32, false, 0, 0, 0, 0, 0x00FFFFFF},
      {32, true, 0x0000FF00, 0x00FF0000, 0xFF000000, 0, 0x00FFFFFF},
      {32, true, 0x0000FF00, 0x00FF0000, 0xFF000000, 0x000000FF, 0xFFFFFFFF, 124},
      {32, true, 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000, 0xFFFFFFFF, 108},
      {32, true, 0x000001F0, 0x0003F000, 0x00F80000, 0, 0x00FFFFFF},
  };
  for (const Case& c : cases) {
    for (int32_t width : {1, 3, 7, 9, 17, 33}) {
      for (int32_t height : {6, -6}) {
        SCOPED_TRACE(testing::Message() << c.bpp << " bits, masks " << c.masks << " alpha " << c.a << ", "
                                        << width << " x " << height);
        BmpSpec s{.width = width,
                  .height = height,
                  .bpp = c.bpp,
                  .header_size = c.header,
                  .with_masks = c.masks,
                  .masks = {c.r, c.g, c.b, c.a}};
        if (c.bpp <= 8) s.palette = random_values(size_t(1) << c.bpp, 0x1000000, 21);
        const Bytes file = make_bmp(s, random_values(size_t(width) * 6, c.bpp <= 8 ? 1u << c.bpp : 0, 22));
        const Decoded d = decode_file(file);
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(stb_mismatches(d, file, c.compare_mask), 0);
        if (c.a == 0) {
          for (size_t i = 0; i < d.pixels.size(); ++i) ASSERT_EQ(d.pixels[i] >> 24, 0xFFu) << i;
        }
      }
    }
  }
}

// Run-length streams, written code by code. Each case gives the stream and
// the picture it must decode to, top row first: a hex digit is that palette
// index (for 24 bits: colour kColours[digit]), '.' a pixel the stream skips,
// which is transparent black.
struct RleCase {
  const char* what;
  uint16_t bpp;           // 4, 8 or 24
  int32_t width, height;  // negative height: top-down
  std::vector<uint8_t> stream;
  std::vector<const char*> rows;
  bool incomplete = false;
  int32_t filled_rows = 0;  // when incomplete: stored rows the stream moved past
};

constexpr uint32_t kColours[4] = {0xFF102030, 0xFF405060, 0xFF708090, 0xFFA0B0C0};

uint32_t rle_palette(uint32_t i) { return 0xFF000000u | (i * 0x0B1D2Fu & 0xFFFFFF); }

Bytes make_rle_bmp(uint16_t bpp, int32_t width, int32_t height, const Bytes& stream,
                   size_t palette_size = 16) {
  BmpSpec s{.width = width,
            .height = height,
            .bpp = bpp,
            .compression = bpp == 8   ? 1
                           : bpp == 4 ? 2
                                      : 4,
            .stream = stream};
  if (bpp <= 8)
    for (uint32_t i = 0; i < palette_size; ++i) s.palette.push_back(rle_palette(i) & 0xFFFFFF);
  return make_bmp(s, {});
}

TEST(BmpRunLength, StreamsDecodeToTheirPictures) {
  const uint8_t b0 = 0x30, g0 = 0x20, r0 = 0x10, b1 = 0x60, g1 = 0x50, r1 = 0x40;
  // clang-format off
  const RleCase cases[] = {
      {"runs and row ends, bottom row first", 8, 4, 3, {3, 1, 1, 2, 0, 0, 4, 3, 0, 0, 2, 4, 2, 5, 0, 1},
       {"4455", "3333", "1112"}},
      {"literal pixels padded to an even length", 8, 4, 2, {0, 3, 1, 2, 3, 0, 1, 4, 0, 0, 0, 4, 5, 6, 7, 8, 0, 1},
       {"5678", "1234"}},
      {"a delta leaves the pixels it passes transparent", 8, 4, 3, {1, 1, 0, 2, 2, 1, 1, 2, 0, 1},
       {"....", "...2", "1..."}},
      {"a run past the right edge is cut there", 8, 4, 2, {6, 1, 0, 0, 1, 2, 0, 1}, {"2...", "1111"}},
      {"literal pixels past the right edge are dropped", 8, 3, 2, {0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 1, 6, 0, 1},
       {"6..", "123"}},
      {"an early end of picture", 8, 4, 3, {2, 1, 0, 1, 3, 3}, {"....", "....", "11.."}},
      {"an end of row on an empty row moves one row", 8, 2, 3, {0, 0, 0, 0, 2, 7, 0, 1}, {"77", "..", ".."}},
      {"no end code after the last row is complete", 8, 2, 2, {2, 1, 0, 0, 2, 2}, {"22", "11"}},
      {"a delta beyond the picture ends it", 8, 2, 2, {1, 1, 0, 2, 255, 255, 2, 2}, {"..", "1."}},
      {"a delta past the right edge stops at it", 8, 3, 2, {0, 2, 200, 0, 2, 5, 0, 0, 1, 6, 0, 1},
       {"6..", "..."}},
      {"top-down: the first stored row is the top", 8, 3, -2, {3, 1, 0, 0, 3, 2, 0, 1}, {"111", "222"}},
      {"top-down with a delta downwards", 8, 3, -3, {1, 1, 0, 2, 0, 1, 1, 2, 0, 1}, {"1..", ".2.", "..."}},
      {"4 bits: a run alternates its two nibbles", 4, 5, 1, {5, 0x12, 0, 1}, {"12121"}},
      {"4 bits: odd literal counts pad to whole words", 4, 4, 2,
       {0, 3, 0x34, 0x50, 0, 0, 0, 4, 0x67, 0x89, 0, 1}, {"6789", "345."}},
      {"4 bits: a five-pixel literal takes three bytes and a pad", 4, 5, 1, {0, 5, 0xAB, 0xCD, 0xE0, 0, 0, 1},
       {"ABCDE"}},
      {"24 bits: runs take four bytes, literals pad", 24, 3, 2,
       {2, b0, g0, r0, 0, 0, 0, 3, b1, g1, r1, b0, g0, r0, b1, g1, r1, 0, 0, 1}, {"101", "00."}},
      {"a cut stream keeps what it gave", 8, 3, 2, {3, 1, 0, 0, 1, 2}, {"2..", "111"}, true, 1},
      {"a literal run cut short keeps its whole pixels", 8, 4, 1, {0, 4, 1, 2}, {"12.."}, true},
      {"a cut delta keeps what came before", 8, 2, 2, {1, 1, 0, 2, 1}, {"..", "1."}, true},
  };
  // clang-format on
  for (const RleCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = decode_file(make_rle_bmp(c.bpp, c.width, c.height, c.stream));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, c.incomplete ? 1 : 0);
    // A cut stream has filled the rows before the one it stopped in.
    if (c.incomplete) {
      EXPECT_EQ(source_info.decoded_rows, c.filled_rows);
    }
    std::vector<uint32_t> want;
    for (const char* row : c.rows)
      for (const char* p = row; *p != 0; ++p) {
        if (*p == '.') {
          want.push_back(0);
          continue;
        }
        const uint32_t v = uint32_t(*p <= '9' ? *p - '0' : *p - 'A' + 10);
        want.push_back(c.bpp == 24 ? kColours[v] : rle_palette(v));
      }
    EXPECT_EQ(d.pixels, want);
  }
}

// What the encoder is told: skipped pixels add transparent black to the
// colours, so the index depth must have room for it or grow, and a full
// palette or true colour needs alpha.
TEST(BmpRunLength, SkippedPixelsShapeTheSourceDescription) {
  struct Case {
    const char* what;
    uint16_t bpp;
    size_t palette;
    Bytes stream;
    int colour_type;
    int depth;  // -1: not checked
  };
  const Case cases[] = {
      {"8 bits, every pixel given", 8, 16, {4, 1, 0, 1}, 3, 8},
      {"8 bits, a skip with room in the palette", 8, 16, {2, 1, 0, 1}, 3, 8},
      {"8 bits, a skip with all 256 entries in use", 8, 256, {2, 1, 0, 1}, 6, -1},
      {"4 bits, every pixel given", 4, 16, {4, 0x12, 0, 1}, 3, 4},
      {"4 bits, a skip with 12 entries", 4, 12, {2, 0x12, 0, 1}, 3, 4},
      {"4 bits, a skip with 16 entries grows to 8 bits", 4, 16, {2, 0x12, 0, 1}, 3, 8},
      {"24 bits, every pixel given", 24, 0, {4, 1, 2, 3, 0, 1}, 2, -1},
      {"24 bits, a skip needs alpha", 24, 0, {3, 1, 2, 3, 0, 1}, 6, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = decode_file(make_rle_bmp(c.bpp, 4, 1, c.stream, c.palette));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.colour_type, c.colour_type);
    if (c.depth >= 0) {
      EXPECT_EQ(source_info.source_bit_depth, c.depth);
    }
  }
}

// A plain writer of 8- and 4-bit streams: runs of equal indexes, literal
// stretches of at least three, an end of row after every row and an end of
// picture. Random pictures with runs decode to themselves.
Bytes rle_encode(const std::vector<uint32_t>& rows_stored, int32_t width, int32_t height, uint16_t bpp) {
  Bytes out;
  const int32_t per_byte = bpp == 4 ? 2 : 1;
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t* row = &rows_stored[size_t(y) * size_t(width)];
    int32_t x = 0;
    while (x < width) {
      int32_t run = 1;
      while (x + run < width && run < 255 && row[x + run] == row[x]) ++run;
      if (run >= 2 || width - x < 3) {
        const int32_t n = run >= 2 ? run : 1;
        out.push_back(uint8_t(n));
        out.push_back(uint8_t(bpp == 4 ? row[x] << 4 | row[x] : row[x]));
        x += n;
        continue;
      }
      int32_t n = 3;
      while (x + n < width && n < 255 && row[x + n] != row[x + n - 1]) ++n;
      out.push_back(0);
      out.push_back(uint8_t(n));
      const size_t start = out.size();
      for (int32_t i = 0; i < n; i += per_byte) {
        uint8_t b = uint8_t(row[x + i]);
        if (bpp == 4) b = uint8_t(b << 4 | (i + 1 < n ? row[x + i + 1] : 0));
        out.push_back(b);
      }
      if ((out.size() - start) & 1) out.push_back(0);
      x += n;
    }
    out.push_back(0);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(1);
  return out;
}

TEST(BmpRunLength, RandomPicturesRoundTrip) {
  for (uint16_t bpp : {4, 8}) {
    for (int32_t width : {1, 2, 3, 7, 16, 33, 300}) {
      for (int32_t height : {5, -5}) {
        SCOPED_TRACE(testing::Message() << bpp << " bits, " << width << " x " << height);
        const int32_t rows = height < 0 ? -height : height;
        const auto values = random_values(size_t(width * rows), bpp == 4 ? 16 : 256, uint32_t(width), 3);
        const Bytes stream = rle_encode(values, width, rows, bpp);
        const Bytes file = make_rle_bmp(bpp, width, height, stream, 256);
        const Decoded d = decode_file(file);
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(d.incomplete, 0);
        size_t wrong = 0;
        for (int32_t y = 0; y < rows; ++y) {
          const int32_t stored = height < 0 ? y : rows - 1 - y;
          for (int32_t x = 0; x < width; ++x)
            if (d.pixels[size_t(y * width + x)] != rle_palette(values[size_t(stored * width + x)])) ++wrong;
        }
        EXPECT_EQ(wrong, 0u);
        // Every cut is safe, keeps its flag honest, and changes no pixel it gave.
        if (width != 33) continue;
        for (size_t cut = file.size() - stream.size() + 2; cut < file.size(); cut += 7) {
          const Decoded part = decode_file(Bytes(file.begin(), file.begin() + long(cut)));
          ASSERT_EQ(part.result, 0) << cut;
          const bool gap = std::count(part.pixels.begin(), part.pixels.end(), 0u) > 0;
          EXPECT_EQ(part.incomplete, gap ? 1 : 0) << cut;
          for (size_t i = 0; i < part.pixels.size(); ++i) {
            if (part.pixels[i] != 0) {
              ASSERT_EQ(part.pixels[i], d.pixels[i]) << cut;
            }
          }
        }
      }
    }
  }
}

// Sizes the header promises do not make the work grow: a picture of 2^31 - 1
// by 2^31 - 1 pixels with a stream of deltas decodes into a small target in
// time bounded by the stream, and offsets clip a stream's picture like any.
TEST(BmpRunLength, WorkFollowsTheStreamAndTheTarget) {
  Bytes deltas;
  for (int i = 0; i < 10000; ++i) deltas.insert(deltas.end(), {0, 2, 255, 255, 255, 7});
  const Bytes huge = make_rle_bmp(8, 0x7FFFFFFF, 0x7FFFFFFF, deltas);
  const Decoded d = decode_at(huge, 8, 8);
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 1);
  for (uint32_t p : d.pixels) EXPECT_EQ(p, 0u);
  // An offset of nearly 2^31 rows up leaves nothing to clear or write.
  const Decoded far = decode_at(huge, 8, 8, 0, INT32_MIN + 1);
  EXPECT_EQ(far.result, 0);
  EXPECT_EQ(far.pixels, std::vector<uint32_t>(64, kUntouched));
  const Bytes file = make_rle_bmp(8, 4, 3, {3, 1, 1, 2, 0, 0, 4, 3, 0, 0, 0, 2, 1, 0, 1, 5, 0, 1});
  expect_offsets_clip(file, 4, 3, {{-1, 1}, {2, -1}, {9, 0}});
}

// 64-bit pixels: blue, green, red and alpha, signed, 8192 for 1.0, colours
// in linear light. Colours are encoded for the screen by the standard curve
// and rounded, alpha scaled and rounded; values outside 0 to 1 are clamped.
TEST(BmpPixels, SixtyFourBitLinearLightToScreen) {
  const int16_t px[][4] = {{0, 8192, 178, 8192}, {-5, 9000, 20, 4096}, {1, 4096, 8191, 0}, {2000, 300, 30, -1}};
  BmpSpec s;
  s.width = 2;
  s.height = 2;
  s.bpp = 64;
  Bytes file = make_bmp(s, {0, 0, 0, 0});
  const size_t pixels_at = 54;
  for (int i = 0; i < 4; ++i) {
    const int stored_row = 1 - i / 2;  // bottom row first
    for (int k = 0; k < 4; ++k) put_le16(file, pixels_at + 16 * size_t(stored_row) + 8 * size_t(i % 2) + 2 * k,
                                         uint16_t(px[i][k]));
  }
  auto screen = [](int v) {
    const double x = std::clamp(v / 8192.0, 0.0, 1.0);
    const double e = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1 / 2.4) - 0.055;
    return uint32_t(std::lround(e * 255));
  };
  const Decoded d = decode_file(file);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.colour_type, 6);
  for (int i = 0; i < 4; ++i) {
    const uint32_t alpha = uint32_t(std::lround(std::clamp(px[i][3] / 8192.0, 0.0, 1.0) * 255));
    const uint32_t want = alpha << 24 | screen(px[i][2]) << 16 | screen(px[i][1]) << 8 | screen(px[i][0]);
    EXPECT_EQ(d.pixels[size_t(i)], want) << "pixel " << i;
  }
  EXPECT_EQ(d.pixels[0], 0xFF29FF00u) << "178 is 41 of 255 on the screen";
  expect_offsets_clip(file, 2, 2, {{-1, 0}, {1, 1}});
  // Cut inside the top row: the bottom row is kept, the picture flagged.
  const Decoded cut = decode_file(Bytes(file.begin(), file.end() - 4));
  ASSERT_EQ(cut.result, 0);
  EXPECT_EQ(cut.incomplete, 1);
  EXPECT_EQ(cut.pixels[2], d.pixels[2]);
}

std::string suite(const std::string& name) {
  return std::string(TESSEL_CORPUS_DIR) + "/bmp/bmpsuite-2.8/" + name;
}

// Files the decoder covers, with the suite's rendering. The renderings widen
// narrow channels by rounding where the decoder repeats bits (at most 1
// apart), and give transparent pixels no particular colour; pixels a
// run-length stream skips are transparent, as the suite's first choice of
// rendering shows them.
struct SuiteCase {
  const char* file;
  const char* reference;
  Likeness like = {};
};

class BmpSuite : public testing::TestWithParam<SuiteCase> {};

TEST_P(BmpSuite, MatchesTheReferenceRendering) {
  const SuiteCase& c = GetParam();
  const Decoded d = decode_file(read_file(suite(c.file)));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 0);
  EXPECT_EQ(rendering_mismatches(d, suite(std::string("html-reference/") + c.reference), c.like), 0);
}

// Files compared on every bit with their renderings; among them a 16-byte
// header that ends before the compression field, masks inside 52- and
// 124-byte headers, 2-bit indexes, run-length streams of 4, 8 and 24 bits,
// bottom-up and top-down, 1-bit Huffman runs and a bitmap array.
std::vector<SuiteCase> exact_cases() {
  // clang-format off
  const std::pair<const char*, const char*> files[] = {
      {"g/pal1.bmp", "pal1.png"}, {"g/pal1wb.bmp", "pal1.png"}, {"g/pal1bg.bmp", "pal1bg.png"},
      {"g/pal4.bmp", "pal4.png"}, {"g/pal4gs.bmp", "pal4gs.png"}, {"g/pal8.bmp", "pal8.png"},
      {"g/pal8-0.bmp", "pal8.png"}, {"g/pal8gs.bmp", "pal8gs.png"}, {"g/pal8w124.bmp", "pal8w124.png"},
      {"g/pal8w125.bmp", "pal8w125.png"}, {"g/pal8w126.bmp", "pal8w126.png"},
      {"g/pal8topdown.bmp", "pal8.png"}, {"g/pal8os2.bmp", "pal8.png"}, {"g/pal8v4.bmp", "pal8.png"},
      {"g/pal8v5.bmp", "pal8.png"}, {"g/rgb24.bmp", "rgb24.png"}, {"g/rgb24pal.bmp", "rgb24.png"},
      {"g/rgb32.bmp", "rgb24.png"}, {"g/rgb32bf.bmp", "rgb24.png"}, {"g/rgb32bfdef.bmp", "rgb24.png"},
      {"g/pal4rle.bmp", "pal4.png"}, {"g/pal8rle.bmp", "pal8.png"}, {"b/rletopdown.bmp", "pal8.png"},
      {"q/rgb24rle24.bmp", "pal8.png"}, {"q/pal2.bmp", "pal2.png"}, {"q/pal2color.bmp", "pal2color.png"},
      {"q/pal1p1.bmp", "pal1p1.png"}, {"q/pal8offs.bmp", "pal8.png"}, {"q/pal8oversizepal.bmp", "pal8.png"},
      {"q/pal8os2-sz.bmp", "pal8.png"}, {"q/pal8os2-hs.bmp", "pal8.png"}, {"q/pal8os2sp.bmp", "pal8.png"},
      {"q/pal8os2v2.bmp", "pal8.png"}, {"q/pal8os2v2-sz.bmp", "pal8.png"},
      {"q/pal8os2v2-40sz.bmp", "pal8.png"}, {"q/pal8os2v2-16.bmp", "pal8.png"},
      {"q/rgb24largepal.bmp", "rgb24.png"}, {"q/rgb24prof.bmp", "rgb24.png"},
      {"q/rgb24lprof.bmp", "rgb24.png"}, {"q/rgb32h52.bmp", "rgb24.png"}, {"q/rgb32-xbgr.bmp", "rgb24.png"},
      {"q/rgb32fakealpha.bmp", "rgb24.png"}, {"q/rgb16-231.bmp", "rgb16-231.png"},
      {"q/rgb32-7187.bmp", "rgb32-7187.png"}, {"b/rgb16-880.bmp", "rgb16-880.png"},
      {"q/rgb24png.bmp", "rgb24.png"}, {"q/pal1huffmsb.bmp", "pal1.png"}, {"x/ba-bm.bmp", "pal8.png"}};
  // clang-format on
  std::vector<SuiteCase> cases;
  for (auto [file, reference] : files) cases.push_back({file, reference});
  return cases;
}
INSTANTIATE_TEST_SUITE_P(Exact, BmpSuite, testing::ValuesIn(exact_cases()));

constexpr Likeness kRounded{.tolerance = 1, .clear_matches_clear = true};
constexpr Likeness kClear{.clear_matches_clear = true};
// Narrow and wide channels, alpha masks, and the pixels skipped by delta codes
// and early ends of line and picture.
INSTANTIATE_TEST_SUITE_P(Widened, BmpSuite,
                         testing::Values(SuiteCase{"g/rgb16.bmp", "rgb16.png", kRounded},
                                         SuiteCase{"g/rgb16bfdef.bmp", "rgb16.png", kRounded},
                                         SuiteCase{"g/rgb16-565.bmp", "rgb16-565.png", kRounded},
                                         SuiteCase{"g/rgb16-565pal.bmp", "rgb16-565.png", kRounded},
                                         SuiteCase{"q/rgb16faketrns.bmp", "rgb16.png", kRounded},
                                         SuiteCase{"q/rgb16-3103.bmp", "rgb16-3103.png", kRounded},
                                         SuiteCase{"q/rgb32-111110.bmp", "rgb24.png", kRounded},
                                         SuiteCase{"q/rgba32h56.bmp", "rgba32.png", kClear},
                                         SuiteCase{"q/rgba32-1.bmp", "rgba32.png", kClear},
                                         SuiteCase{"q/rgba32-2.bmp", "rgba32.png", kClear},
                                         SuiteCase{"q/rgba32abf.bmp", "rgba32.png", kClear},
                                         SuiteCase{"q/rgba32-1010102.bmp", "rgba32-1010102.png", kRounded},
                                         SuiteCase{"q/rgba32-61754.bmp", "rgba32-61754.png", kRounded},
                                         SuiteCase{"q/rgba32-81284.bmp", "rgba32-81284.png", kRounded},
                                         SuiteCase{"q/rgba16-5551.bmp", "rgba16-5551.png", kRounded},
                                         SuiteCase{"q/rgba16-4444.bmp", "rgba16-4444.png", kClear},
                                         SuiteCase{"q/rgba16-1924.bmp", "rgba16-1924.png", kRounded},
                                         // Linear light made 8-bit again: the rendering
                                         // is of the 32-bit twin, some values 1 apart.
                                         SuiteCase{"q/rgba64.bmp", "rgba32.png", kRounded},
                                         SuiteCase{"q/pal4rletrns.bmp", "pal4rletrns.png", kClear},
                                         SuiteCase{"q/pal8rletrns.bmp", "pal8rletrns.png", kClear},
                                         SuiteCase{"q/pal4rlecut.bmp", "pal4rlecut.png", kClear},
                                         SuiteCase{"q/pal8rlecut.bmp", "pal8rlecut.png", kClear}));

// One-dimensional Huffman runs (OS/2, compression 3 at 1 bit): codes given
// as text, most significant bit first; spaces are for reading only.
Bytes bits_of(const std::string& text) {
  Bytes out;
  int n = 0;
  for (char c : text) {
    if (c != '0' && c != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= uint8_t(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

Bytes huffman_bmp(int32_t width, int32_t height, const std::string& codes) {
  return make_bmp({.width = width, .height = height, .bpp = 1, .header_size = 64, .palette = {0xF0F0F0, 0x102030},
                   .compression = 3, .stream = bits_of(codes)},
                  {});
}

constexpr const char* kEol = "000000000001 ";
constexpr uint32_t kWhite = 0xFFF0F0F0u, kBlack = 0xFF102030u;

TEST(BmpHuffman, RunsEndOfLineCodesAndFill) {
  // Bottom row first: white 2 black 3; fill zeros, then white 0 black 5;
  // white 1 and an early end of line (the rest is white); white 64 + 0 and
  // black 1, cut to the width of 5.
  const std::string codes = std::string(kEol) + "0111 10 " + "0000" + kEol + "00110101 0011 " + kEol +
                            "000111 " + kEol + "11011 00110101 010 " + kEol + kEol;
  const Bytes file = huffman_bmp(5, 4, codes);
  const Decoded d = decode_file(file);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 0);
  EXPECT_EQ(d.colour_type, 3);
  const uint32_t W = kWhite, B = kBlack;
  const std::vector<uint32_t> want = {W, W, W, W, W,  // top: white 64 covers the row
                                      W, W, W, W, W,  // white 1, then the row ends early
                                      B, B, B, B, B,  // white 0, black 5
                                      W, W, B, B, B};
  EXPECT_EQ(d.pixels, want);
  expect_offsets_clip(file, 5, 4, {{-2, 1}, {3, -2}});
}

TEST(BmpHuffman, LongRunsUseMakeUpCodes) {
  // White 1792 + 2560 + 2560 + 63 = 6975, black 1728 + 2 = 1730, white 5.
  const std::string codes = std::string(kEol) + "00000001000 000000011111 000000011111 00110100 " +
                            "0000001100101 11 " + "1100";
  const Decoded d = decode_file(huffman_bmp(6975 + 1730 + 5, 1, codes));
  ASSERT_EQ(d.result, 0);
  ASSERT_EQ(d.pixels.size(), 8710u);
  EXPECT_EQ(d.incomplete, 0);
  EXPECT_EQ(std::count(d.pixels.begin(), d.pixels.begin() + 6975, kWhite), 6975);
  EXPECT_EQ(std::count(d.pixels.begin() + 6975, d.pixels.begin() + 8705, kBlack), 1730);
  EXPECT_EQ(std::count(d.pixels.begin() + 8705, d.pixels.end(), kWhite), 5);
}

TEST(BmpHuffman, DamagedStreamsKeepTheRowsBefore) {
  // A code no colour has (eight zeros and a one) in the second row: the
  // first row stays, the second is white from there.
  const Decoded bad =
      decode_file(huffman_bmp(3, 2, std::string(kEol) + "00110101 10 " + kEol + "000111 000000001 1111"));
  ASSERT_EQ(bad.result, 0);
  EXPECT_EQ(bad.incomplete, 1);
  EXPECT_EQ(bad.pixels, (std::vector<uint32_t>{kWhite, kWhite, kWhite, kBlack, kBlack, kBlack}));
  // Nothing decodable at all is refused.
  EXPECT_EQ(decode_file(huffman_bmp(3, 2, "000000001 1111")).result, -1);
  // Every cut of the suite's file decodes safely: refused or flagged.
  const Bytes file = read_file(suite("q/pal1huffmsb.bmp"));
  for (size_t cut = 100; cut + 9 < file.size(); cut += 37) {
    const Decoded part = decode_file(Bytes(file.begin(), file.begin() + long(cut)));
    if (part.result == 0) {
      EXPECT_EQ(part.incomplete, 1) << cut;
    }
  }
  // Sizes the header promises do not make the work grow: 2^31 - 1 rows of
  // 2^31 - 1 pixels from a few bytes, into a small target.
  std::string many = std::string(kEol) + "0111 10";
  for (int i = 0; i < 2000; ++i) many += kEol;
  const Decoded huge = decode_at(huffman_bmp(0x7FFFFFFF, 0x7FFFFFFF, many), 8, 8);
  EXPECT_EQ(huge.result, 0);
  EXPECT_EQ(huge.incomplete, 1);
  EXPECT_LT(source_info.work, 100000);
}

// A bitmap array shows its first picture; arrays of icons or pointers, and
// cut ones, are refused.
TEST(BmpArray, FirstPictureIsShown) {
  const BmpSpec s{.width = 3, .height = 2, .bpp = 8, .palette = {0x123456, 0xABCDEF}};
  const Bytes plain = make_bmp(s, {0, 1, 0, 1, 1, 0});
  Bytes array = {'B', 'A', 40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  array.insert(array.end(), plain.begin(), plain.end());
  put_le32(array, 14 + 10, uint32_t(plain[10] | plain[11] << 8) + 14);
  int32_t w = 0, h = 0;
  probe_picture(array.data(), int32_t(array.size()), &w, &h);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 2);
  const Decoded a = decode_file(array), b = decode_file(plain);
  ASSERT_EQ(a.result, 0);
  EXPECT_EQ(a.pixels, b.pixels);
  Bytes icons = array;
  icons[14] = 'C', icons[15] = 'I';
  EXPECT_EQ(decode_file(icons).result, -1);
  probe_picture(icons.data(), int32_t(icons.size()), &w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(decode_file(Bytes(array.begin(), array.begin() + 15)).result, -1);
}

// Everything else in the suite: refused or decoded, never a read outside the
// file (the sanitizer builds judge that).
TEST(BmpSuiteRest, RefusedOrDecodedSafely) {
  const char* refused[] = {"b/badbitcount.bmp", "b/badplanes.bmp", "b/badwidth.bmp"};
  for (const char* f : refused) {
    SCOPED_TRACE(f);
    EXPECT_EQ(decode_file(read_file(suite(f))).result, -1);
  }
  const char* decoded[] = {"b/badbitssize.bmp",  "b/baddens1.bmp",      "b/baddens2.bmp",
                           "b/badfilesize.bmp",  "b/badheadersize.bmp", "b/badpalettesize.bmp",
                           "b/pal8badindex.bmp", "b/badrle.bmp",        "b/badrle4.bmp",
                           "b/badrle4bis.bmp",   "b/badrle4ter.bmp",    "b/badrlebis.bmp",
                           "b/badrleter.bmp",    "g/pal8nonsquare.bmp", "q/rgb24prof2.bmp"};
  for (const char* f : decoded) {
    SCOPED_TRACE(f);
    EXPECT_EQ(decode_file(read_file(suite(f))).result, 0);
  }
  // An embedded JPEG file decodes as the same file on its own would.
  const Bytes with_jpeg = read_file(suite("q/rgb24jpeg.bmp"));
  const Decoded embedded = decode_file(with_jpeg);
  const Decoded alone = decode_file(Bytes(with_jpeg.begin() + 138, with_jpeg.end()));
  ASSERT_EQ(embedded.result, 0);
  EXPECT_EQ(embedded.pixels, alone.pixels);
  EXPECT_EQ(embedded.width, 127);
  // Embedded files that are not what the compression names are refused.
  Bytes swapped = read_file(suite("q/rgb24png.bmp"));
  put_le32(swapped, 30, 4);
  EXPECT_EQ(decode_file(swapped).result, -1);
  put_le32(swapped, 30, 5);
  swapped[138] = 0;
  EXPECT_EQ(decode_file(swapped).result, -1);
  // Short file: the rows that are there, flagged.
  EXPECT_EQ(decode_file(read_file(suite("b/shortfile.bmp"))).result, 0);
  EXPECT_EQ(source_info.incomplete, 1);
  // Three million by two million pixels promised, a few rows present.
  EXPECT_EQ(decode_file(read_file(suite("b/reallybig.bmp"))).result, 0);
}

}  // namespace

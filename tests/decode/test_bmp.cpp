// BMP input: pixels against known values, stb_image and the suite's
// reference renderings; hostile headers and cut files.
#include <gtest/gtest.h>

#include <climits>
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
  uint32_t masks[3] = {0, 0, 0};
};

Bytes make_bmp(const BmpSpec& s, const std::vector<uint32_t>& values) {
  const bool core = s.header_size == 12;
  const int32_t rows = s.height < 0 ? -s.height : s.height;
  const size_t row_bytes = ((size_t(s.bpp) * size_t(s.width) + 31) >> 3) & ~size_t(3);
  size_t palette_at = 14 + s.header_size;
  if (s.with_masks && palette_at < 66) palette_at = 66;
  const size_t entry = core ? 3 : 4;
  const size_t pixel_at = palette_at + entry * s.palette.size();
  Bytes b(pixel_at + row_bytes * size_t(rows), 0);
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
    put_le32(b, 30, s.with_masks ? 3 : 0);
    if (s.with_masks)
      for (int i = 0; i < 3; ++i) put_le32(b, 54 + 4 * size_t(i), s.masks[i]);
  }
  for (size_t i = 0; i < s.palette.size(); ++i) {
    const uint32_t c = s.palette[i];
    b[palette_at + entry * i] = uint8_t(c);
    b[palette_at + entry * i + 1] = uint8_t(c >> 8);
    b[palette_at + entry * i + 2] = uint8_t(c >> 16);
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
// masks at the same offset as a 40-byte header followed by masks.
TEST(BmpPixels, FixedValuesThroughChannelPlacement) {
  struct Case {
    const char* what;
    uint16_t bpp;
    bool masks;
    uint32_t r, g, b;
    uint32_t value;
    uint32_t expected;
    uint32_t header = 40;
  };
  const Case cases[] = {
      {"5-6-5 all ones", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFF8FCF8},
      {"5-6-5, 52-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFF8FCF8, 52},
      {"5-6-5, 56-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFF8FCF8, 56},
      {"5-6-5, 108-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFF8FCF8, 108},
      {"5-6-5, 124-byte header", 16, true, 0xF800, 0x07E0, 0x001F, 0xFFFF, 0xFFF8FCF8, 124},
      {"5-6-5 top red bit", 16, true, 0xF800, 0x07E0, 0x001F, 0x8000, 0xFF800000},
      {"5-5-5 default, five-bit channels keep zero low bits", 16, false, 0, 0, 0, 0x7FFF, 0xFFF8F8F8},
      {"5-5-5 default ignores bit 15", 16, false, 0, 0, 0, 0xFFFF, 0xFFF8F8F8},
      {"5-5-5 default, one step of each", 16, false, 0, 0, 0, 0x0421, 0xFF080808},
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
      {"2-3-1 bit fields", 16, true, 0x30, 0x0E, 0x01, 0x3F, 0xFFC0E080},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const BmpSpec s{.bpp = c.bpp, .header_size = c.header, .with_masks = c.masks, .masks = {c.r, c.g, c.b}};
    const Decoded d = decode_file(make_bmp(s, {c.value}));
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.pixels.size(), 1u);
    EXPECT_EQ(d.pixels[0], c.expected) << std::hex << d.pixels[0];
    EXPECT_EQ(d.colour_type, 2);
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
                  {"2 bits per pixel", 28, 2, 2},
                  {"64 bits per pixel", 28, 64, 2},
                  {"run-length 8-bit", 30, 1, 4},
                  {"run-length 4-bit", 30, 2, 4},
                  {"bit fields on 8-bit indexes", 30, 3, 4},
                  {"compression 6", 30, 6, 4},
                  {"pixel data past the end", 10, 100000, 4}});
  // Masks past the end of the file.
  Bytes b = make_bmp({.bpp = 32, .with_masks = true}, {0});
  b.resize(60);
  EXPECT_EQ(decode_file(b).result, -1);
}

// Every cut of a file either gives no pixel (-1) or the rows that are there,
// flagged as incomplete.
TEST(BmpTruncation, EveryCutIsSafeAndKeepsTheRowsPresent) {
  for (uint16_t bpp : {1, 8, 16, 24, 32}) {
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

// stb_image reads the same files, bottom-up and top-down. Two known
// differences: it widens 5-bit channels by repeating their top bits (31 gives
// 255, here 248 by design), and it keeps the fourth byte of a 32-bit pixel as
// alpha where a BMP here is always opaque; the comparison masks exactly those.
TEST(BmpAgainstStb, RandomPicturesAgree) {
  struct Case {
    uint16_t bpp;
    bool masks;
    uint32_t r, g, b;
    uint32_t compare_mask;
  };
  const Case cases[] = {
      {1, false, 0, 0, 0, 0xFFFFFFFF},  {4, false, 0, 0, 0, 0xFFFFFFFF},
      {8, false, 0, 0, 0, 0xFFFFFFFF},  {24, false, 0, 0, 0, 0xFFFFFFFF},
      {16, false, 0, 0, 0, 0x00F8F8F8}, {16, true, 0xF800, 0x07E0, 0x001F, 0x00F8FCF8},
      {32, false, 0, 0, 0, 0x00FFFFFF}, {32, true, 0x0000FF00, 0x00FF0000, 0xFF000000, 0x00FFFFFF},
  };
  for (const Case& c : cases) {
    for (int32_t width : {1, 3, 7, 9, 17, 33}) {
      for (int32_t height : {6, -6}) {
        SCOPED_TRACE(testing::Message()
                     << c.bpp << " bits, masks " << c.masks << ", " << width << " x " << height);
        BmpSpec s{
            .width = width, .height = height, .bpp = c.bpp, .with_masks = c.masks, .masks = {c.r, c.g, c.b}};
        if (c.bpp <= 8) s.palette = random_values(size_t(1) << c.bpp, 0x1000000, 21);
        const Bytes file = make_bmp(s, random_values(size_t(width) * 6, c.bpp <= 8 ? 1u << c.bpp : 0, 22));
        const Decoded d = decode_file(file);
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(stb_mismatches(d, file, c.compare_mask), 0);
        for (size_t i = 0; i < d.pixels.size(); ++i) ASSERT_EQ(d.pixels[i] >> 24, 0xFFu) << i;
      }
    }
  }
}

std::string suite(const std::string& name) {
  return std::string(TESSEL_CORPUS_DIR) + "/bmp/bmpsuite-2.8/" + name;
}

// Files the decoder covers, with the suite's rendering and the bits of each
// channel that the file stores: the renderings widen narrow channels by
// repeating bits, the decoder leaves the low bits zero. Files with an alpha
// mask decode opaque here (the fourth byte is never alpha), so they are
// compared where their rendering is opaque: translucent pixels are rendered
// blended.
struct SuiteCase {
  const char* file;
  const char* reference;
  uint32_t mask;
  bool opaque_only = false;
};

class BmpSuite : public testing::TestWithParam<SuiteCase> {};

TEST_P(BmpSuite, MatchesTheReferenceRendering) {
  const SuiteCase& c = GetParam();
  const Decoded d = decode_file(read_file(suite(c.file)));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 0);
  EXPECT_EQ(
      rendering_mismatches(d, suite(std::string("html-reference/") + c.reference), c.mask, c.opaque_only), 0);
  // Opaque, with zero bits below the top ones of a narrow channel.
  for (size_t i = 0; i < d.pixels.size(); ++i)
    ASSERT_EQ(d.pixels[i] & (~c.mask | 0xFF000000u), 0xFF000000u) << i;
}

constexpr uint32_t kAll = 0xFFFFFFFF;
constexpr uint32_t kRgb = 0x00FFFFFF;
// Files compared on every bit with their renderings; among them a 16-byte
// header that ends before the compression field, and masks inside 52- and
// 124-byte headers.
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
      {"q/pal1p1.bmp", "pal1p1.png"}, {"q/pal8offs.bmp", "pal8.png"}, {"q/pal8oversizepal.bmp", "pal8.png"},
      {"q/pal8os2-sz.bmp", "pal8.png"}, {"q/pal8os2-hs.bmp", "pal8.png"}, {"q/pal8os2sp.bmp", "pal8.png"},
      {"q/pal8os2v2.bmp", "pal8.png"}, {"q/pal8os2v2-sz.bmp", "pal8.png"},
      {"q/pal8os2v2-40sz.bmp", "pal8.png"}, {"q/pal8os2v2-16.bmp", "pal8.png"},
      {"q/rgb24largepal.bmp", "rgb24.png"}, {"q/rgb24prof.bmp", "rgb24.png"},
      {"q/rgb24lprof.bmp", "rgb24.png"}, {"q/rgb32h52.bmp", "rgb24.png"}, {"q/rgb32-xbgr.bmp", "rgb24.png"},
      {"q/rgb32fakealpha.bmp", "rgb24.png"}};
  // clang-format on
  std::vector<SuiteCase> cases;
  for (auto [file, reference] : files) cases.push_back({file, reference, kAll});
  return cases;
}
INSTANTIATE_TEST_SUITE_P(Exact, BmpSuite, testing::ValuesIn(exact_cases()));

// Narrow channels, and alpha masks compared where the rendering is opaque.
INSTANTIATE_TEST_SUITE_P(Masked, BmpSuite,
                         testing::Values(SuiteCase{"g/rgb16.bmp", "rgb16.png", 0xFFF8F8F8},
                                         SuiteCase{"g/rgb16bfdef.bmp", "rgb16.png", 0xFFF8F8F8},
                                         SuiteCase{"g/rgb16-565.bmp", "rgb16-565.png", 0xFFF8FCF8},
                                         SuiteCase{"g/rgb16-565pal.bmp", "rgb16-565.png", 0xFFF8FCF8},
                                         SuiteCase{"q/rgb16-231.bmp", "rgb16-231.png", 0xFFC0E080},
                                         SuiteCase{"q/rgb16faketrns.bmp", "rgb16.png", 0xFFF8F8F8},
                                         SuiteCase{"q/rgba32h56.bmp", "rgba32.png", kRgb, true},
                                         SuiteCase{"q/rgba32-1.bmp", "rgba32.png", kRgb, true},
                                         SuiteCase{"q/rgba32-2.bmp", "rgba32.png", kRgb, true},
                                         SuiteCase{"q/rgba16-5551.bmp", "rgba16-5551.png", 0x00F8F8F8, true},
                                         SuiteCase{"q/rgba16-4444.bmp", "rgba16-4444.png", 0x00F0F0F0,
                                                   true}));

// Everything else in the suite: refused or decoded, never a read outside the
// file (the sanitizer builds judge that).
TEST(BmpSuiteRest, RefusedOrDecodedSafely) {
  const char* refused[] = {"b/badbitcount.bmp", "b/badplanes.bmp",   "b/badrle.bmp",     "b/badrle4.bmp",
                           "b/badrle4bis.bmp",  "b/badrle4ter.bmp",  "b/badrlebis.bmp",  "b/badrleter.bmp",
                           "b/badwidth.bmp",    "b/rletopdown.bmp",  "g/pal4rle.bmp",    "g/pal8rle.bmp",
                           "q/pal2.bmp",        "q/pal2color.bmp",   "q/pal4rlecut.bmp", "q/pal8rlecut.bmp",
                           "q/rgb24jpeg.bmp",   "q/rgb24png.bmp",    "q/rgb24rle24.bmp", "q/rgba32abf.bmp",
                           "q/rgba64.bmp",      "q/pal1huffmsb.bmp", "x/ba-bm.bmp"};
  for (const char* f : refused) {
    SCOPED_TRACE(f);
    EXPECT_EQ(decode_file(read_file(suite(f))).result, -1);
  }
  const char* decoded[] = {"b/badbitssize.bmp",  "b/baddens1.bmp",       "b/baddens2.bmp",
                           "b/badfilesize.bmp",  "b/badheadersize.bmp",  "b/badpalettesize.bmp",
                           "b/pal8badindex.bmp", "b/rgb16-880.bmp",      "q/rgb32-111110.bmp",
                           "q/rgb32-7187.bmp",   "q/rgba32-1010102.bmp", "q/rgba32-61754.bmp",
                           "q/rgba32-81284.bmp", "q/rgba16-1924.bmp",    "g/pal8nonsquare.bmp",
                           "q/rgb16-3103.bmp",   "q/rgb24prof2.bmp"};
  for (const char* f : decoded) {
    SCOPED_TRACE(f);
    EXPECT_EQ(decode_file(read_file(suite(f))).result, 0);
  }
  // Short file: the rows that are there, flagged.
  EXPECT_EQ(decode_file(read_file(suite("b/shortfile.bmp"))).result, 0);
  EXPECT_EQ(source_info.incomplete, 1);
  // Three million by two million pixels promised, a few rows present.
  EXPECT_EQ(decode_file(read_file(suite("b/reallybig.bmp"))).result, 0);
}

}  // namespace

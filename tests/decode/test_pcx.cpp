// PCX input: runs across rows and planes, padding, palettes, against known
// pixels and reference renderings; hostile headers and cut files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "decode/picture.h"
#include "tests/support/decode_check.h"
#include "tests/support/oracle.h"

namespace {

using namespace decodecheck;

struct PcxSpec {
  int16_t xmin = 0, ymin = 0;
  int16_t width = 1, height = 1;
  uint8_t planes = 1;
  uint16_t line = 2;
  uint8_t bits = 8;
  const Bytes* header_palette = nullptr;  // 48 bytes at 16
};

Bytes pcx_header(const PcxSpec& s) {
  Bytes b(128, 0);
  b[0] = 0x0A, b[1] = 0x05, b[2] = 0x01, b[3] = s.bits;
  if (s.header_palette != nullptr)
    std::copy(s.header_palette->begin(), s.header_palette->end(), b.begin() + 16);
  auto put16 = [&](size_t at, int v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(unsigned(v) >> 8);
  };
  put16(4, s.xmin);
  put16(6, s.ymin);
  put16(8, s.xmin + s.width - 1);
  put16(10, s.ymin + s.height - 1);
  b[65] = s.planes;
  put16(66, s.line);
  return b;
}

// Run-length codes a value stream with runs of up to 63 that ignore row and
// plane ends; single values of 0xC0 and above must be coded as runs of one.
Bytes encode(const Bytes& values) {
  Bytes b;
  size_t i = 0;
  while (i < values.size()) {
    size_t run = 1;
    while (i + run < values.size() && run < 63 && values[i + run] == values[i]) ++run;
    if (run > 1 || values[i] >= 0xC0) {
      b.push_back(uint8_t(0xC0 | run));
      b.push_back(values[i]);
    } else {
      b.push_back(values[i]);
    }
    i += run;
  }
  return b;
}

Bytes palette_block(uint32_t seed) {
  Bytes p(769);
  p[0] = 0x0C;
  std::mt19937 rng(seed);
  for (size_t i = 1; i < p.size(); ++i) p[i] = uint8_t(rng());
  return p;
}

uint32_t palette_colour(const Bytes& block, uint8_t v) {
  return 0xFF000000u | uint32_t(block[1 + 3 * v]) << 16 | uint32_t(block[2 + 3 * v]) << 8 | block[3 + 3 * v];
}

// Stored values of a picture: per picture row, `planes` plane rows of `line`
// values, the ones past the width being random padding. Repeats make runs.
struct Picture {
  Bytes values;
  std::vector<uint32_t> expected;  // for three planes; one plane maps through the palette
};

Picture random_picture(const PcxSpec& s, uint32_t seed) {
  std::mt19937 rng(seed);
  Picture p;
  p.expected.assign(size_t(s.width) * size_t(s.height), 0xFF000000u);
  for (int y = 0; y < s.height; ++y)
    for (int plane = 0; plane < s.planes; ++plane)
      for (int x = 0; x < s.line; ++x) {
        const uint8_t v = (rng() % 3 == 0 && !p.values.empty()) ? p.values.back() : uint8_t(rng());
        p.values.push_back(v);
        if (x < s.width) p.expected[size_t(y * s.width + x)] |= uint32_t(v) << (16 - 8 * plane);
      }
  return p;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PcxRuns, AcrossRowsAndPlanesWithOddWidths) {
  for (uint8_t planes : {1, 3}) {
    for (int16_t width : {1, 3, 5, 7, 31}) {
      SCOPED_TRACE(testing::Message() << int(planes) << " planes, width " << width);
      // Lines one longer than the even widths: one padding byte per plane row.
      const PcxSpec s{.xmin = -4,
                      .ymin = 100,
                      .width = width,
                      .height = 6,
                      .planes = planes,
                      .line = uint16_t(width + 1)};
      const Picture p = random_picture(s, uint32_t(width * planes));
      const Bytes palette = palette_block(9);
      Bytes file = concat(pcx_header(s), encode(p.values));
      if (planes == 1) file = concat(file, palette);
      const Decoded d = decode_file(file);
      ASSERT_EQ(d.result, 0);
      ASSERT_EQ(d.width, width);
      EXPECT_EQ(d.incomplete, 0);
      for (size_t i = 0; i < d.pixels.size(); ++i) {
        const size_t y = i / size_t(width), x = i % size_t(width);
        const uint32_t want = planes == 3 ? p.expected[i] : palette_colour(palette, p.values[y * s.line + x]);
        ASSERT_EQ(d.pixels[i], want) << x << "," << y;
      }
      EXPECT_EQ(d.colour_type, planes == 1 ? 3 : 2);
      if (planes == 1) {
        EXPECT_EQ(source_info.source_bit_depth, 8);
        EXPECT_EQ(source_info.palette_count, 256);
        EXPECT_EQ(source_info.palette[255], palette_colour(palette, 255));
      }
    }
  }
}

TEST(PcxRuns, RunOverPaddingAndTheLastRow) {
  // Width 3, plane rows of 4: one run of 8 fills two plane rows and both
  // padding bytes; a count of 0 writes nothing; a run past the last row is
  // dropped.
  const PcxSpec s{.width = 3, .height = 3, .planes = 3, .line = 4};
  const Bytes data = {
      0xC0, 0x99,                          // a run of none
      0xC8, 0x10,                          // row 0: red and green planes, padding included
      0xC4, 0x20,                          // row 0: blue
      0x01, 0x02, 0x03, 0x04,              // row 1: red, padding 0x04
      0xC1, 0xC5, 0xC1, 0xC6, 0x07, 0x08,  // row 1: green, 0xC5 and 0xC6 as runs of one
      0xFF, 0x30,                          // row 1 blue and all of row 2; the rest is dropped
      0xC3, 0x77,                          // never read: the picture is complete
  };
  const Decoded d = decode_file(concat(pcx_header(s), data));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 0);
  EXPECT_EQ(d.pixels, (std::vector<uint32_t>{0xFF101020, 0xFF101020, 0xFF101020, 0xFF01C530, 0xFF02C630,
                                             0xFF030730, 0xFF303030, 0xFF303030, 0xFF303030}));
}

TEST(PcxRefusal, HeadersThatCannotBeDecoded) {
  const PcxSpec s{.width = 3, .height = 2, .line = 4};
  const Bytes data = encode(Bytes(8, 1));
  const Bytes good = concat(concat(pcx_header(s), data), palette_block(1));
  expect_refused(good, {{"no planes", 65, 0},
                        {"two planes", 65, 2},
                        {"four planes", 65, 4},
                        {"line below the width", 66, 2},
                        {"line of zero", 66, 0},
                        {"xmax before xmin", 8, 0xFFFF, 2},
                        {"ymax before ymin", 10, 0xFFFF, 2},
                        {"version 1", 1, 1},
                        {"version 6", 1, 6},
                        {"no run-length encoding", 2, 0},
                        {"3 bits per plane", 3, 3},
                        {"16 bits per plane", 3, 16}});
  // A header cut short.
  EXPECT_EQ(decode_file(Bytes(good.begin(), good.begin() + 100)).result, -1);
  // Planar layouts of more than 16 colours, and plane rows too short for
  // their pixels.
  for (auto [bits, planes, line] :
       {std::tuple{1, 5, 4}, {2, 3, 4}, {4, 2, 4}, {4, 3, 4}, {1, 4, 0}, {2, 1, 0}, {4, 1, 1}}) {
    SCOPED_TRACE(testing::Message() << bits << " bits, " << planes << " planes, line " << line);
    const PcxSpec p{
        .width = 3, .height = 2, .planes = uint8_t(planes), .line = uint16_t(line), .bits = uint8_t(bits)};
    EXPECT_EQ(decode_file(concat(pcx_header(p), data)).result, -1);
  }
}

// Without the 0x0C marker before the last 768 bytes, 8-bit values are gray
// levels and the end of the file is picture data like the rest.
TEST(PcxGray, EightBitsWithoutAPaletteAreGray) {
  const PcxSpec s{.width = 3, .height = 2, .line = 4};
  const Bytes values = {0x00, 0x40, 0xFF, 0x11, 0x80, 0x7F, 0x01, 0x22};
  for (bool long_file : {false, true}) {
    SCOPED_TRACE(long_file ? "with 769 bytes after the data" : "short");
    Bytes file = concat(pcx_header(s), encode(values));
    if (long_file) file = concat(file, Bytes(769, 0x0B));
    const Decoded d = decode_file(file);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, 0);
    EXPECT_EQ(d.pixels, (std::vector<uint32_t>{0xFF000000, 0xFF404040, 0xFFFFFFFF, 0xFF808080, 0xFF7F7F7F,
                                               0xFF010101}));
    EXPECT_EQ(d.colour_type, 0);
    EXPECT_EQ(source_info.source_bit_depth, 8);
  }
}

// Planar pictures of 1, 2 and 4 bits in 1 to 4 planes: plane p holds bits
// p * bits.. of each index, leftmost pixel in the high bits of a byte; the
// colours are the header's 16 (one bit in one plane is black and white).
TEST(PcxPlanar, RandomPicturesOfEveryLayout) {
  std::mt19937 rng(4);
  Bytes header_palette(48);
  for (uint8_t& b : header_palette) b = uint8_t(rng());
  for (auto [bits, planes] : {std::pair{1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {4, 1}}) {
    for (int16_t width : {1, 7, 8, 9, 17}) {
      SCOPED_TRACE(testing::Message() << bits << " bits, " << planes << " planes, width " << width);
      const int per_byte = 8 / bits;
      const uint16_t line = uint16_t(((width + per_byte - 1) / per_byte + 1) & ~1);
      const PcxSpec s{.width = width,
                      .height = 5,
                      .planes = uint8_t(planes),
                      .line = line,
                      .bits = uint8_t(bits),
                      .header_palette = &header_palette};
      const uint32_t colours = 1u << (bits * planes);
      const auto index = random_values(size_t(width) * 5, colours, uint32_t(width * planes), 2);
      Bytes values;
      for (int y = 0; y < 5; ++y)
        for (int p = 0; p < planes; ++p)
          for (int b = 0; b < line; ++b) {
            uint8_t v = 0;
            for (int k = 0; k < per_byte; ++k) {
              const int x = b * per_byte + k;
              const uint32_t part = x < width
                                        ? index[size_t(y * width + x)] >> (p * bits) & ((1u << bits) - 1)
                                        : uint32_t(rng()) & ((1u << bits) - 1);  // padding
              v = uint8_t(v | part << (8 - bits * (k + 1)));
            }
            values.push_back(v);
          }
      const Decoded d = decode_file(concat(pcx_header(s), encode(values)));
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(d.incomplete, 0);
      const bool mono = bits * planes == 1;
      for (size_t i = 0; i < d.pixels.size(); ++i) {
        const uint32_t v = index[i];
        const uint8_t* c = &header_palette[3 * v];
        const uint32_t want = mono ? (v ? 0xFFFFFFFFu : 0xFF000000u)
                                   : 0xFF000000u | uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
        ASSERT_EQ(d.pixels[i], want) << i;
      }
      EXPECT_EQ(d.colour_type, mono ? 0 : 3);
      const int depth = bits * planes == 3 ? 4 : bits * planes;
      EXPECT_EQ(source_info.source_bit_depth, depth);
      if (!mono) {
        EXPECT_EQ(source_info.palette_count, int(colours));
      }
      // Every cut is safe, flagged, and each pixel it gives is the whole
      // file's (a row the cut goes through may have fewer planes).
      const Bytes file = concat(pcx_header(s), encode(values));
      for (size_t cut = 129; cut < file.size(); ++cut) {
        const Decoded part = decode_file(Bytes(file.begin(), file.begin() + long(cut)));
        if (part.result != 0) continue;
        EXPECT_EQ(part.incomplete, 1) << cut;
        size_t differ = 0;
        for (size_t i = 0; i < part.pixels.size(); ++i) {
          const bool rows_done =
              i < size_t(width) * size_t(5 - 1) && part.pixels[i + size_t(width)] != kUntouched;
          if (rows_done && part.pixels[i] != d.pixels[i]) ++differ;
        }
        EXPECT_EQ(differ, 0u) << cut;
      }
    }
  }
}

// A DCX file is a table of PCX pages; the first page is the picture, ending
// where the second begins.
TEST(PcxContainer, FirstPageOfADcx) {
  const PcxSpec first{.width = 3, .height = 2, .line = 4};
  const PcxSpec second{.width = 5, .height = 5, .planes = 3, .line = 6};
  const Bytes palette = palette_block(2);
  const Bytes page1 = concat(concat(pcx_header(first), encode(Bytes{1, 2, 3, 0, 4, 5, 6, 0})), palette);
  const Bytes page2 = concat(pcx_header(second), encode(Bytes(90, 7)));
  Bytes dcx(16, 0);
  put_le32(dcx, 0, 0x3ADE68B1);
  put_le32(dcx, 4, 16);
  put_le32(dcx, 8, uint32_t(16 + page1.size()));
  dcx = concat(concat(dcx, page1), page2);
  const Decoded d = decode_file(dcx);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.width, 3);
  EXPECT_EQ(d.height, 2);
  EXPECT_EQ(d.pixels, (std::vector<uint32_t>{palette_colour(palette, 1), palette_colour(palette, 2),
                                             palette_colour(palette, 3), palette_colour(palette, 4),
                                             palette_colour(palette, 5), palette_colour(palette, 6)}));
  EXPECT_EQ(d.colour_type, 3);
  // Page offsets outside the file, or before the table's end, give nothing.
  for (uint32_t bad : {0u, 7u, uint32_t(dcx.size()), 0xFFFFFFF0u}) {
    Bytes b = dcx;
    put_le32(b, 4, bad);
    EXPECT_EQ(decode_file(b).result, -1) << bad;
  }
}

TEST(PcxTruncation, EveryCutIsSafeAndKeepsTheRowsPresent) {
  for (uint8_t planes : {1, 3}) {
    const PcxSpec s{.width = 5, .height = 4, .planes = planes, .line = 6};
    const Picture p = random_picture(s, 77);
    const Bytes data = encode(p.values);
    // The marker byte tells the palette from data, however short the data.
    const Bytes palette = palette_block(5);
    const Bytes whole_file = concat(concat(pcx_header(s), data), planes == 1 ? palette : Bytes{});
    const Decoded whole = decode_file(whole_file);
    ASSERT_EQ(whole.result, 0);
    for (size_t cut = 0; cut < data.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << int(planes) << " planes, data cut at " << cut);
      // One plane keeps its palette at the end of the file.
      Bytes file = concat(pcx_header(s), Bytes(data.begin(), data.begin() + long(cut)));
      if (planes == 1) file = concat(file, palette);
      const Decoded d = decode_file(file);
      if (cut == 0) {
        EXPECT_EQ(d.result, -1);
        continue;
      }
      if (d.result == -1) {
        // Only a lone run byte without its value.
        EXPECT_EQ(cut, 1u);
        continue;
      }
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(d.incomplete, 1);
      // Rows above the cut are whole; pixels are either decoded right or untouched
      // (three planes may have some of their bytes and an opaque alpha).
      for (size_t i = 0; i < d.pixels.size(); ++i) {
        if (d.pixels[i] == whole.pixels[i] || d.pixels[i] == kUntouched) continue;
        ASSERT_EQ(planes, 3) << i;
        EXPECT_EQ(d.pixels[i] >> 24, 0xFFu) << i;
      }
    }
  }
}

TEST(PcxClip, OffsetsClipAndLeaveTheRestAlone) {
  const PcxSpec s{.width = 3, .height = 3, .planes = 3, .line = 3};
  expect_offsets_clip(concat(pcx_header(s), encode(random_picture(s, 3).values)), 3, 3, {{-2, 1}, {1, -2}});
}

std::string corpus(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/pcx/" + name; }

// Two files beside their renderings, and the 1-bit, 4-plane and container
// files; the others hold bytes per line below the width and a damaged
// header. (The Pillow comparison test holds all of them against Pillow.)
TEST(PcxCorpus, RenderingsMatchAndOtherFilesAreRefused) {
  for (const char* name : {"24bit", "256-palette"}) {
    SCOPED_TRACE(name);
    const Decoded d = decode_file(read_file(corpus(std::string("image-extras/") + name + ".pcx")));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, 0);
    EXPECT_EQ(rendering_mismatches(d, corpus(std::string("image-extras/reference-png/") + name + ".png"),
                                   0xFFFFFFFF),
              0);
  }
  const Decoded odd = decode_file(read_file(corpus("pillow/odd_stride.pcx")));
  EXPECT_EQ(odd.result, 0);
  EXPECT_EQ(odd.incomplete, 0);
  // One pixel of four 1-bit planes: bits 0 and 1 set, header colour 3.
  const Decoded four = decode_file(read_file(corpus("pillow/p_4_planes.pcx")));
  ASSERT_EQ(four.result, 0);
  EXPECT_EQ(four.pixels, std::vector<uint32_t>{0xFFFF0000});
  const Decoded mono = decode_file(read_file(corpus("pillow/pil184.pcx")));
  EXPECT_EQ(mono.result, 0);
  EXPECT_EQ(mono.incomplete, 0);
  EXPECT_EQ(mono.colour_type, 0);
  const Decoded pages = decode_file(read_file(corpus("pillow/hopper.dcx")));
  EXPECT_EQ(pages.result, 0);
  EXPECT_EQ(pages.incomplete, 0);
  EXPECT_EQ(pages.width, 128);
  for (const char* f : {"pillow/01r_00.pcx", "pillow/ossfuzz-4836216264589312.pcx"}) {
    SCOPED_TRACE(f);
    EXPECT_EQ(decode_file(read_file(corpus(f))).result, -1);
  }
}

}  // namespace

// Format recognition, size probing, dispatch and the cel decoder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/picture.h"
#include "tests/support/decode_check.h"

namespace {

using namespace decodecheck;

void put_be32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// A header of n zero bytes after `magic`, with little-endian fields of 1, 2
// or 4 bytes set (a negative size: big-endian).
struct Field {
  size_t at;
  uint32_t value;
  int bytes;
};
Bytes header(size_t n, const char* magic, std::initializer_list<Field> fields) {
  Bytes b(n, 0);
  std::memcpy(b.data(), magic, std::strlen(magic));
  for (const Field& f : fields) {
    const int count = std::abs(f.bytes);
    for (int i = 0; i < count; ++i)
      b[f.at + size_t(i)] = uint8_t(f.value >> (8 * (f.bytes > 0 ? i : count - 1 - i)));
  }
  return b;
}

// Signature, an optional chunk before IHDR, then IHDR and IEND.
Bytes png_header(uint32_t w, uint32_t h, bool chunk_before_ihdr = false) {
  Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto chunk = [&](const char* type, uint32_t len) {
    const size_t at = b.size();
    b.resize(at + 12 + len, 0);
    put_be32(b, at, len);
    std::memcpy(&b[at + 4], type, 4);
    return at + 8;
  };
  if (chunk_before_ihdr) chunk("tEXt", 5);
  const size_t ihdr = chunk("IHDR", 13);
  put_be32(b, ihdr, w);
  put_be32(b, ihdr + 4, h);
  b[ihdr + 8] = 8;
  b[ihdr + 9] = 2;
  chunk("IEND", 0);
  return b;
}

struct Size {
  int32_t w, h;
};
Size probe(const Bytes& b) {
  Size s{-1, -1};
  probe_picture(b.empty() ? nullptr : b.data(), int32_t(b.size()), &s.w, &s.h);
  return s;
}

int32_t decode_into(const Bytes& b, std::vector<uint32_t>& px, int32_t w, int32_t h, int32_t xo = 0,
                    int32_t yo = 0) {
  return decode_picture(b.data(), int32_t(b.size()), px.data(), w * 4, w, h, xo, yo);
}

// A cel picture: 6-bit palette, one index per pixel.
Bytes cel(uint16_t w, uint16_t h) {
  Bytes b(800 + size_t(w) * h, 0);
  b[0] = 0x19;
  b[1] = 0x91;
  put_le16(b, 2, w);
  put_le16(b, 4, h);
  b[10] = 8;
  b[11] = 0;
  for (size_t i = 0; i < size_t(w) * h; ++i) b[800 + i] = uint8_t(i % 256);
  return b;
}

TEST(Probe, SizesOfEveryFormat) {
  Bytes png_cut = png_header(300, 200), png_damaged = png_cut, png_huge = png_header(5, 5, true);
  png_cut.resize(15);
  png_damaged[5] = 0;
  put_be32(png_huge, 8, 0xFFFFFFF4u);  // would wrap back onto itself in 32-bit arithmetic
  const Bytes gif_aspect = header(32, "GIF89a", {{6, 11, 2}, {8, 12, 2}, {12, 1, 1}});
  struct Case {
    const char* what;
    Bytes file;
    int32_t w, h;
  };
  const Case cases[] = {
      {"PNG", png_header(300, 200), 300, 200},
      {"PNG with a chunk before IHDR", png_header(7, 9, true), 7, 9},
      {"PNG cut inside IHDR", png_cut, 0, 0},
      {"PNG with a damaged signature", png_damaged, 0, 0},
      {"PNG chunk length near 4 GiB", png_huge, 0, 0},
      {"JPEG frame header past an APP0 segment",
       header(64, "",
              {{0, 0xFFD8, -2},
               {2, 0xFFE0, -2},
               {4, 16, -2},
               {20, 0xFFC2, -2},
               {25, 0x0102, -2},
               {27, 0x0304, -2}}),
       0x0304, 0x0102},
      {"BMP, negative height",
       header(64, "BM", {{14, 40, 4}, {18, 33, 4}, {22, uint32_t(-21), 4}, {26, 1, 2}}), 33, 21},
      {"BMP with two planes", header(64, "BM", {{14, 40, 4}, {18, 33, 4}, {22, 21, 4}, {26, 2, 2}}), 0, 0},
      {"BMP core header", header(32, "BM", {{14, 12, 4}, {18, 640, 2}, {20, 480, 2}, {22, 1, 2}}), 640, 480},
      {"PCX", header(128, "\x0A\x05\x01\x08", {{4, 10, 2}, {6, 20, 2}, {8, 19, 2}, {10, 24, 2}}), 10, 5},
      {"DDS", header(128, "DDS ", {{4, 124, 4}, {12, 48, 4}, {16, 64, 4}}), 64, 48},
      {"DDS header size 123, not a TGA either", header(128, "DDS ", {{4, 123, 4}, {12, 48, 4}, {16, 64, 4}}),
       0, 0},
      {"TGA", header(40, "", {{2, 10, 1}, {16, 24, 1}, {12, 5, 2}, {14, 6, 2}}), 5, 6},
      {"TGA descriptor out of range",
       header(40, "", {{2, 10, 1}, {16, 24, 1}, {12, 5, 2}, {14, 6, 2}, {17, 64, 1}}), 0, 0},
      {"GIF", header(32, "GIF89a", {{6, 11, 2}, {8, 12, 2}}), 11, 12},
      {"GIF aspect byte set", gif_aspect, 11, 12},
      {"PCX version 0, 1 bit per plane",
       header(128, "\x0A", {{2, 1, 1}, {3, 1, 1}, {4, 1, 2}, {6, 1, 2}, {8, 8, 2}, {10, 3, 2}}), 8, 3},
      {"PCX version 1 is not PCX", header(128, "\x0A\x01\x01\x08", {{8, 8, 2}, {10, 3, 2}}), 0, 0},
      {"PCX of 3 bits per plane is not PCX", header(128, "\x0A\x05\x01\x03", {{8, 8, 2}, {10, 3, 2}}), 0, 0},
      {"DCX, first page",
       header(160, "\xB1\x68\xDE\x3A",
              {{4, 12, 4}, {12, 0x0A, 1}, {13, 5, 1}, {14, 1, 1}, {15, 8, 1}, {20, 6, 2}, {22, 9, 2}}),
       7, 10},
      {"DCX page outside the file", header(160, "\xB1\x68\xDE\x3A", {{4, 4000, 4}}), 0, 0},
      {"cel", cel(3, 4), 3, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Size s = probe(c.file);
    EXPECT_EQ(s.w, c.w);
    if (c.w != 0) {
      EXPECT_EQ(s.h, c.h);
    }
  }
  // What the probe does not recognise is refused, and a GIF without an image
  // says so with its colour type.
  EXPECT_EQ(decode_at(png_damaged, 2, 2).result, -1);
  const Decoded g = decode_at(gif_aspect, 2, 2);
  EXPECT_EQ(g.result, -1);
  EXPECT_EQ(g.colour_type, 3);
  EXPECT_EQ(source_info.source_bit_depth, 8);
}

TEST(Probe, EveryTruncatedHeaderStaysInsideTheInput) {
  // Under the sanitizers each prefix lives in a buffer of exactly its size.
  const Bytes samples[] = {png_header(9, 9, true), cel(4, 4)};
  for (const Bytes& full : samples) {
    for (size_t n = 0; n <= full.size(); ++n) {
      Bytes prefix(full.begin(), full.begin() + long(n));
      probe(prefix);
      std::vector<uint32_t> px(16, 0);
      decode_picture(prefix.data(), int32_t(prefix.size()), px.data(), 16, 4, 4, 0, 0);
    }
  }
}

TEST(Dispatch, UnknownDataIsRefusedAndResetsTheRecord) {
  source_info.background = 123;
  source_info.palette_count = 9;
  source_info.source_filter = 2;
  source_info.incomplete = 1;
  const Bytes junk(64, 0x55);
  std::vector<uint32_t> px(4, 0);
  EXPECT_EQ(decode_into(junk, px, 2, 2), -1);
  EXPECT_EQ(source_info.background, 0u);
  EXPECT_EQ(source_info.palette_count, 0);
  EXPECT_EQ(source_info.source_filter, -1);
  EXPECT_EQ(source_info.incomplete, 0);
  EXPECT_EQ(byte_swap16(0x1234), 0x3412);
}

TEST(Cel, PaletteIsScaledByFourAndTheRecordFilled) {
  Bytes b = cel(8, 2);
  b[32 + 7 * 3] = 63;
  b[32 + 5 * 3 + 2] = 1;
  std::vector<uint32_t> px(16, 0);
  ASSERT_EQ(decode_into(b, px, 8, 2), 0);
  EXPECT_EQ(px[7], 0xFFFC0000u);
  EXPECT_EQ(px[5], 0xFF000004u);
  EXPECT_EQ(px[0], 0xFF000000u);
  EXPECT_EQ(source_info.source_color_type, 3);
  EXPECT_EQ(source_info.source_bit_depth, 8);
  EXPECT_EQ(source_info.palette_count, 256);
  EXPECT_EQ(source_info.palette[7], 0xFFFC0000u);
  EXPECT_EQ(source_info.incomplete, 0);
}

TEST(Cel, PlacementClipsAtTheTargetEdges) {
  Bytes b = cel(4, 3);
  for (int i = 0; i < 256; ++i) b[32 + 3 * i] = uint8_t(i & 63);  // red = index
  expect_offsets_clip(b, 4, 3, {{2, 0}, {0, -1}});
}

TEST(Cel, ZeroSizeIsRefusedAndShortDataIsMarkedIncomplete) {
  std::vector<uint32_t> px(16, 0);
  EXPECT_EQ(decode_into(cel(0, 4), px, 4, 4), -1);
  EXPECT_EQ(decode_into(cel(4, 0), px, 4, 4), -1);

  Bytes b = cel(4, 4);
  b.resize(800 + 6);
  std::vector<uint32_t> part(16, 0x12345678);
  ASSERT_EQ(decode_into(b, part, 4, 4), 0);
  EXPECT_EQ(source_info.incomplete, 1);
  EXPECT_EQ(part[5], 0xFF000000u);  // index 5 with an all-zero palette
  EXPECT_EQ(part[6], 0x12345678u);  // never delivered
}

}  // namespace

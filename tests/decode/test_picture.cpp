// Format recognition, size probing, dispatch and the cel decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "decode/picture.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_be32(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 24);
  b[at + 1] = uint8_t(v >> 16);
  b[at + 2] = uint8_t(v >> 8);
  b[at + 3] = uint8_t(v);
}
void put_le16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put_le32(Bytes& b, size_t at, uint32_t v) {
  put_le16(b, at, v & 0xFFFF);
  put_le16(b, at + 2, v >> 16);
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

TEST(Probe, PngWalksToIhdrAndNeedsTheWholeSignature) {
  EXPECT_EQ(probe(png_header(300, 200)).w, 300);
  const Size later = probe(png_header(7, 9, true));
  EXPECT_EQ(later.w, 7);
  EXPECT_EQ(later.h, 9);

  Bytes cut = png_header(300, 200);
  cut.resize(15);
  EXPECT_EQ(probe(cut).w, 0);

  Bytes damaged = png_header(300, 200);
  damaged[5] = 0;
  EXPECT_EQ(probe(damaged).w, 0);
  std::vector<uint32_t> px(4, 0);
  EXPECT_EQ(decode_into(damaged, px, 2, 2), -1);
}

TEST(Probe, PngChunkLengthNearFourGigabytesEndsTheWalk) {
  Bytes b = png_header(5, 5, true);
  put_be32(b, 8, 0xFFFFFFF4u);  // would wrap back onto itself in 32-bit arithmetic
  EXPECT_EQ(probe(b).w, 0);
}

TEST(Probe, JpegFindsTheFrameHeaderPastOtherMarkers) {
  Bytes b(64, 0);
  b[0] = 0xFF;
  b[1] = 0xD8;
  b[2] = 0xFF;
  b[3] = 0xE0;  // APP0 of 16 bytes
  b[4] = 0;
  b[5] = 16;
  b[20] = 0xFF;
  b[21] = 0xC2;
  b[25] = 0x01;  // height 0x0102
  b[26] = 0x02;
  b[27] = 0x03;  // width 0x0304
  b[28] = 0x04;
  const Size s = probe(b);
  EXPECT_EQ(s.w, 0x0304);
  EXPECT_EQ(s.h, 0x0102);
}

TEST(Probe, BmpHeightSignAndPlanes) {
  Bytes b(64, 0);
  b[0] = 'B';
  b[1] = 'M';
  put_le32(b, 14, 40);
  put_le32(b, 18, 33);
  put_le32(b, 22, uint32_t(-21));
  put_le16(b, 26, 1);
  Size s = probe(b);
  EXPECT_EQ(s.w, 33);
  EXPECT_EQ(s.h, 21);
  put_le16(b, 26, 2);
  EXPECT_EQ(probe(b).w, 0);

  Bytes core(32, 0);
  core[0] = 'B';
  core[1] = 'M';
  put_le32(core, 14, 12);
  put_le16(core, 18, 640);
  put_le16(core, 20, 480);
  put_le16(core, 22, 1);
  s = probe(core);
  EXPECT_EQ(s.w, 640);
  EXPECT_EQ(s.h, 480);
}

TEST(Probe, PcxDdsTgaGifAndCel) {
  Bytes pcx(128, 0);
  put_le32(pcx, 0, 0x0801050A);
  put_le16(pcx, 4, 10);
  put_le16(pcx, 6, 20);
  put_le16(pcx, 8, 19);
  put_le16(pcx, 10, 24);
  Size s = probe(pcx);
  EXPECT_EQ(s.w, 10);
  EXPECT_EQ(s.h, 5);

  Bytes dds(128, 0);
  std::memcpy(dds.data(), "DDS ", 4);
  put_le32(dds, 4, 124);
  put_le32(dds, 12, 48);
  put_le32(dds, 16, 64);
  s = probe(dds);
  EXPECT_EQ(s.w, 64);
  EXPECT_EQ(s.h, 48);
  put_le32(dds, 4, 123);  // not DDS any more, and not a TGA either
  EXPECT_EQ(probe(dds).w, 0);

  Bytes tga(40, 0);
  tga[2] = 10;
  tga[16] = 24;
  put_le16(tga, 12, 5);
  put_le16(tga, 14, 6);
  s = probe(tga);
  EXPECT_EQ(s.w, 5);
  EXPECT_EQ(s.h, 6);
  tga[17] = 64;  // descriptor out of range
  EXPECT_EQ(probe(tga).w, 0);

  Bytes gif(32, 0);
  std::memcpy(gif.data(), "GIF89a", 6);
  put_le16(gif, 6, 11);
  put_le16(gif, 8, 12);
  s = probe(gif);
  EXPECT_EQ(s.w, 11);
  EXPECT_EQ(s.h, 12);
  gif[12] = 1;
  EXPECT_EQ(probe(gif).w, 0);
  std::vector<uint32_t> px(4, 0);
  EXPECT_EQ(decode_into(gif, px, 2, 2), -1);
  EXPECT_EQ(source_info.source_color_type, 3);
  EXPECT_EQ(source_info.source_bit_depth, 8);

  s = probe(cel(3, 4));
  EXPECT_EQ(s.w, 3);
  EXPECT_EQ(s.h, 4);
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
  std::vector<uint32_t> px(12, 0xDEADBEEF);
  ASSERT_EQ(decode_into(b, px, 4, 3, 2, 0), 0);
  // Picture column 0 lands in column 2; columns 2 and 3 fall off the right edge.
  EXPECT_EQ(px[0], 0xDEADBEEFu);
  EXPECT_EQ(px[1], 0xDEADBEEFu);
  EXPECT_EQ(px[2], 0xFF000000u);            // index 0
  EXPECT_EQ(px[3], 0xFF000000u | 4u << 16);  // index 1
  EXPECT_EQ(px[4 + 2], 0xFF000000u | 16u << 16);  // row 1 starts at index 4

  std::vector<uint32_t> up(12, 0xDEADBEEF);
  ASSERT_EQ(decode_into(b, up, 4, 3, 0, -1), 0);
  EXPECT_EQ(up[0], 0xFF000000u | 16u << 16);  // picture row 1 at target row 0
  EXPECT_EQ(up[8], 0xDEADBEEFu);              // last target row untouched
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
  EXPECT_EQ(part[5], 0xFF000000u);          // index 5 with an all-zero palette
  EXPECT_EQ(part[6], 0x12345678u);          // never delivered
}

}  // namespace

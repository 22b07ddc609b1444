// DDS decoding: a slow block decoder of the tests' own, exact values for
// hand-made blocks, refusals, truncation, and the real files beside their
// reference renderings.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "decode/picture.h"
#include "tests/support/decode_check.h"
#include "tests/support/oracle.h"

namespace {

using namespace decodecheck;

constexpr uint32_t kUncompressed = 0x40, kFourCc = 0x04;

struct Header {
  uint32_t width = 0, height = 0;
  uint32_t flags = kFourCc;
  const char* four_cc = "DXT1";
  uint32_t bit_count = 0;
  uint32_t masks[4] = {0, 0, 0, 0};
  uint32_t dxgi_format = 0;  // written as the extended header when four_cc is "DX10"
};

Header uncompressed(uint32_t w, uint32_t h) {
  return {w, h, kUncompressed, "\0\0\0\0", 32, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}};
}

Header compressed(uint32_t w, uint32_t h, const char* four_cc) { return {w, h, kFourCc, four_cc}; }

Header extended(uint32_t w, uint32_t h, uint32_t dxgi_format) {
  Header r = compressed(w, h, "DX10");
  r.dxgi_format = dxgi_format;
  return r;
}

Header masked(uint32_t flags, uint32_t bits, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return {1, 1, flags, "\0\0\0\0", bits, {r, g, b, a}};
}

Bytes write_dds(const Header& h, const Bytes& payload) {
  Bytes b(128, 0);
  std::memcpy(b.data(), "DDS ", 4);
  put_le32(b, 4, 124);
  put_le32(b, 8, 0x1007);
  put_le32(b, 12, h.height);
  put_le32(b, 16, h.width);
  put_le32(b, 76, 32);
  put_le32(b, 80, h.flags);
  std::memcpy(&b[84], h.four_cc, 4);
  put_le32(b, 88, h.bit_count);
  for (int i = 0; i < 4; ++i) put_le32(b, 92 + 4 * i, h.masks[i]);
  if (std::memcmp(h.four_cc, "DX10", 4) == 0) {
    b.resize(148, 0);
    put_le32(b, 128, h.dxgi_format);
    put_le32(b, 132, 3);  // a 2D texture
    put_le32(b, 140, 1);  // one array element
  }
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// ---- The tests' own decoder, pixel by pixel --------------------------------

struct Colour {
  int a, r, g, b;
};

uint32_t pack(Colour c) {
  return uint32_t(c.a) << 24 | uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | uint32_t(c.b);
}

// Each channel's top bits repeated below it: 31 -> 255, 16 -> 132.
Colour from565(int c) {
  const int r = c >> 11, g = (c >> 5) & 63, b = c & 31;
  return {255, r * 8 + r / 4, g * 4 + g / 16, b * 8 + b / 4};
}

// Colour of the pixel with index `i` in a colour part.
Colour block_colour(const uint8_t* part, int k, bool dxt1) {
  const int c0 = part[0] | part[1] << 8, c1 = part[2] | part[3] << 8;
  const int i = (part[4 + k / 4] >> (2 * (k % 4))) & 3;
  const Colour x = from565(c0), y = from565(c1);
  if (i == 0) return x;
  if (i == 1) return y;
  if (c0 <= c1 && dxt1) {
    if (i == 3) return {0, 0, 0, 0};
    return {255, (x.r + y.r) / 2, (x.g + y.g) / 2, (x.b + y.b) / 2};
  }
  const Colour& near = i == 2 ? x : y;
  const Colour& far = i == 2 ? y : x;
  auto mix = [](int p, int q) { return ((2 * p + q + 1) * 0x5555) >> 16; };
  return {255, mix(near.r, far.r), mix(near.g, far.g), mix(near.b, far.b)};
}

int block_alpha(const uint8_t* block, int k, int variant) {
  if (variant == 2 || variant == 3) return ((block[k / 2] >> (k % 2 * 4)) & 15) * 17;
  uint64_t bits = 0;
  for (int i = 7; i >= 2; --i) bits = bits << 8 | block[i];
  const int index = int(bits >> (3 * k)) & 7;
  const int a0 = block[0], a1 = block[1];
  if (index < 2) return index == 0 ? a0 : a1;
  if (a0 > a1) return ((8 - index) * a0 + (index - 1) * a1) / 7;
  if (index == 6) return 0;
  if (index == 7) return 255;
  return ((6 - index) * a0 + (index - 1) * a1) / 5;
}

uint32_t block_pixel(const uint8_t* block, int k, int variant) {
  const bool dxt1 = variant == 1;
  Colour c = block_colour(dxt1 ? block : block + 8, k, dxt1);
  if (!dxt1) c.a = block_alpha(block, k, variant);
  if ((variant == 2 || variant == 4) && c.a != 0) {
    const int64_t reciprocal = 0xFF0000 / c.a;
    auto up = [&](int v) { return int(std::min<int64_t>((v * reciprocal) >> 16, 255)); };
    c = {c.a, up(c.r), up(c.g), up(c.b)};
  }
  return pack(c);
}

// The picture rounded up to whole blocks, as the tests read it.
std::vector<uint32_t> reference_blocks(const Bytes& file, int width, int height, int variant) {
  const int across = (width + 3) / 4, down = (height + 3) / 4;
  const int size = variant == 1 ? 8 : 16;
  std::vector<uint32_t> out(size_t(across) * 4 * down * 4);
  for (int by = 0; by < down; ++by)
    for (int bx = 0; bx < across; ++bx) {
      const uint8_t* block = &file[128 + size_t(by * across + bx) * size];
      for (int k = 0; k < 16; ++k)
        out[size_t(by * 4 + k / 4) * across * 4 + bx * 4 + k % 4] = block_pixel(block, k, variant);
    }
  return out;
}

Bytes random_bytes(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& v : b) {
    seed = seed * 1664525u + 1013904223u;
    v = uint8_t(seed >> 24);
  }
  return b;
}

// ---- Exact values of hand-made blocks ----------------------------------------

struct BlockCase {
  const char* name;
  const char* four_cc;
  Bytes block;
  int pixel;
  uint32_t expected;
};

Bytes colour_part(uint16_t c0, uint16_t c1, uint32_t indices) {
  return {uint8_t(c0),
          uint8_t(c0 >> 8),
          uint8_t(c1),
          uint8_t(c1 >> 8),
          uint8_t(indices),
          uint8_t(indices >> 8),
          uint8_t(indices >> 16),
          uint8_t(indices >> 24)};
}

Bytes with_alpha(Bytes alpha, const Bytes& colours) {
  alpha.insert(alpha.end(), colours.begin(), colours.end());
  return alpha;
}

// Interpolated alpha part: a0, a1 and sixteen 3-bit indices.
Bytes alpha_part(uint8_t a0, uint8_t a1, const int (&index)[16]) {
  uint64_t bits = 0;
  for (int k = 15; k >= 0; --k) bits = bits << 3 | uint64_t(index[k]);
  Bytes b = {a0, a1};
  for (int i = 0; i < 6; ++i) b.push_back(uint8_t(bits >> (8 * i)));
  return b;
}

const int kAlphaIndices[16] = {0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0};
const Bytes kNibbles = {0x8F, 0x10, 0, 0, 0, 0, 0, 0};  // pixel 0: 0xF, 1: 0x8, 2: 0x0, 3: 0x1

TEST(DdsDecode, BlockValues) {
  const Bytes white_black_2 = colour_part(0xFFFF, 0x0000, 0xAAAAAAAA);
  const Bytes red_part = colour_part(13 << 11, 12 << 11, 0x0000000A);  // pixels 0, 1: colour 2; others: c0
  const Bytes nibbles = with_alpha(kNibbles, white_black_2);
  const Bytes eight_levels = with_alpha(alpha_part(255, 0, kAlphaIndices), white_black_2);
  const Bytes six_levels = with_alpha(alpha_part(0, 255, kAlphaIndices), white_black_2);
  auto red_alpha = [&](uint8_t a) { return with_alpha(alpha_part(a, a, kAlphaIndices), red_part); };
  const std::vector<BlockCase> cases = {
      {"four-colour thirds", "DXT1", white_black_2, 5, 0xFFAAAAAA},
      {"four-colour other third", "DXT1", colour_part(0xFFFF, 0x0000, 0xFFFFFFFF), 0, 0xFF555555},
      {"three-colour transparent", "DXT1", colour_part(0x1234, 0x1234, 0xFFFFFFFF), 9, 0x00000000},
      {"three-colour middle", "DXT1", colour_part(0x0000, 0xFFFF, 0xAAAAAAAA), 3, 0xFF7F7F7F},
      {"white endpoint is full white", "DXT1", colour_part(0xFFFF, 0x8410, 0x00000000), 0, 0xFFFFFFFF},
      {"endpoints widened by repeating top bits", "DXT1", colour_part(0xFFFF, 0x8410, 0x00000004), 1,
       0xFF848284},
      {"DXT3 ignores the three-colour mode", "DXT3",
       with_alpha(Bytes(8, 0xFF), colour_part(0x1234, 0x1234, 3)), 0, pack({255, 16, 69, 165})},
      {"DXT3 nibble F", "DXT3", nibbles, 0, 0xFFAAAAAA},
      {"DXT3 nibble 8", "DXT3", nibbles, 1, 0x88AAAAAA},
      {"DXT3 nibble 0", "DXT3", nibbles, 2, 0x00AAAAAA},
      {"DXT3 odd pixel in the high nibble", "DXT3", nibbles, 3, 0x11AAAAAA},
      {"DXT5 a0", "DXT5", eight_levels, 0, 0xFFAAAAAA},
      {"DXT5 a1", "DXT5", eight_levels, 1, 0x00AAAAAA},
      {"DXT5 index 2 of eight rounds down", "DXT5", eight_levels, 2, 0xDAAAAAAA},
      {"DXT5 index 7 of eight", "DXT5", eight_levels, 7, 0x24AAAAAA},
      {"DXT5 index 7 in the second half", "DXT5", eight_levels, 8, 0x24AAAAAA},
      {"DXT5 six-level index 2", "DXT5", six_levels, 2, 0x33AAAAAA},
      {"DXT5 six-level 0", "DXT5", six_levels, 6, 0x00AAAAAA},
      {"DXT5 six-level 255", "DXT5", six_levels, 7, 0xFFAAAAAA},
      // Red 107 and 99 (13 and 12 widened) give a third of 104; at alpha 136
      // it is widened to (104 * 122880) >> 16.
      {"DXT2 unpremultiplies", "DXT2", with_alpha(Bytes(8, 0x88), red_part), 0, pack({136, 195, 0, 0})},
      {"DXT4 at alpha 128", "DXT4", red_alpha(128), 0, pack({128, 207, 0, 0})},
      {"DXT4 saturates", "DXT4", red_alpha(64), 2, pack({64, 255, 0, 0})},
      {"DXT4 alpha 0 keeps the colour", "DXT4", red_alpha(0), 3, pack({0, 107, 0, 0})},
      {"DXT4 alpha 255 keeps the colour", "DXT4", red_alpha(255), 3, pack({255, 107, 0, 0})},
  };
  for (const BlockCase& c : cases) {
    const Bytes file = write_dds(compressed(4, 4, c.four_cc), c.block);
    const Decoded d = decode_at(file, 4, 4);
    ASSERT_EQ(d.result, 0) << c.name;
    EXPECT_EQ(d.incomplete, 0) << c.name;
    EXPECT_EQ(d.pixels[size_t(c.pixel)], c.expected)
        << c.name << std::hex << " got " << d.pixels[size_t(c.pixel)];
    const int variant = c.four_cc[3] - '0';
    EXPECT_EQ(block_pixel(c.block.data(), c.pixel, variant), c.expected) << c.name << " (test decoder)";
  }
}

// ---- Generated files in every accepted format --------------------------------

TEST(DdsDecode, GeneratedFilesMatchTestDecoder) {
  for (const char* four_cc : {"DXT1", "DXT2", "DXT3", "DXT4", "DXT5"}) {
    for (auto [w, h] : {std::pair{4, 4}, {6, 6}, {17, 9}, {64, 32}, {1, 1}, {3, 13}}) {
      SCOPED_TRACE(std::string(four_cc) + " " + std::to_string(w) + "x" + std::to_string(h));
      const int variant = four_cc[3] - '0';
      const size_t blocks = size_t((w + 3) / 4) * ((h + 3) / 4);
      const Bytes file = write_dds(compressed(w, h, four_cc),
                                   random_bytes(blocks * (variant == 1 ? 8 : 16), uint32_t(w * 131 + h)));
      const std::vector<uint32_t> want = reference_blocks(file, w, h, variant);
      const int full_w = (w + 3) / 4 * 4, full_h = (h + 3) / 4 * 4;
      // A target of the picture's size, and one with room for the edge blocks.
      const Decoded d = decode_at(file, w, h);
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(d.incomplete, 0);
      const Decoded wide = decode_at(file, full_w + 3, full_h + 2);
      ASSERT_EQ(wide.result, 0);
      for (int y = 0; y < full_h + 2; ++y)
        for (int x = 0; x < full_w + 3; ++x) {
          const uint32_t expected = x < full_w && y < full_h ? want[size_t(y) * full_w + x] : kUntouched;
          ASSERT_EQ(wide.pixels[size_t(y) * (full_w + 3) + x], expected) << x << "," << y;
          if (x < w && y < h) {
            ASSERT_EQ(d.pixels[size_t(y) * w + x], expected) << x << "," << y;
          }
        }
      // Alpha is reported only when some pixel of the picture needs it.
      bool translucent = false;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) translucent |= (want[size_t(y) * full_w + x] >> 24) != 255;
      EXPECT_EQ(d.colour_type, translucent ? 6 : 2);
      EXPECT_EQ(source_info.palette_count, 0);
    }
  }
}

TEST(DdsDecode, OffsetsPlaceAndClip) {
  // Uncompressed rows are copied bit for bit and trimmed on both sides.
  const Bytes payload = random_bytes(3 * 2 * 4, 7);
  const Bytes plain = write_dds(uncompressed(3, 2), payload);
  const Decoded d = decode_at(plain, 3, 2);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.incomplete, 0);
  EXPECT_EQ(std::memcmp(d.pixels.data(), payload.data(), payload.size()), 0);
  expect_offsets_clip(plain, 3, 2, {{-1, 1}, {2, 0}});
  // Blocks cut by the target's edges, in a target larger than the picture.
  expect_offsets_clip(write_dds(compressed(10, 7, "DXT5"), random_bytes(3 * 2 * 16, 99)), 12, 8,
                      {{-3, 2}, {5, -6}, {-20, 0}, {0, 9}, {11, 7}});
}

// ---- Refusals ----------------------------------------------------------------

// ---- Every accepted layout, one pixel each ------------------------------------

// BC7 fields are written least significant bit first, as the blocks store them.
struct Bc7Writer {
  Bytes block = Bytes(16, 0);
  int position = 0;
  Bc7Writer& put(uint32_t value, int bits) {
    for (int i = 0; i < bits; ++i, ++position)
      if (value >> i & 1) block[size_t(position / 8)] |= uint8_t(1 << (position % 8));
    return *this;
  }
};

// Mode 6: one subset, 7-bit endpoints with their own low bit, 4-bit indices
// (pixel 0's has 3 bits). Pixel 0 takes endpoint 0, pixel 1 endpoint 1,
// pixel 2 weight 34 of 64.
Bytes bc7_mode6() {
  Bc7Writer w;
  w.put(1 << 6, 7);
  for (uint32_t v : {127u, 0u, 0u, 127u, 64u, 64u, 127u, 127u}) w.put(v, 7);
  w.put(1, 1).put(0, 1);
  w.put(0, 3).put(15, 4).put(8, 4);
  EXPECT_LE(w.position, 128);
  return w.block;
}

// Mode 2: three subsets of shape 0 (rows 0011 0011 0221 2222), 5-bit
// endpoints, 2-bit indices, short indices at pixels 0, 3 and 15.
Bytes bc7_mode2() {
  Bc7Writer w;
  w.put(4, 3).put(0, 6);
  for (uint32_t v : {31u, 0u, 0u, 0u, 16u, 16u}) w.put(v, 5);  // red of the six endpoints
  for (uint32_t v : {0u, 31u, 31u, 31u, 0u, 0u}) w.put(v, 5);  // green
  for (int i = 0; i < 6; ++i) w.put(0, 5);                     // blue
  const uint32_t index[16] = {0, 1, 2, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0};
  for (int k = 0; k < 16; ++k) w.put(index[k], k == 0 || k == 3 || k == 15 ? 1 : 2);
  EXPECT_EQ(w.position, 128);
  return w.block;
}

struct LayoutCase {
  const char* name;
  Header header;
  Bytes payload;
  int pixel;
  uint32_t expected;
  int colour_type;
};

TEST(DdsDecode, EveryLayoutDecodesItsChannels) {
  constexpr uint32_t kRgb = 0x40, kAlphaPixels = 0x01, kLuminance = 0x20000, kAlphaOnly = 0x02;
  const Bytes bc3 = with_alpha(alpha_part(255, 0, kAlphaIndices), colour_part(0xFFFF, 0, 0));
  const Bytes bc4 = with_alpha(alpha_part(0x40, 0x00, kAlphaIndices), {});
  const Bytes bc4_signed = with_alpha(alpha_part(0x00, 0x80, kAlphaIndices), {});
  const Bytes bc5 = with_alpha(alpha_part(0x40, 0x40, kAlphaIndices), alpha_part(0x20, 0x20, kAlphaIndices));
  const std::vector<LayoutCase> cases = {
      {"A8R8G8B8", masked(kRgb | kAlphaPixels, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000), {0x10, 0x20, 0x30, 0x80},
       0, 0x80302010, 6},
      {"A8R8G8B8 all opaque", masked(kRgb | kAlphaPixels, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000),
       {0x10, 0x20, 0x30, 0xFF}, 0, 0xFF302010, 2},
      {"X8R8G8B8", masked(kRgb, 32, 0xFF0000, 0xFF00, 0xFF, 0), {1, 2, 3, 0}, 0, 0xFF030201, 2},
      {"A8B8G8R8", masked(kRgb | kAlphaPixels, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000), {0x10, 0x20, 0x30, 0x40},
       0, 0x40102030, 6},
      {"R8G8B8", masked(kRgb, 24, 0xFF0000, 0xFF00, 0xFF, 0), {1, 2, 3}, 0, 0xFF030201, 2},
      {"R5G6B5 white", masked(kRgb, 16, 0xF800, 0x07E0, 0x001F, 0), {0xFF, 0xFF}, 0, 0xFFFFFFFF, 2},
      {"R5G6B5 halves", masked(kRgb, 16, 0xF800, 0x07E0, 0x001F, 0), {0x10, 0x84}, 0, 0xFF848284, 2},
      {"A1R5G5B5 clear", masked(kRgb | kAlphaPixels, 16, 0x7C00, 0x03E0, 0x001F, 0x8000), {0xFF, 0x7F}, 0,
       0x00FFFFFF, 6},
      {"A1R5G5B5 set", masked(kRgb | kAlphaPixels, 16, 0x7C00, 0x03E0, 0x001F, 0x8000), {0x00, 0xC0}, 0,
       0xFF840000, 2},
      {"X1R5G5B5", masked(kRgb, 16, 0x7C00, 0x03E0, 0x001F, 0), {0x1F, 0x80}, 0, 0xFF0000FF, 2},
      {"A4R4G4B4", masked(kRgb | kAlphaPixels, 16, 0x0F00, 0x00F0, 0x000F, 0xF000), {0x21, 0x84}, 0, 0x88442211,
       6},
      {"L8", masked(kLuminance, 8, 0xFF, 0, 0, 0), {0x5A}, 0, 0xFF5A5A5A, 0},
      {"L8 with its mask in the top byte", masked(kLuminance, 8, 0xFF000000, 0, 0, 0), {0x5A}, 0, 0xFF5A5A5A, 0},
      {"A8L8", masked(kLuminance | kAlphaPixels, 16, 0xFF, 0, 0, 0xFF00), {0x40, 0x80}, 0, 0x80404040, 4},
      {"A8L8 all opaque", masked(kLuminance | kAlphaPixels, 16, 0xFF, 0, 0, 0xFF00), {0x40, 0xFF}, 0, 0xFF404040,
       0},
      {"L16 keeps the top byte", masked(kLuminance, 16, 0xFFFF, 0, 0, 0), {0x34, 0x12}, 0, 0xFF121212, 0},
      {"A8", masked(kAlphaOnly, 8, 0, 0, 0, 0xFF), {0x77}, 0, 0x77000000, 4},
      {"DX10 R8G8B8A8", extended(1, 1, 28), {1, 2, 3, 4}, 0, 0x04010203, 6},
      {"DX10 R8G8B8A8 sRGB", extended(1, 1, 29), {1, 2, 3, 255}, 0, 0xFF010203, 2},
      {"DX10 B8G8R8A8", extended(1, 1, 87), {1, 2, 3, 255}, 0, 0xFF030201, 2},
      {"DX10 B8G8R8X8", extended(1, 1, 88), {1, 2, 3, 0}, 0, 0xFF030201, 2},
      {"DX10 B8G8R8X8 sRGB", extended(1, 1, 93), {1, 2, 3, 0}, 0, 0xFF030201, 2},
      {"DX10 B5G6R5", extended(1, 1, 85), {0xFF, 0xFF}, 0, 0xFFFFFFFF, 2},
      {"DX10 B5G5R5A1", extended(1, 1, 86), {0x1F, 0x00}, 0, 0x000000FF, 6},
      {"DX10 B4G4R4A4", extended(1, 1, 115), {0x21, 0x84}, 0, 0x88442211, 6},
      {"DX10 R10G10B10A2", extended(1, 1, 24), {0xFF, 0x03, 0x00, 0xE0}, 0, 0xFFFF0080, 2},
      {"DX10 R8", extended(1, 1, 61), {0x9C}, 0, 0xFF9C9C9C, 0},
      {"DX10 R8G8", extended(1, 1, 49), {0x11, 0x22}, 0, 0xFF112200, 2},
      {"DX10 A8", extended(1, 1, 65), {0x77}, 0, 0x77000000, 4},
      {"DX10 BC1", extended(4, 4, 71), colour_part(0xFFFF, 0, 0), 0, 0xFFFFFFFF, 2},
      {"DX10 BC1 sRGB", extended(4, 4, 72), colour_part(0xFFFF, 0, 0), 0, 0xFFFFFFFF, 2},
      {"DX10 BC2 sRGB", extended(4, 4, 75), with_alpha(kNibbles, colour_part(0xFFFF, 0, 0)), 1, 0x88FFFFFF, 6},
      {"DX10 BC3", extended(4, 4, 77), bc3, 2, 0xDAFFFFFF, 6},
      {"DX10 BC3 sRGB", extended(4, 4, 78), bc3, 2, 0xDAFFFFFF, 6},
      {"DX10 BC4", extended(4, 4, 80), bc4, 0, 0xFF404040, 0},
      {"DX10 BC4 level 2 rounds down", extended(4, 4, 80), bc4, 2, 0xFF363636, 0},
      {"DX10 BC4 signed zero is middle grey", extended(4, 4, 81), bc4_signed, 0, 0xFF808080, 0},
      {"DX10 BC4 signed -128 is black", extended(4, 4, 81), bc4_signed, 1, 0xFF000000, 0},
      {"DX10 BC5", extended(4, 4, 83), bc5, 0, 0xFF402000, 2},
      {"DX10 BC5 signed", extended(4, 4, 84), bc5, 0, 0xFFC0A080, 2},
      {"ATI1", compressed(4, 4, "ATI1"), bc4, 0, 0xFF404040, 0},
      {"BC4U", compressed(4, 4, "BC4U"), bc4, 0, 0xFF404040, 0},
      {"BC4S", compressed(4, 4, "BC4S"), bc4_signed, 0, 0xFF808080, 0},
      {"ATI2", compressed(4, 4, "ATI2"), bc5, 0, 0xFF402000, 2},
      {"BC5U", compressed(4, 4, "BC5U"), bc5, 0, 0xFF402000, 2},
      {"BC5S", compressed(4, 4, "BC5S"), bc5, 0, 0xFFC0A080, 2},
      {"BC7 mode 6 endpoint 0", extended(4, 4, 98), bc7_mode6(), 0, 0xFFFF0181, 6},
      {"BC7 mode 6 endpoint 1", extended(4, 4, 98), bc7_mode6(), 1, 0xFE00FE80, 6},
      {"BC7 mode 6 weight 34", extended(4, 4, 99), bc7_mode6(), 2, 0xFE788780, 6},
      {"BC7 mode 2 first subset", extended(4, 4, 98), bc7_mode2(), 0, 0xFFFF0000, 2},
      {"BC7 mode 2 weight 21", extended(4, 4, 98), bc7_mode2(), 1, 0xFFAB5400, 2},
      {"BC7 mode 2 second subset", extended(4, 4, 98), bc7_mode2(), 2, 0xFF00FF00, 2},
      {"BC7 mode 2 short index of the second subset", extended(4, 4, 98), bc7_mode2(), 3, 0xFF00FF00, 2},
      {"BC7 mode 2 third subset", extended(4, 4, 98), bc7_mode2(), 9, 0xFF840000, 2},
      {"BC7 mode 2 short index of the third subset", extended(4, 4, 98), bc7_mode2(), 15, 0xFF840000, 2},
      {"BC7 reserved mode is transparent black", extended(4, 4, 97), Bytes(16, 0), 5, 0x00000000, 6},
  };
  for (const LayoutCase& c : cases) {
    const Bytes file = write_dds(c.header, c.payload);
    const Decoded d = decode_at(file, int32_t(c.header.width), int32_t(c.header.height));
    ASSERT_EQ(d.result, 0) << c.name;
    EXPECT_EQ(d.incomplete, 0) << c.name;
    EXPECT_EQ(d.pixels[size_t(c.pixel)], c.expected) << c.name << std::hex << " got " << d.pixels[size_t(c.pixel)];
    EXPECT_EQ(d.colour_type, c.colour_type) << c.name;
    EXPECT_EQ(source_info.source_bit_depth, 8) << c.name;
  }
}

TEST(DdsDecode, PaletteTexture) {
  Bytes palette(1024, 0);
  palette[4 * 7 + 0] = 0x12;
  palette[4 * 7 + 1] = 0x34;
  palette[4 * 7 + 2] = 0x56;
  palette[4 * 7 + 3] = 0x00;  // a flags byte, not alpha
  Bytes payload = palette;
  payload.insert(payload.end(), {7, 0});
  const Bytes file = write_dds({2, 1, 0x20, "\0\0\0\0", 8}, payload);
  const Decoded d = decode_at(file, 2, 1);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.pixels[0], 0xFF123456u);
  EXPECT_EQ(d.pixels[1], 0xFF000000u);
  EXPECT_EQ(d.colour_type, 3);
  EXPECT_EQ(source_info.palette_count, 256);
  EXPECT_EQ(source_info.palette[7], 0xFF123456u);
  // Without the whole palette nothing can be shown.
  EXPECT_EQ(decode_at(Bytes(file.begin(), file.begin() + 128 + 1000), 2, 1).result, -1);
}

// ---- Refusals ----------------------------------------------------------------

TEST(DdsDecode, RefusesOtherPixelFormats) {
  auto changed = [](Header h, auto&& edit) { return edit(h), h; };
  const Header plain = uncompressed(4, 4), dxt1 = compressed(4, 4, "DXT1");
  std::vector<std::pair<const char*, Header>> cases = {
      {"12-bit pixels", changed(plain, [](Header& h) { h.bit_count = 12; })},
      {"mask beyond the pixel", masked(0x40, 16, 0xFF0000, 0xFF00, 0xFF, 0)},
      {"no masks", masked(0x40, 24, 0, 0, 0, 0)},
      {"24-bit luminance", masked(0x20000, 24, 0xFF, 0, 0, 0)},
      {"no format flag", changed(dxt1, [](Header& h) { h.flags = 0; })},
      {"other flag", changed(dxt1, [](Header& h) { h.flags = 0x08; })},
      {"width above the signed range", compressed(0xFFFFFFF0u, 4, "DXT1")},
      {"height above the signed range", compressed(4, 0x80000000u, "DXT5")},
      {"block row of 8 GiB", compressed(0x7FFFFFFF, 4, "DXT5")},
      {"uncompressed row of 2 GiB", uncompressed(0x20000000, 4)},
      {"DX10 float", extended(4, 4, 2)},
      {"DX10 signed bytes", extended(4, 4, 31)},
      {"DX10 unknown", extended(4, 4, 0)},
      {"DX10 beyond the list", extended(4, 4, 0xFFFFFFFF)},
  };
  for (const char* code : {"DXT0", "DXT6", "ATI3", "BC4X", "dxt1", "DXT\x01"})
    cases.push_back({code, compressed(4, 4, code)});
  for (const auto& [name, header] : cases) {
    const Decoded d = decode_at(write_dds(header, Bytes(256, 0x5A)), 4, 4);
    EXPECT_EQ(d.result, -1) << name;
    EXPECT_EQ(source_info.refusal, nullptr) << name;
    EXPECT_TRUE(std::all_of(d.pixels.begin(), d.pixels.end(), [](uint32_t p) { return p == kUntouched; }))
        << name;
  }
  // A header cut short says nothing about the pixels.
  const Bytes good = write_dds(compressed(4, 4, "DXT1"), Bytes(8, 0));
  for (size_t cut : {8, 20, 90, 127}) {
    const Decoded d = decode_at(Bytes(good.begin(), good.begin() + cut), 4, 4);
    EXPECT_EQ(d.result, -1) << cut;
  }
  const Bytes ten = write_dds(extended(4, 4, 71), Bytes(8, 0));
  for (size_t cut : {128, 140, 147}) EXPECT_EQ(decode_at(Bytes(ten.begin(), ten.begin() + cut), 4, 4).result, -1);
}

TEST(DdsDecode, FloatingPointBlocksAreRefusedAsHdr) {
  for (uint32_t format : {94u, 95u, 96u}) {
    const Decoded d = decode_at(write_dds(extended(4, 4, format), Bytes(16, 0x33)), 4, 4);
    EXPECT_EQ(d.result, -1) << format;
    ASSERT_NE(source_info.refusal, nullptr) << format;
    EXPECT_NE(std::string(source_info.refusal).find("HDR"), std::string::npos);
  }
  // The reason is cleared for the next picture.
  EXPECT_EQ(decode_at(write_dds(compressed(4, 4, "DXT1"), Bytes(8, 0)), 4, 4).result, 0);
  EXPECT_EQ(source_info.refusal, nullptr);
}

TEST(DdsDecode, LargestAcceptedRowsDecodeWithinTheTarget) {
  // Row sizes just inside the limit: only what the target shows is visited.
  for (const Header& h : {compressed(0x3FFFFFFC, 0x7FFFFFFF, "DXT1"), compressed(0x1FFFFFFC, 8, "DXT3"),
                          uncompressed(0x1FFFFFFF, 0x7FFFFFFF)}) {
    const auto start = std::chrono::steady_clock::now();
    const Decoded d = decode_at(write_dds(h, random_bytes(64, 5)), 8, 8);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.incomplete, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
}

// ---- Data cut short ------------------------------------------------------------

TEST(DdsDecode, TruncatedDataDecodesWhatIsThere) {
  for (const char* four_cc : {"DXT1", "DXT5", "RGBA"}) {
    SCOPED_TRACE(four_cc);
    const bool blocks = four_cc[0] == 'D';
    const int w = 10, h = 9;
    const int variant = blocks ? four_cc[3] - '0' : 0;
    const size_t block_size = variant == 1 ? 8 : 16;
    const size_t bytes = blocks ? size_t(3 * 3) * block_size : size_t(w) * h * 4;
    const Bytes file =
        write_dds(blocks ? compressed(w, h, four_cc) : uncompressed(w, h), random_bytes(bytes, 3));
    const Decoded full = decode_at(file, w, h);
    ASSERT_EQ(full.result, 0);
    for (size_t present = 0; present < bytes; present += 3) {
      const Decoded d = decode_at(Bytes(file.begin(), file.begin() + 128 + present), w, h);
      ASSERT_EQ(d.result, 0) << present;
      EXPECT_EQ(d.incomplete, 1) << present;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const size_t unit = blocks ? size_t(y / 4 * 3 + x / 4) : size_t(y * w + x);
          const size_t unit_bytes = blocks ? block_size : 4;
          const bool there = (unit + 1) * unit_bytes <= present;
          const uint32_t want = there ? full.pixels[size_t(y) * w + x] : 0xFF000000u;
          ASSERT_EQ(d.pixels[size_t(y) * w + x], want) << present << " at " << x << "," << y;
        }
    }
  }
}

// ---- Real files ------------------------------------------------------------------

struct CorpusCase {
  const char* file;
  const char* reference;  // rendering in reference-png/ (of this picture, maybe in another coding)
  int slack;              // largest channel difference allowed
};

// The renderings come with the pictures. bgr15's scales 5-bit channels by
// 255 / 31 rounded down, where repeating the top bits gives up to 1 more.
const CorpusCase kCorpusCases[] = {
    {"DXGI_FORMAT_BC7_UNORM_SRGB.dds", "DXGI_FORMAT_BC7_UNORM_SRGB", 0},
    {"DXGI_FORMAT_R8G8B8A8_UNORM_SRGB.dds", "DXGI_FORMAT_R8G8B8A8_UNORM_SRGB", 0},
    {"argb-32bpp_MipMaps-1.dds", "argb-32bpp_MipMaps-1", 0},
    {"ati1.dds", "ati1", 0},
    {"ati2.dds", "bc5_unorm", 0},
    {"bc1.dds", "dxt1-rgb-4bbp-noalpha_MipMaps-1", 0},
    {"bc1_typeless.dds", "dxt1-rgb-4bbp-noalpha_MipMaps-1", 0},
    {"bc4_typeless.dds", "bc4_unorm", 0},
    {"bc4_unorm.dds", "bc4_unorm", 0},
    {"bc4u.dds", "ati1", 0},
    {"bc5_snorm.dds", "bc5s", 0},
    {"bc5_typeless.dds", "bc5_unorm", 0},
    {"bc5_unorm.dds", "bc5_unorm", 0},
    {"bc5s.dds", "bc5s", 0},
    {"bc5u.dds", "bc5_unorm", 0},
    {"bc7-argb-8bpp_MipMaps-1.dds", "bc7-argb-8bpp_MipMaps-1", 0},
    {"bgr15.dds", "bgr15", 1},
    {"dxt1-rgb-4bbp-noalpha_MipMaps-1.dds", "dxt1-rgb-4bbp-noalpha_MipMaps-1", 0},
    {"dxt3-argb-8bbp-explicitalpha_MipMaps-1.dds", "dxt3-argb-8bbp-explicitalpha_MipMaps-1", 0},
    {"dxt5-argb-8bbp-interpolatedalpha_MipMaps-1.dds", "dxt5-argb-8bbp-interpolatedalpha_MipMaps-1", 0},
    {"uncompressed_l.dds", "uncompressed_l", 0},
    {"uncompressed_la.dds", "uncompressed_la", 0},
    {"uncompressed_rgb.dds", "uncompressed_rgb", 0},
    // No rendering: compared with Pillow by the command-line comparison, or
    // below with the file's own bytes.
    {"dxt5-colorblock-alpha-issue-4142.dds", nullptr, 0},
    {"hopper.dds", nullptr, 0},
    {"palette.dds", nullptr, 0},
};

int channel_difference(uint32_t a, uint32_t b) {
  int worst = 0;
  for (int shift = 0; shift < 32; shift += 8)
    worst = std::max(worst, std::abs(int(a >> shift & 0xFF) - int(b >> shift & 0xFF)));
  return worst;
}

TEST(DdsDecode, CorpusFiles) {
  const std::filesystem::path dir = std::filesystem::path(TESSEL_CORPUS_DIR) / "dds" / "pillow";
  std::map<std::string, const CorpusCase*> accepted;
  for (const CorpusCase& c : kCorpusCases) accepted[c.file] = &c;
  int files = 0, converted = 0, compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".dds") continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    ++files;
    const Bytes file = read_file(entry.path().string());
    int32_t w = 0, h = 0;
    probe_picture(file.data(), int32_t(file.size()), &w, &h);
    const bool small = w > 0 && h > 0 && int64_t(w) * h <= (1 << 22);
    const auto start = std::chrono::steady_clock::now();
    const Decoded d = decode_at(file, small ? w : 16, small ? h : 16);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    const auto found = accepted.find(name);
    if (name == "unimplemented_dxgi_format.dds") {
      // 32-bit pixels by its format number, with the bytes of a quarter of
      // them: what is there is decoded and the file reported incomplete.
      EXPECT_EQ(d.result, 0);
      EXPECT_EQ(d.incomplete, 1);
      for (size_t i = 0; i < 16384; ++i)
        ASSERT_EQ(d.pixels[i], (uint32_t(file[148 + 4 * i + 2]) << 16 | uint32_t(file[148 + 4 * i + 1]) << 8 |
                                file[148 + 4 * i]) |
                                   0xFF000000u);
      continue;
    }
    if (found == accepted.end()) {
      // BC6H, damaged headers and formats no decoder knows.
      EXPECT_EQ(d.result, -1);
      continue;
    }
    ASSERT_EQ(d.result, 0);
    ASSERT_TRUE(small);
    EXPECT_EQ(d.incomplete, 0);
    ++converted;
    const CorpusCase& c = *found->second;
    if (c.reference == nullptr) continue;
    OraclePicture ref;
    ASSERT_TRUE(libpng_decode(read_file((dir / "reference-png" / (std::string(c.reference) + ".png")).string()),
                              &ref));
    ASSERT_EQ(ref.width, w);
    ASSERT_EQ(ref.height, h);
    ++compared;
    int worst = 0;
    bool translucent = false;
    for (size_t i = 0; i < d.pixels.size(); ++i) {
      const bool see_through = (ref.pixels[i] >> 24) == 0 && (d.pixels[i] >> 24) == 0;
      if (!see_through) worst = std::max(worst, channel_difference(d.pixels[i], ref.pixels[i]));
      translucent |= (ref.pixels[i] >> 24) != 255;
    }
    EXPECT_LE(worst, c.slack);
    // Alpha is written exactly when the picture has some.
    EXPECT_EQ(d.colour_type == 4 || d.colour_type == 6, translucent) << d.colour_type;
  }
  EXPECT_GT(files, 30);
  EXPECT_EQ(converted, int(std::size(kCorpusCases)));
  EXPECT_GE(compared, 23);
}

}  // namespace

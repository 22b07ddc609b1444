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
};

Header uncompressed(uint32_t w, uint32_t h) {
  return {w, h, kUncompressed, "\0\0\0\0", 32, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}};
}

Header compressed(uint32_t w, uint32_t h, const char* four_cc) { return {w, h, kFourCc, four_cc}; }

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

Colour from565(int c) { return {255, (c >> 11) << 3, ((c >> 5) & 63) << 2, (c & 31) << 3}; }

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
  if (a0 > a1) return (((8 - index) * a0 + (index - 1) * a1 + 3) * 0x2492) >> 16;
  if (index == 6) return 0;
  if (index == 7) return 255;
  return (((6 - index) * a0 + (index - 1) * a1 + 2) * 0x3333) >> 16;
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
      {"four-colour thirds", "DXT1", white_black_2, 5, 0xFFA5A8A5},
      {"four-colour other third", "DXT1", colour_part(0xFFFF, 0x0000, 0xFFFFFFFF), 0, 0xFF525452},
      {"three-colour transparent", "DXT1", colour_part(0x1234, 0x1234, 0xFFFFFFFF), 9, 0x00000000},
      {"three-colour middle", "DXT1", colour_part(0x0000, 0xFFFF, 0xAAAAAAAA), 3, 0xFF7C7E7C},
      {"c0 and c1 widened with empty low bits", "DXT1", colour_part(0xFFFF, 0x0821, 0x00000004), 1,
       0xFF080408},
      {"DXT3 ignores the three-colour mode", "DXT3",
       with_alpha(Bytes(8, 0xFF), colour_part(0x1234, 0x1234, 3)), 0, pack({255, 16, 68, 160})},
      {"DXT3 nibble F", "DXT3", nibbles, 0, 0xFFA5A8A5},
      {"DXT3 nibble 8", "DXT3", nibbles, 1, 0x88A5A8A5},
      {"DXT3 nibble 0", "DXT3", nibbles, 2, 0x00A5A8A5},
      {"DXT3 odd pixel in the high nibble", "DXT3", nibbles, 3, 0x11A5A8A5},
      {"DXT5 a0", "DXT5", eight_levels, 0, 0xFFA5A8A5},
      {"DXT5 a1", "DXT5", eight_levels, 1, 0x00A5A8A5},
      {"DXT5 index 2 of eight", "DXT5", eight_levels, 2, 0xDAA5A8A5},
      {"DXT5 index 7 of eight", "DXT5", eight_levels, 7, 0x24A5A8A5},
      {"DXT5 index 7 in the second half", "DXT5", eight_levels, 8, 0x24A5A8A5},
      {"DXT5 six-level index 2", "DXT5", six_levels, 2, 0x33A5A8A5},
      {"DXT5 six-level 0", "DXT5", six_levels, 6, 0x00A5A8A5},
      {"DXT5 six-level 255", "DXT5", six_levels, 7, 0xFFA5A8A5},
      // Red 104 and 96 give a third of 101 (a red of 100 cannot come out of a
      // block); at alpha 128 it is widened to (101 * 130560) >> 16.
      {"DXT2 unpremultiplies", "DXT2", with_alpha(Bytes(8, 0x88), red_part), 0, pack({136, 189, 0, 0})},
      {"DXT4 at alpha 128", "DXT4", red_alpha(128), 0, pack({128, 201, 0, 0})},
      {"DXT4 saturates", "DXT4", red_alpha(64), 2, pack({64, 255, 0, 0})},
      {"DXT4 alpha 0 keeps the colour", "DXT4", red_alpha(0), 3, pack({0, 104, 0, 0})},
      {"DXT4 alpha 255 keeps the colour", "DXT4", red_alpha(255), 3, pack({255, 104, 0, 0})},
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
      EXPECT_EQ(source_info.source_color_type, 2);
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

TEST(DdsDecode, RefusesOtherPixelFormats) {
  auto changed = [](Header h, auto&& edit) { return edit(h), h; };
  const Header plain = uncompressed(4, 4), dxt1 = compressed(4, 4, "DXT1");
  std::vector<std::pair<const char*, Header>> cases = {
      {"24-bit", changed(plain, [](Header& h) { h.bit_count = 24; })},
      {"16-bit", changed(plain, [](Header& h) { h.bit_count = 16; })},
      {"red and blue swapped", changed(plain, [](Header& h) { std::swap(h.masks[0], h.masks[2]); })},
      {"no alpha mask", changed(plain, [](Header& h) { h.masks[3] = 0; })},
      {"luminance", changed(plain, [](Header& h) { h.flags = 0x20000; })},
      {"palette", changed(plain, [](Header& h) { h.flags = 0x20; })},
      {"no format flag", changed(dxt1, [](Header& h) { h.flags = 0; })},
      {"other flag", changed(dxt1, [](Header& h) { h.flags = 0x08; })},
      {"width above the signed range", compressed(0xFFFFFFF0u, 4, "DXT1")},
      {"height above the signed range", compressed(4, 0x80000000u, "DXT5")},
      {"block row of 8 GiB", compressed(0x7FFFFFFF, 4, "DXT5")},
      {"uncompressed row of 2 GiB", uncompressed(0x20000000, 4)},
  };
  for (const char* code : {"DXT0", "DXT6", "DX10", "ATI1", "ATI2", "BC4U", "BC5S", "dxt1", "DXT\x01"})
    cases.push_back({code, compressed(4, 4, code)});
  for (const auto& [name, header] : cases) {
    const Decoded d = decode_at(write_dds(header, Bytes(256, 0x5A)), 4, 4);
    EXPECT_EQ(d.result, -1) << name;
    EXPECT_TRUE(std::all_of(d.pixels.begin(), d.pixels.end(), [](uint32_t p) { return p == kUntouched; }))
        << name;
  }
  // A header cut short says nothing about the pixels.
  const Bytes good = write_dds(compressed(4, 4, "DXT1"), Bytes(8, 0));
  for (size_t cut : {8, 20, 90, 127}) {
    const Decoded d = decode_at(Bytes(good.begin(), good.begin() + cut), 4, 4);
    EXPECT_EQ(d.result, -1) << cut;
  }
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

// Largest difference per channel against another decoder that fills the low
// bits of 5:6:5 colours by repeating the high ones.
int max_channel_difference(uint32_t a, uint32_t b, int* alpha_difference) {
  int worst = 0;
  for (int shift = 0; shift < 24; shift += 8)
    worst = std::max(worst, std::abs(int(a >> shift & 0xFF) - int(b >> shift & 0xFF)));
  *alpha_difference = std::abs(int(a >> 24) - int(b >> 24));
  return worst;
}

TEST(DdsDecode, CorpusFiles) {
  const std::filesystem::path dir = std::filesystem::path(TESSEL_CORPUS_DIR) / "dds" / "pillow";
  // The files that hold one of the accepted formats, and their variant (0 for
  // uncompressed).
  const std::map<std::string, int> accepted = {{"dxt1-rgb-4bbp-noalpha_MipMaps-1.dds", 1},
                                               {"dxt3-argb-8bbp-explicitalpha_MipMaps-1.dds", 3},
                                               {"dxt5-argb-8bbp-interpolatedalpha_MipMaps-1.dds", 5},
                                               {"dxt5-colorblock-alpha-issue-4142.dds", 5},
                                               {"uncompressed_rgb.dds", 0}};
  int files = 0, compared_png = 0;
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
    if (found == accepted.end()) {
      EXPECT_EQ(d.result, -1);
      continue;
    }
    ASSERT_EQ(d.result, 0);
    ASSERT_TRUE(small);
    EXPECT_EQ(d.incomplete, 0);
    if (found->second == 0) {
      EXPECT_EQ(std::memcmp(d.pixels.data(), file.data() + 128, d.pixels.size() * 4), 0);
    } else {
      const std::vector<uint32_t> want = reference_blocks(file, w, h, found->second);
      const int full_w = (w + 3) / 4 * 4;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          ASSERT_EQ(d.pixels[size_t(y) * w + x], want[size_t(y) * full_w + x]) << x << "," << y;
    }
    const std::filesystem::path png = dir / "reference-png" / (entry.path().stem().string() + ".png");
    if (!std::filesystem::exists(png)) continue;
    OraclePicture ref;
    ASSERT_TRUE(libpng_decode(read_file(png.string()), &ref));
    ASSERT_EQ(ref.width, w);
    ASSERT_EQ(ref.height, h);
    ++compared_png;
    // Other decoders widen 5:6:5 by repeating bits (up to 7 more per channel,
    // carried into the interpolated colours) and round alpha their own way.
    const int colour_slack = found->second == 0 ? 0 : 8, alpha_slack = found->second == 0 ? 0 : 1;
    int worst = 0, worst_alpha = 0;
    for (size_t i = 0; i < d.pixels.size(); ++i) {
      int alpha = 0;
      const uint32_t theirs = ref.pixels[i];
      const bool see_through = (theirs >> 24) == 0 && (d.pixels[i] >> 24) == 0;
      if (!see_through) worst = std::max(worst, max_channel_difference(d.pixels[i], theirs, &alpha));
      worst_alpha = std::max(worst_alpha, alpha);
    }
    EXPECT_LE(worst, colour_slack);
    EXPECT_LE(worst_alpha, alpha_slack);
  }
  EXPECT_GT(files, 30);
  EXPECT_GE(compared_png, 4);
}

}  // namespace

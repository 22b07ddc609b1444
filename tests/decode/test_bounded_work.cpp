#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/inflate.h"
#include "decode/picture.h"
#include "tests/support/jpeg_oracle.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"
#include "tests/support/png_build.h"
#include "tests/support/wide_decode.h"

// Work that hostile streams can ask of inflate, counted in what it does
// rather than timed: block headers read and bytes handed on must stay in
// proportion to the input, and stop once the consumer has its picture.
namespace {

struct Counted {
  int64_t bytes = 0;
  int64_t complete_after = INT64_MAX;
};

void count(void* c, const uint8_t*, int32_t n) {
  auto* s = static_cast<Counted*>(c);
  s->bytes += n;
}
bool enough(void* c) {
  auto* s = static_cast<Counted*>(c);
  return s->bytes >= s->complete_after;
}

// Empty fixed-code blocks, never final: 10 bits each.
Bytes empty_fixed_blocks(int n) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  for (int i = 0; i < n; ++i) {
    w.block_header(false, 1);
    w.put_fixed(256);
  }
  return w.finish();
}

// Empty stored blocks, never final: a byte of header and four of lengths.
Bytes empty_stored_blocks(int n) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  for (int i = 0; i < n; ++i) {
    w.block_header(false, 0);
    w.align();
    w.put(0, 16);
    w.put(0xFFFF, 16);
  }
  return w.finish();
}

// The densest fixed-code output: one literal, then matches of 258 at
// distance 1 (13 bits each), as a bomb would be built.
Bytes longest_matches(int n, bool final) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  w.block_header(final, 1);
  w.put_fixed(0);
  for (int i = 0; i < n; ++i) {
    w.put_fixed(285);
    w.put_code(0, 5);
  }
  w.put_fixed(256);
  return w.finish();
}

struct WorkCase {
  const char* name;
  Bytes stream;
  int64_t complete_after;  // the consumer's picture size
  int64_t max_bytes;       // handed on at most
  int64_t max_blocks;      // block headers read at most
};

class InflateWork : public ::testing::TestWithParam<WorkCase> {};

TEST_P(InflateWork, StaysInProportion) {
  const WorkCase& c = GetParam();
  const Bytes file = build_png(ihdr_payload(1, 1, 8, 0, 0), {}, c.stream, 8192);
  Counted counted;
  counted.complete_after = c.complete_after;
  InflateReport report{};
  const InflateSink sink{&counted, count, enough};
  inflate_idat(file.data(), int32_t(file.size()), 8 + 25, sink, &report);
  EXPECT_LE(counted.bytes, c.max_bytes);
  EXPECT_LE(report.deflate_block_count, c.max_blocks);
}

constexpr int64_t kPiece = 16384 + 258;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Decode, InflateWork, ::testing::Values(
    // 50000 blocks that never end, in 62 KB: each header costs input (one
    // more is read from the zeros where the data ran out).
    WorkCase{"empty_fixed_blocks", empty_fixed_blocks(50000), INT64_MAX, 0, 50001},
    WorkCase{"empty_stored_blocks", empty_stored_blocks(20000), INT64_MAX, 0, 20001},
    // 100000 matches, 25.8 MB from 160 KB: all of it for a consumer that
    // wants it all, a piece past the picture's end for one that does not.
    WorkCase{"bomb_wanted", longest_matches(100000, true), INT64_MAX, 1 + 258LL * 100000, 1},
    WorkCase{"bomb_after_the_picture", longest_matches(100000, false), 1 << 20, (1 << 20) + kPiece, 1},
    WorkCase{"bomb_for_a_tiny_picture", longest_matches(100000, false), 2, 2 + kPiece, 1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The run-length decoders and the JPEG decoder count their steps in the
// source record (values, runs and blocks produced, inside the target or
// not). A tiny file whose header claims a huge picture is decoded into a
// small target: the steps stay in proportion to the file, whatever size it
// claims, and the decode reports where the data ran out.
void put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

// Run-length TGA (type 10, 24-bit): packets of 128 equal pixels.
Bytes tga_runs(uint32_t width, uint32_t height, int packets) {
  Bytes b(18, 0);
  b[2] = 10;
  put16(b, 12, width);
  put16(b, 14, height);
  b[16] = 24;
  for (int i = 0; i < packets; ++i) b.insert(b.end(), {0xFF, uint8_t(i), 2, 3});
  return b;
}

// RLE8 BMP: runs of 255 pixels, and every fourth code a delta that skips
// 255 columns and a row without a pixel.
Bytes bmp_runs(uint32_t width, uint32_t height, int codes) {
  Bytes b(54, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 10, 54 + 8);
  put32(b, 14, 40);
  put32(b, 18, width);
  put32(b, 22, height);
  b[26] = 1;
  b[28] = 8;
  put32(b, 30, 1);
  put32(b, 46, 2);
  b.insert(b.end(), {0, 0, 0, 0, 255, 255, 255, 0});
  for (int i = 0; i < codes; ++i) {
    if (i % 4 == 3)
      b.insert(b.end(), {0, 2, 255, 1});
    else
      b.insert(b.end(), {255, uint8_t(i & 1)});
  }
  return b;
}

// 8-bit PCX of one plane whose plane rows hold a single byte of padding
// beyond the width: runs of 63 values cross a row end at every piece.
Bytes pcx_runs(uint32_t width, uint32_t height, int runs) {
  Bytes b(128, 0);
  put32(b, 0, 0x0801050Au);
  put16(b, 8, width - 1);
  put16(b, 10, height - 1);
  b[65] = 1;
  put16(b, 66, width);
  for (int i = 0; i < runs; ++i) b.insert(b.end(), {0xFF, uint8_t(i)});
  return b;
}

struct Steps {
  int32_t result;
  int32_t incomplete;
  int64_t work;
};

Steps decode_small(const Bytes& file) {
  std::vector<uint32_t> pixels(64 * 64, 0);
  SourceInfo info{};
  info.source_color_type = 2;
  const int32_t result =
      decode_picture(file.data(), int32_t(file.size()), DecodeTarget{pixels.data(), 64 * 4, 64, 64, 0, 0}, info);
  return {result, info.incomplete, info.work};
}

struct RunCase {
  const char* name;
  Bytes (*make)(uint32_t width, uint32_t height, int count);
  int count;
  uint32_t huge;       // the claimed side; the small one is 64
  int64_t per_byte;    // steps per input byte at most
};

class RunLengthWork : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunLengthWork, StepsFollowTheFileNotTheClaimedSize) {
  const RunCase& c = GetParam();
  const Bytes huge = c.make(c.huge, c.huge, c.count), small = c.make(64, 64, c.count);
  const Steps big = decode_small(huge);
  ASSERT_EQ(big.result, 0);
  EXPECT_EQ(big.incomplete, 1);
  EXPECT_GT(big.work, 0);
  EXPECT_LE(big.work, c.per_byte * int64_t(huge.size()));
  // The same data for a picture it covers many times over: the decode stops
  // at the picture's end, so it takes no more steps than the huge one.
  const Steps fits = decode_small(small);
  ASSERT_EQ(fits.result, 0);
  EXPECT_LE(fits.work, big.work);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Decode, RunLengthWork, ::testing::Values(
    RunCase{"tga", tga_runs, 20000, 65535, 32},
    RunCase{"bmp_rle8", bmp_runs, 20000, 60000, 128},
    RunCase{"pcx", pcx_runs, 20000, 32767, 64}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct GifCase {
  const char* name;
  uint16_t width, height;  // of the screen and its one image
  bool interlaced;
  int64_t indices;  // sent, all 0
};

class GifWork : public ::testing::TestWithParam<GifCase> {};

// Off the target the decoder follows strings by their lengths and passes
// over invisible rows a pass at a time; what it walks is the strings that
// reach the target, a few per target row.
TEST_P(GifWork, StepsFollowTheFileAndTheTarget) {
  const GifCase& c = GetParam();
  const Bytes file = testpic::gif_file(
      c.width, c.height, {{0, 0, c.width, c.height, c.interlaced, testpic::lzw_run(0, c.indices)}});
  std::vector<uint32_t> pixels(64 * 64, 0);
  SourceInfo info{};
  ASSERT_EQ(decode_picture(file.data(), int32_t(file.size()),
                           DecodeTarget{pixels.data(), 64 * 4, 64, 64, 0, 0}, info),
            0);
  // Every index is 0: the target has its colour as far as the screen reaches.
  for (size_t y = 0; y < 64; ++y)
    for (size_t x = 0; x < std::min<size_t>(64, c.width); ++x) ASSERT_EQ(pixels[y * 64 + x], 0xFF000000u);
  EXPECT_GT(info.work, 0);
  // Before the decoder passed invisible strings over, interlaced_huge took
  // 90 million steps (2,500 per input byte); now about 1.6 per byte.
  EXPECT_LE(info.work, 4 * int64_t(file.size()) + 2 * 4096 * 64);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Decode, GifWork, ::testing::Values(
    // 64 x 65535 interlaced, 4.2 million indices: three passes go down the
    // whole height before the last comes back to the target.
    GifCase{"interlaced_tall", 64, 65535, true, 64 * 65535},
    // 65535 x 65535: 90 million indices from 36 KB, all but 64 x 8 rows of
    // them outside the target, and the data ends in the first pass.
    GifCase{"interlaced_huge", 65535, 65535, true, 90'000'000},
    GifCase{"wide", 65535, 65535, false, 90'000'000},
    GifCase{"narrow_and_tall", 1, 65535, false, 65535}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// DDS headers claiming every count at its largest: a picture of 100000 x
// 100000 with 2^32 - 1 mip levels and, with the extended header, as many
// array layers, with 16 bytes of data. Only the first image's pixels (or
// blocks) that land in the target are visited, and each once.
Bytes dds_claiming(const char* four_cc, uint32_t dxgi_format, uint32_t bit_count, uint32_t count) {
  Bytes b(128, 0);
  std::copy_n("DDS ", 4, b.begin());
  put32(b, 4, 124);
  put32(b, 8, 0x1 | 0x2 | 0x4 | 0x1000 | 0x20000 | 0x800000);
  put32(b, 12, 100000);
  put32(b, 16, 100000);
  put32(b, 24, count);  // depth
  put32(b, 28, count);  // mip levels
  put32(b, 76, 32);
  if (four_cc != nullptr) {
    put32(b, 80, 0x4);
    std::copy_n(four_cc, 4, b.begin() + 84);
  } else {
    put32(b, 80, 0x41);
    put32(b, 88, bit_count);
    put32(b, 92, 0xFF0000);
    put32(b, 96, 0xFF00);
    put32(b, 100, 0xFF);
    if (bit_count == 32) put32(b, 104, 0xFF000000u);
  }
  put32(b, 108, 0x401008);  // complex, mipmapped texture
  put32(b, 112, 0xFE00);    // every cube face
  if (four_cc != nullptr && std::string(four_cc, 4) == "DX10") {
    Bytes extended(20, 0);
    put32(extended, 0, dxgi_format);
    put32(extended, 4, 3);
    put32(extended, 12, count);  // array layers
    b.insert(b.end(), extended.begin(), extended.end());
  }
  for (int i = 0; i < 16; ++i) b.push_back(uint8_t(0x11 * i));
  return b;
}

TEST(DdsWork, AbsurdCountsAndSizesCostTheTargetOnly) {
  struct Case {
    const char* name;
    const char* four_cc;
    uint32_t dxgi_format, bit_count;
    int64_t work;  // what a 64 x 64 target takes: its pixels, or its 4 x 4 blocks
  };
  for (const Case& c : {Case{"rgba32", nullptr, 0, 32, 64 * 64}, Case{"rgb24", nullptr, 0, 24, 64 * 64},
                        Case{"dxt1", "DXT1", 0, 0, 16 * 16}, Case{"dxt5", "DXT5", 0, 0, 16 * 16},
                        Case{"bc7", "DX10", 98, 0, 16 * 16}, Case{"bc4", "DX10", 80, 0, 16 * 16}}) {
    SCOPED_TRACE(c.name);
    const Steps claimed = decode_small(dds_claiming(c.four_cc, c.dxgi_format, c.bit_count, 0xFFFFFFFFu));
    ASSERT_EQ(claimed.result, 0);
    EXPECT_EQ(claimed.incomplete, 1);
    EXPECT_EQ(claimed.work, c.work);
    // The counts change nothing: one level of one layer takes the same.
    const Steps plain = decode_small(dds_claiming(c.four_cc, c.dxgi_format, c.bit_count, 1));
    EXPECT_EQ(plain.work, claimed.work);
  }
}

// Offsets of the scans (their SOS markers) and of the end marker in a JPEG
// file: a scan's segment and data run up to the next marker that is not a
// restart or a stuffed byte.
std::vector<size_t> scan_starts(const Bytes& j, size_t* end_marker) {
  std::vector<size_t> starts;
  for (size_t i = 2; i + 1 < j.size(); ++i) {
    if (j[i] != 0xFF) continue;
    const uint8_t m = j[i + 1];
    if (m == 0xDA) starts.push_back(i);
    if (m == 0xD9) *end_marker = i;
  }
  return starts;
}

// A progressive file whose first AC scan is repeated thousands of times:
// each copy costs a few dozen bytes and asks for a visit of every block.
// The decoder's visit budget (a fixed number of visits per block, plus a
// margin) ends the decode instead, and it says the picture is incomplete.
TEST(ProgressiveJpegWork, EndlessScansStopAtTheVisitBudget) {
  JpegMakeOptions o;
  o.components = 1;
  o.h0 = o.v0 = 1;
  o.scans = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
  const int side = 256;  // 1024 blocks
  const Bytes base = jpeg_make(jpeg_test_samples(side, side, 1), side, side, o);
  ASSERT_FALSE(base.empty());
  size_t end = 0;
  const std::vector<size_t> scans = scan_starts(base, &end);
  ASSERT_EQ(scans.size(), 2u);
  ASSERT_GT(end, scans[1]);
  const Bytes ac_scan(base.begin() + std::ptrdiff_t(scans[1]), base.begin() + std::ptrdiff_t(end));

  const Steps plain = decode_small(base);
  ASSERT_EQ(plain.result, 0);
  EXPECT_EQ(plain.incomplete, 0);
  EXPECT_EQ(plain.work, 2 * 1024);

  const int copies = 3000;
  Bytes endless(base.begin(), base.begin() + std::ptrdiff_t(end));
  for (int i = 0; i < copies; ++i) endless.insert(endless.end(), ac_scan.begin(), ac_scan.end());
  endless.insert(endless.end(), {0xFF, 0xD9});
  const Steps many = decode_small(endless);
  ASSERT_EQ(many.result, 0);
  EXPECT_EQ(many.incomplete, 1);
  // 64 visits per block and 65536 more, one scan's worth past the budget.
  EXPECT_LE(many.work, 64 * 1024 + 65536 + 1024);
  EXPECT_LT(many.work, int64_t(copies) * 1024);
}

// The 12-bit path: a sequential picture whose one scan is repeated hundreds
// of times. Each copy decodes every block again, until the visit budget (64
// visits per block and 65536 more) ends the decode; the picture stays the
// one the copies all describe.
TEST(TwelveBitJpegWork, RepeatedScansStopAtTheVisitBudget) {
  const Bytes base = read_file(std::string(TESSEL_CORPUS_DIR) + "/jpeg/libjpeg-turbo/monkey12.jpg");
  ASSERT_FALSE(base.empty());
  size_t end = 0;
  const std::vector<size_t> scans = scan_starts(base, &end);
  ASSERT_EQ(scans.size(), 1u);
  ASSERT_GT(end, scans[0]);
  int32_t width = 0, height = 0;
  probe_picture(base.data(), int32_t(base.size()), &width, &height);
  ASSERT_GT(width, 0);
  const WideDecode once = decode_wide(base, width, height);
  ASSERT_EQ(once.result, 0);
  ASSERT_GT(once.info.work, 0);

  Bytes many(base.begin(), base.begin() + std::ptrdiff_t(end));
  for (int i = 0; i < 200; ++i)
    many.insert(many.end(), base.begin() + std::ptrdiff_t(scans[0]), base.begin() + std::ptrdiff_t(end));
  many.insert(many.end(), {0xFF, 0xD9});
  const WideDecode got = decode_wide(many, width, height);
  ASSERT_EQ(got.result, 0);
  const int64_t blocks = once.info.work;
  EXPECT_LE(got.info.work, 64 * blocks + 65536 + blocks);
  EXPECT_LT(got.info.work, 201 * blocks);
  EXPECT_EQ(got.samples, once.samples);
}

// The 12-bit progressive path: a 20 x 12 picture of ten scans (three
// components of 6 blocks) whose last scan, an AC refinement of 6 blocks in
// 33 bytes, is repeated 20000 times: 120000 block visits asked for. The
// visit budget (64 visits per block of the picture, 65536 more) ends the
// decode after at most one scan past it, with the picture marked incomplete.
TEST(TwelveBitJpegWork, ManyProgressiveScansStopAtTheVisitBudget) {
  const Bytes base = read_file(std::string(TESSEL_SOURCE_DIR) + "/fuzz/seeds/jpeg/deep12_progressive_restart_444.jpg");
  ASSERT_FALSE(base.empty());
  size_t end = 0;
  const std::vector<size_t> scans = scan_starts(base, &end);
  ASSERT_EQ(scans.size(), 10u);
  ASSERT_GT(end, scans.back());
  int32_t width = 0, height = 0;
  probe_picture(base.data(), int32_t(base.size()), &width, &height);
  ASSERT_EQ(width, 20);
  ASSERT_EQ(height, 12);
  const int64_t blocks = 3 * 2 * 3;
  const WideDecode once = decode_wide(base, width, height);
  ASSERT_EQ(once.result, 0);
  EXPECT_EQ(once.info.incomplete, 0);
  ASSERT_GT(once.info.work, 0);
  ASSERT_LE(once.info.work, 10 * blocks);

  constexpr int kCopies = 20000;
  Bytes many(base.begin(), base.begin() + std::ptrdiff_t(end));
  for (int i = 0; i < kCopies; ++i)
    many.insert(many.end(), base.begin() + std::ptrdiff_t(scans.back()), base.begin() + std::ptrdiff_t(end));
  many.insert(many.end(), {0xFF, 0xD9});
  const WideDecode got = decode_wide(many, width, height);
  ASSERT_GE(got.result, 0);
  EXPECT_EQ(got.info.incomplete, 1);
  EXPECT_LE(got.info.work, 64 * blocks + 65536 + blocks);
  EXPECT_LT(got.info.work, int64_t(kCopies) * 6);
}

}  // namespace

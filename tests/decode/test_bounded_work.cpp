#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "decode/inflate.h"
#include "tests/support/png_build.h"

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

}  // namespace

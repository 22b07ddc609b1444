// Pinned streams: the CRC-32 of every pass of whole compression runs for each
// parsing strategy, with one block and with several, on inputs that exercise
// different parts of the parser (noise, long runs, text, a large picture).
// The parse's tie-breaks are part of its contract, so any change that moves a
// single output bit shows up here; when such a change is intended, re-pin
// with the values the failure prints.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "deflate/deflate_stream.h"
#include "tests/deflate/stream_harness.h"

namespace {

// Sensor-like noise over a slow gradient, Sub-filtered: few long matches,
// many short ones at scattered distances.
std::vector<uint8_t> noisy_rows(int32_t w, int32_t h) {
  std::vector<uint8_t> v;
  uint32_t x = 7;
  for (int32_t y = 0; y < h; ++y) {
    v.push_back(1);
    int32_t prev[4] = {0, 0, 0, 0};
    for (int32_t i = 0; i < w; ++i)
      for (int32_t c = 0; c < 4; ++c) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const int32_t value = c == 3 ? 255 : (i + y * (c + 1)) / 3 + int32_t(x % 7);
        v.push_back(uint8_t(value - prev[c]));
        prev[c] = value;
      }
  }
  return v;
}

std::vector<uint8_t> noisy_photo() { return noisy_rows(160, 120); }

// Long runs of zero and of a few other values with specks between them: the
// run skipping of the walks and the shared lists.
std::vector<uint8_t> flat_runs() {
  std::vector<uint8_t> v;
  uint32_t x = 99;
  while (v.size() < 120000) {
    x = x * 1103515245u + 12345u;
    const size_t run = (x >> 8) % 3000;
    v.insert(v.end(), run, uint8_t((x >> 20) % 3 == 0 ? (x >> 24) & 3 : 0));
    v.push_back(uint8_t(x >> 16));
  }
  v.resize(120000);
  return v;
}

std::vector<uint8_t> text() { return text_bytes(90000); }
// About 1 MiB: flat patches and edges, then noise.
std::vector<uint8_t> large_picture() {
  std::vector<uint8_t> v = filtered_picture(512, 256, 5);
  const std::vector<uint8_t> noise = noisy_rows(512, 256);
  v.insert(v.end(), noise.begin(), noise.end());
  return v;
}

struct PinCase {
  const char* name;
  std::vector<uint8_t> (*make)();
  int32_t strategy;
  std::vector<int32_t> ends;  // empty: one block
  int32_t random_tables;      // "-r" starting lengths with this seed, 0 = fixed tables
  int32_t passes;
  int32_t size;  // of the last pass
  uint32_t crc;  // chained over the bytes of every pass
};

class PinnedStream : public ::testing::TestWithParam<PinCase> {};

TEST_P(PinnedStream, SameBytesAsPinned) {
  const PinCase& pc = GetParam();
  const std::vector<uint8_t> data = pc.make();
  StreamPtr s = make_stream(pc.strategy);
  if (!pc.ends.empty()) set_ends(s.get(), pc.ends);
  set_initial_lengths(s.get(), pc.random_tables != 0, uint32_t(pc.random_tables));
  uint32_t crc = 0;
  int32_t size = 0;
  for (int32_t pass = 0; pass < pc.passes; ++pass) {
    const StreamRun run = run_pass(s.get(), data);
    ASSERT_TRUE(inflates_to(run, data)) << pass;
    crc = uint32_t(crc32(crc, run.png.data(), uInt(run.png.size())));
    size = run.size;
  }
  EXPECT_EQ(size, pc.size);
  EXPECT_EQ(crc, pc.crc) << "re-pin: " << size << ", 0x" << std::hex << crc;
}

// The encoder feeds whole rows; that must give the bytes of feeding one byte
// at a time, whatever the row length and wherever the block ends fall.
TEST(FeedBytes, SameStreamAsBytewise) {
  const std::vector<uint8_t> data = noisy_photo();
  for (int32_t strategy = 0; strategy < 4; ++strategy) {
    StreamPtr bytewise = make_stream(strategy), pieces = make_stream(strategy);
    set_ends(bytewise.get(), {7000, 7001, 40000, 0x7FFFFFFF});
    set_ends(pieces.get(), {7000, 7001, 40000, 0x7FFFFFFF});
    for (int32_t pass = 0; pass < 2; ++pass)
      EXPECT_EQ(run_pass(pieces.get(), data, true).png, run_pass(bytewise.get(), data).png)
          << strategy << pass;
  }
}

const std::vector<int32_t> kNoisyEnds = {9000, 30000, 30001, 52000, 200000};
const std::vector<int32_t> kFlatEnds = {2500, 40000, 90000, 120000};
const std::vector<int32_t> kTextEnds = {100, 20000, 45000, 90000};
const std::vector<int32_t> kLargeEnds = {300000, 300259, 700000, 0x7FFFFFFF};

INSTANTIATE_TEST_SUITE_P(
    Streams, PinnedStream,
    ::testing::Values(
        PinCase{"noisy_xtreme", noisy_photo, 0, {}, 0, 3, 33188, 0xe3aad397u},
        PinCase{"noisy_intense", noisy_photo, 1, {}, 0, 3, 33188, 0x29fb32dbu},
        PinCase{"noisy_longest", noisy_photo, 2, {}, 0, 3, 38425, 0x673a54bau},
        PinCase{"noisy_huffman", noisy_photo, 3, {}, 0, 3, 31542, 0xc8093e6fu},
        PinCase{"noisy_xtreme_blocks", noisy_photo, 0, kNoisyEnds, 0, 3, 32999, 0x32ea09efu},
        PinCase{"noisy_intense_blocks", noisy_photo, 1, kNoisyEnds, 0, 3, 32998, 0x9e9099du},
        PinCase{"noisy_longest_blocks", noisy_photo, 2, kNoisyEnds, 0, 3, 38358, 0xcf739322u},
        PinCase{"noisy_huffman_blocks", noisy_photo, 3, kNoisyEnds, 0, 3, 31598, 0xf5125485u},
        PinCase{"noisy_xtreme_random", noisy_photo, 0, kNoisyEnds, 1234, 2, 33295, 0xf255ea7eu},
        PinCase{"flat_xtreme", flat_runs, 0, {}, 0, 3, 448, 0x5f4c4efau},
        PinCase{"flat_intense", flat_runs, 1, {}, 0, 3, 448, 0x5f4c4efau},
        PinCase{"flat_longest", flat_runs, 2, {}, 0, 3, 527, 0x5334fba1u},
        PinCase{"flat_huffman", flat_runs, 3, {}, 0, 3, 23037, 0x61fc807u},
        PinCase{"flat_xtreme_blocks", flat_runs, 0, kFlatEnds, 0, 3, 516, 0x3cd9ca28u},
        PinCase{"flat_intense_blocks", flat_runs, 1, kFlatEnds, 0, 3, 516, 0x3cd9ca28u},
        PinCase{"flat_longest_blocks", flat_runs, 2, kFlatEnds, 0, 3, 608, 0xc3dc037bu},
        PinCase{"flat_huffman_blocks", flat_runs, 3, kFlatEnds, 0, 3, 22291, 0x9dbceb43u},
        PinCase{"flat_intense_random", flat_runs, 1, kFlatEnds, 777, 2, 544, 0xf5cc45cau},
        PinCase{"text_xtreme", text, 0, {}, 0, 3, 10528, 0xd9a222f9u},
        PinCase{"text_intense", text, 1, {}, 0, 3, 10529, 0xb88d5e36u},
        PinCase{"text_longest", text, 2, {}, 0, 3, 16534, 0x39cf6712u},
        PinCase{"text_huffman", text, 3, {}, 0, 3, 52160, 0x8fdf6f0du},
        PinCase{"text_xtreme_blocks", text, 0, kTextEnds, 0, 3, 10422, 0x5ee7b0b9u},
        PinCase{"text_intense_blocks", text, 1, kTextEnds, 0, 3, 10423, 0x8d59cc1fu},
        PinCase{"text_longest_blocks", text, 2, kTextEnds, 0, 3, 16588, 0x788c43a4u},
        PinCase{"text_huffman_blocks", text, 3, kTextEnds, 0, 3, 52197, 0xe4858899u},
        PinCase{"large_xtreme", large_picture, 0, {}, 0, 2, 347254, 0x13eefc34u},
        PinCase{"large_intense", large_picture, 1, {}, 0, 2, 347254, 0x97e34df0u},
        PinCase{"large_longest", large_picture, 2, {}, 0, 2, 413806, 0x390cc66cu},
        PinCase{"large_huffman", large_picture, 3, {}, 0, 2, 363183, 0x49504805u},
        PinCase{"large_xtreme_blocks", large_picture, 0, kLargeEnds, 0, 2, 339774, 0x762573fdu},
        PinCase{"large_intense_blocks", large_picture, 1, kLargeEnds, 0, 2, 339774, 0x15e6b46bu},
        PinCase{"large_longest_blocks", large_picture, 2, kLargeEnds, 0, 2, 407191, 0xdc4adc15u},
        PinCase{"large_huffman_blocks", large_picture, 3, kLargeEnds, 0, 2, 349916, 0xc77754b3u}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

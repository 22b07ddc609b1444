// The output side: checksums against zlib, the byte sink's capacity rule and
// the bit order of put_bits.
#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "deflate/bitstream.h"
#include "tests/deflate/stream_harness.h"

namespace {

TEST(Checksums, AgreeWithZlib) {
  std::vector<std::vector<uint8_t>> inputs;
  for (size_t n : {0, 1, 255, 5552, 5553, 100000}) inputs.push_back(random_bytes(n, uint32_t(n) + 1));
  // All 0xFF drives both Adler sums to their largest values between reductions.
  inputs.push_back(std::vector<uint8_t>(70000, 0xFF));
  for (const std::vector<uint8_t>& data : inputs) {
    const size_t n = data.size();
    EXPECT_EQ(~crc32_fold(0xFFFFFFFFu, data.data(), n), uint32_t(crc32(0, data.data(), uInt(n)))) << n;
    uint32_t adler = 1;
    for (uint8_t b : data) adler = adler32_update(b, adler);
    const uint32_t expected = uint32_t(adler32(1, data.data(), uInt(n)));
    EXPECT_EQ(adler, expected) << n;
    EXPECT_EQ(adler32_bytes(1, data.data(), n), expected) << n;
  }
}

TEST(BitWriter, BytesPastTheCapacityAreCountedNotStored) {
  uint8_t buffer[8];
  for (auto& b : buffer) b = 0xAA;
  BitWriter w{};
  w.kbuf = buffer;
  w.kbuf_capacity = 4;
  for (uint32_t i = 0; i < 10; ++i) emit_byte(&w, i);
  EXPECT_EQ(w.out_count, 10);
  EXPECT_EQ(buffer[3], 3);
  for (int i = 4; i < 8; ++i) EXPECT_EQ(buffer[i], 0xAA);
  BitWriter none{};
  emit_be32(&none, 0x01020304u);
  EXPECT_EQ(none.out_count, 4);
}

TEST(BitWriter, LeastSignificantBitFirst) {
  uint8_t buffer[4] = {};
  BitWriter w{};
  w.kbuf = buffer;
  w.kbuf_capacity = 4;
  put_bits(&w, 1, 1);
  put_bits(&w, 2, 2);
  put_bits(&w, 0x1F, 5);
  put_bits(&w, 0xABC, 12);
  put_bits(&w, 0, 4);
  ASSERT_EQ(w.out_count, 3);
  EXPECT_EQ(buffer[0], 0xFD);
  EXPECT_EQ(buffer[1], 0xBC);
  EXPECT_EQ(buffer[2], 0x0A);
  EXPECT_EQ(~crc32_fold(0xFFFFFFFFu, buffer, 3), uint32_t(crc32(0, buffer, 3)));
}

}  // namespace

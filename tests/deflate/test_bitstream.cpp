// The output side: checksums against zlib, the byte sink's capacity rule and
// the bit order of put_bits.
#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "deflate/bitstream.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = uint8_t(seed >> 16);
  }
  return v;
}

TEST(Checksums, AgreeWithZlibOnRandomData) {
  for (size_t n : {size_t(0), size_t(1), size_t(255), size_t(5552), size_t(5553), size_t(100000)}) {
    const auto data = random_bytes(n, uint32_t(n) + 1);
    const uint32_t crc = ~crc32_fold(0xFFFFFFFFu, data.data(), n);
    EXPECT_EQ(crc, uint32_t(crc32(0, data.data(), uInt(n)))) << n;
    uint32_t adler = 1;
    for (uint8_t b : data) adler = adler32_update(b, adler);
    const uint32_t expected = uint32_t(adler32(1, data.data(), uInt(n)));
    EXPECT_EQ(adler, expected) << n;
    EXPECT_EQ(adler32_bytes(1, data.data(), n), expected) << n;
  }
}

TEST(Checksums, AdlerOfMaximalBytesStaysReduced) {
  // All 0xFF drives both sums to their largest values between reductions.
  const std::vector<uint8_t> data(70000, 0xFF);
  uint32_t adler = 1;
  for (uint8_t b : data) adler = adler32_update(b, adler);
  EXPECT_EQ(adler, uint32_t(adler32(1, data.data(), uInt(data.size()))));
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

TEST(BitWriter, LeastSignificantBitFirstThroughTheCrc) {
  uint8_t buffer[4] = {};
  BitWriter w{};
  w.kbuf = buffer;
  w.kbuf_capacity = 4;
  w.running_crc = 0xFFFFFFFFu;
  put_bits(&w, 1, 1);
  put_bits(&w, 2, 2);
  put_bits(&w, 0x1F, 5);
  put_bits(&w, 0xABC, 12);
  put_bits(&w, 0, 4);
  ASSERT_EQ(w.out_count, 3);
  EXPECT_EQ(buffer[0], 0xFD);
  EXPECT_EQ(buffer[1], 0xBC);
  EXPECT_EQ(buffer[2], 0x0A);
  EXPECT_EQ(~w.running_crc, uint32_t(crc32(0, buffer, 3)));
}

}  // namespace

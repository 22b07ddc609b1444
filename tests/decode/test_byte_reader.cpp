// The checked reader: every width and byte order at the span's end, and the
// sticky failure that lets a decoder test once after a run of reads.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "decode/byte_reader.h"

namespace {

constexpr std::array<uint8_t, 6> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

struct ReadCase {
  std::string name;
  int width;  // bytes
  std::function<uint32_t(ByteReader&)> read;
  uint32_t at_start;  // value read from offset 0
};

class EveryRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(EveryRead, ReadsUpToTheEndAndFailsStickilyPastIt) {
  const ReadCase& c = GetParam();
  ByteReader r(kBytes.data(), int64_t(kBytes.size()));
  EXPECT_EQ(c.read(r), c.at_start);
  EXPECT_EQ(r.pos, c.width);
  // The last whole value that fits ends exactly at the span's end.
  r.seek(int64_t(kBytes.size()) - c.width);
  c.read(r);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.remaining(), 0);
  // One byte short: the read fails and so does everything after it, even a
  // seek back to the start.
  r.seek(int64_t(kBytes.size()) - c.width + 1);
  EXPECT_EQ(c.read(r), 0u);
  EXPECT_FALSE(r.ok());
  r.seek(0);
  EXPECT_EQ(c.read(r), 0u);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.remaining(), 0);
  EXPECT_FALSE(r.has(0));
}

INSTANTIATE_TEST_SUITE_P(
    Reader, EveryRead,
    ::testing::Values(ReadCase{"u8", 1, [](ByteReader& r) { return r.u8(); }, 0x01u},
                      ReadCase{"le16", 2, [](ByteReader& r) { return r.le16(); }, 0x0201u},
                      ReadCase{"be16", 2, [](ByteReader& r) { return r.be16(); }, 0x0102u},
                      ReadCase{"le32", 4, [](ByteReader& r) { return r.le32(); }, 0x04030201u},
                      ReadCase{"be32", 4, [](ByteReader& r) { return r.be32(); }, 0x01020304u},
                      ReadCase{"bytes3", 3,
                               [](ByteReader& r) {
                                 const uint8_t* p = r.bytes(3);
                                 return p ? uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2] : 0u;
                               },
                               0x010203u}),
    [](const auto& info) { return info.param.name; });

TEST(ByteReader, SkipsAndSeeksStayInsideTheSpan) {
  struct Move {
    int64_t skip_first, seek_to, skip_then;
    bool ok;
    int64_t remaining;
  };
  const Move moves[] = {
      {2, -1, 4, true, 0},          // skip to the end exactly
      {2, -1, 5, false, 0},         // one past it
      {0, 6, 0, true, 0},           // seek to the end itself
      {0, 7, 0, false, 0},          // seek past it
      {0, -2, 0, false, 0},         // seek before the start
      {-1, -1, 0, false, 0},        // a negative skip is no way back
      {1, 3, 1, true, 2},           // seek is absolute
      {int64_t(1) << 40, -1, 0, false, 0},  // a size from a file cannot wrap the position
  };
  for (const Move& m : moves) {
    ByteReader r(kBytes.data(), int64_t(kBytes.size()));
    r.skip(m.skip_first);
    if (m.seek_to != -1) r.seek(m.seek_to);
    r.skip(m.skip_then);
    EXPECT_EQ(r.ok(), m.ok) << m.skip_first << " " << m.seek_to << " " << m.skip_then;
    EXPECT_EQ(r.remaining(), m.remaining) << m.skip_first << " " << m.seek_to << " " << m.skip_then;
  }
}

// A look at the next byte neither moves nor fails the reader, even at the
// end, so a loop may peek its way over a run of bytes.
TEST(ByteReader, PeekLooksWithoutMoving) {
  ByteReader r(kBytes.data(), int64_t(kBytes.size()));
  EXPECT_EQ(r.peek(), 0x01u);
  EXPECT_EQ(r.pos, 0);
  r.seek(5);
  EXPECT_EQ(r.peek(), 0x06u);
  r.skip(1);
  EXPECT_EQ(r.peek(), 0u);
  EXPECT_TRUE(r.ok());
  r.skip(1);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.peek(), 0u);
}

TEST(ByteReader, AnEmptyOrMissingSpanHoldsNothing) {
  for (ByteReader r : {ByteReader(nullptr, 10), ByteReader(kBytes.data(), 0), ByteReader(kBytes.data(), -5)}) {
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.remaining(), 0);
    EXPECT_TRUE(r.has(0));
    EXPECT_EQ(r.bytes(0) != nullptr, r.data != nullptr);
    EXPECT_EQ(r.u8(), 0u);
    EXPECT_FALSE(r.ok());
  }
}

}  // namespace

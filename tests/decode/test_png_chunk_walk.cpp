// The one walk over PNG chunks: whole files, every way a file can end, and
// the CRC check against zlib's CRC of chunks the test builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/png_chunk_walk.h"
#include "tests/support/picture_builder.h"

namespace {

using testpic::png_chunk;
using testpic::png_file;

struct Walked {
  std::vector<std::string> types;
  std::vector<PngChunkView> chunks;
  PngWalkEnd end;
};

Walked walk_all(const Bytes& file, int64_t first = 8) {
  Walked w;
  PngChunkWalk walk = png_chunk_walk(file.data(), int64_t(file.size()), first);
  PngChunkView c;
  while (png_chunk_next(&walk, &c)) {
    w.types.emplace_back(reinterpret_cast<const char*>(c.type), 4);
    w.chunks.push_back(c);
  }
  w.end = walk.end;
  // The end is sticky: a further call neither succeeds nor changes it.
  EXPECT_FALSE(png_chunk_next(&walk, &c));
  EXPECT_EQ(walk.end, w.end);
  return w;
}

void put_be32(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 24);
  b[at + 1] = uint8_t(v >> 16);
  b[at + 2] = uint8_t(v >> 8);
  b[at + 3] = uint8_t(v);
}

const Bytes kThreeChunks =
    png_file({png_chunk("IHDR", Bytes(13, 7)), png_chunk("tEXt", {}), png_chunk("IEND", {})});

TEST(PngChunkWalk, WholeFileGivesEveryChunkWithPositionsDataAndGoodCrcs) {
  const Walked w = walk_all(kThreeChunks);
  ASSERT_EQ(w.types, (std::vector<std::string>{"IHDR", "tEXt", "IEND"}));
  EXPECT_EQ(w.end, PngWalkEnd::kClean);
  EXPECT_EQ(w.chunks[0].position, 8);
  EXPECT_EQ(w.chunks[0].length, 13u);
  EXPECT_EQ(w.chunks[0].data, kThreeChunks.data() + 16);
  EXPECT_EQ(w.chunks[0].available, 13);
  EXPECT_EQ(w.chunks[1].position, 8 + 25);
  // A zero-length chunk: its data pointer sits at its CRC, and the CRC covers the type alone.
  EXPECT_EQ(w.chunks[1].length, 0u);
  EXPECT_EQ(w.chunks[1].available, 0);
  EXPECT_EQ(w.chunks[2].position, 8 + 25 + 12);
  for (const PngChunkView& c : w.chunks) {
    EXPECT_TRUE(c.complete);
    EXPECT_TRUE(png_chunk_crc_ok(c));
  }
  EXPECT_EQ(w.chunks[2].stored_crc, 0xAE426082u);
  EXPECT_TRUE(png_chunk_is(w.chunks[2], "IEND"));
  EXPECT_FALSE(png_chunk_is(w.chunks[2], "IDAT"));
}

TEST(PngChunkWalk, ABadCrcIsReportedButDoesNotStopTheWalk) {
  for (size_t flip : {size_t(12), size_t(16), size_t(8 + 21)}) {  // type, data, CRC of IHDR
    Bytes file = kThreeChunks;
    file[flip] ^= 0x20;
    const Walked w = walk_all(file);
    ASSERT_EQ(w.chunks.size(), 3u) << flip;
    EXPECT_FALSE(png_chunk_crc_ok(w.chunks[0])) << flip;
    EXPECT_TRUE(png_chunk_crc_ok(w.chunks[1])) << flip;
    EXPECT_EQ(w.end, PngWalkEnd::kClean);
  }
}

// Every cut of the file: the chunks wholly before the cut come out complete;
// a cut inside a chunk's data or CRC gives it once more, clipped, and ends the
// walk as truncated; a cut inside a length or type leaves stray bytes.
TEST(PngChunkWalk, EveryCutEndsTheWalkAsTheBytesLeftSay) {
  const std::vector<int64_t> ends = {8 + 25, 8 + 25 + 12, 8 + 25 + 12 + 12};
  for (size_t cut = 8; cut <= kThreeChunks.size(); ++cut) {
    const Bytes file(kThreeChunks.begin(), kThreeChunks.begin() + cut);
    const Walked w = walk_all(file);
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= int64_t(cut)) ++whole;
    const int64_t cursor = whole == 0 ? 8 : ends[whole - 1];
    ASSERT_GE(w.chunks.size(), whole) << cut;
    for (size_t i = 0; i < whole; ++i) EXPECT_TRUE(w.chunks[i].complete) << cut;
    if (int64_t(cut) == cursor) {
      EXPECT_EQ(w.end, PngWalkEnd::kClean) << cut;
      EXPECT_EQ(w.chunks.size(), whole) << cut;
    } else if (int64_t(cut) - cursor < 8) {
      EXPECT_EQ(w.end, PngWalkEnd::kStray) << cut;
      EXPECT_EQ(w.chunks.size(), whole) << cut;
    } else {
      EXPECT_EQ(w.end, PngWalkEnd::kTruncated) << cut;
      ASSERT_EQ(w.chunks.size(), whole + 1) << cut;
      const PngChunkView& last = w.chunks.back();
      EXPECT_FALSE(last.complete);
      EXPECT_FALSE(png_chunk_crc_ok(last));
      EXPECT_EQ(last.available, std::min<int64_t>(last.length, int64_t(cut) - cursor - 8)) << cut;
    }
  }
}

TEST(PngChunkWalk, LengthsPastTheEndUpToFourGibibytesNeverWrap) {
  for (uint32_t length : {42u, 1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    Bytes file = kThreeChunks;
    put_be32(file, 8, length);
    const Walked w = walk_all(file);
    ASSERT_EQ(w.chunks.size(), 1u) << length;
    EXPECT_EQ(w.chunks[0].length, length);
    EXPECT_FALSE(w.chunks[0].complete);
    EXPECT_EQ(w.chunks[0].available, int64_t(file.size()) - 16) << length;
    EXPECT_EQ(w.end, PngWalkEnd::kTruncated);
  }
}

TEST(PngChunkWalk, StartsWhereAskedAndRefusesAStartOutsideTheImage) {
  const Walked from_tail = walk_all(kThreeChunks, 8 + 25 + 12);
  EXPECT_EQ(from_tail.types, (std::vector<std::string>{"IEND"}));
  EXPECT_EQ(walk_all(kThreeChunks, int64_t(kThreeChunks.size())).end, PngWalkEnd::kClean);
  EXPECT_TRUE(walk_all(kThreeChunks, int64_t(kThreeChunks.size()) + 1).chunks.empty());
  EXPECT_TRUE(walk_all(kThreeChunks, -1).chunks.empty());
  PngChunkWalk empty = png_chunk_walk(nullptr, 100);
  PngChunkView c;
  EXPECT_FALSE(png_chunk_next(&empty, &c));
}

}  // namespace

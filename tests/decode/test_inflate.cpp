#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "decode/inflate.h"
#include "tests/support/oracle.h"
#include "tests/support/png_build.h"

namespace {

struct Collected {
  Bytes out;
  std::vector<int32_t> pieces;
  size_t complete_after = SIZE_MAX;  // complete() turns true once this much arrived
};

void collect(void* c, const uint8_t* p, int32_t n) {
  auto* sink = static_cast<Collected*>(c);
  sink->out.insert(sink->out.end(), p, p + n);
  sink->pieces.push_back(n);
}
bool enough(void* c) {
  auto* sink = static_cast<Collected*>(c);
  return sink->out.size() >= sink->complete_after;
}

struct InflateRun {
  int32_t result;
  Collected sink;
  InflateReport report;
};

InflateRun inflate_file(const Bytes& file, int32_t first_idat, size_t complete_after = SIZE_MAX) {
  InflateRun run;
  run.sink.complete_after = complete_after;
  const InflateSink sink{&run.sink, collect, enough};
  run.result = inflate_idat(file.data(), int32_t(file.size()), first_idat, sink, &run.report);
  return run;
}

// The stream as IDAT chunks of the given size (0 = one chunk) behind an 8-byte
// lead-in, the way the PNG decoder hands it over, followed by IEND.
InflateRun inflate_chunks(const Bytes& stream, size_t idat_size, size_t complete_after = SIZE_MAX) {
  return inflate_file(build_png(ihdr_payload(1, 1, 8, 0, 0), {}, stream, idat_size), 8 + 25, complete_after);
}

// A signature, one IDAT chunk per part, and IEND unless the last part is cut
// short by `cut` bytes.
Bytes idat_file(const std::vector<Bytes>& parts, size_t cut = 0) {
  Bytes file = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  for (const Bytes& part : parts) {
    const Bytes chunk = png_chunk("IDAT", part);
    file.insert(file.end(), chunk.begin(), chunk.end());
  }
  const Bytes iend = png_chunk("IEND", {});
  if (cut == 0) file.insert(file.end(), iend.begin(), iend.end());
  file.resize(file.size() - cut);
  return file;
}

Bytes sample_data(size_t n, uint32_t seed) {
  // Runs, repeats at many distances and noise, so every kind of code occurs.
  std::mt19937 rng(seed);
  Bytes d;
  while (d.size() < n) {
    const uint32_t kind = rng() % 4;
    if (kind == 0 || d.size() < 300) {
      for (int i = 0; i < 20; ++i) d.push_back(uint8_t(rng()));
    } else if (kind == 1) {
      d.insert(d.end(), 1 + rng() % 300, uint8_t(rng()));
    } else {
      const size_t dist = 1 + rng() % std::min<size_t>(d.size(), 32768);
      const size_t len = 3 + rng() % 400;
      for (size_t i = 0; i < len; ++i) d.push_back(d[d.size() - dist]);
    }
  }
  d.resize(n);
  return d;
}

Bytes deflate_with(const Bytes& data, int level, int strategy) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, 15, 9, strategy);
  Bytes out(deflateBound(&zs, uLong(data.size())) + 64);
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = uInt(data.size());
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

struct RoundTripCase {
  size_t size;
  int level;
  int strategy;
};

class InflateRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(InflateRoundTrip, MatchesInputInWholeHalves) {
  const RoundTripCase c = GetParam();
  const Bytes data = sample_data(c.size, uint32_t(c.size * 31 + c.level));
  const Bytes stream = deflate_with(data, c.level, c.strategy);
  const InflateRun run = inflate_chunks(stream, 0);
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.report.ran_out, 0);
  EXPECT_EQ(run.sink.out, data);
  EXPECT_EQ(run.report.zlib_header, uint16_t(stream[0] | stream[1] << 8));
  // Every piece but the last ones of the final flush is a whole half window.
  for (size_t i = 0; i + 2 < run.sink.pieces.size(); ++i) EXPECT_EQ(run.sink.pieces[i], 16384);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, InflateRoundTrip,
    ::testing::Values(RoundTripCase{0, 6, Z_DEFAULT_STRATEGY}, RoundTripCase{1, 6, Z_DEFAULT_STRATEGY},
                      RoundTripCase{1000, 9, Z_DEFAULT_STRATEGY}, RoundTripCase{16383, 6, Z_DEFAULT_STRATEGY},
                      RoundTripCase{16384, 6, Z_DEFAULT_STRATEGY},
                      RoundTripCase{16385, 1, Z_DEFAULT_STRATEGY},
                      RoundTripCase{32768 + 100, 0, Z_DEFAULT_STRATEGY},
                      RoundTripCase{200000, 9, Z_DEFAULT_STRATEGY}, RoundTripCase{200000, 6, Z_FIXED},
                      RoundTripCase{200000, 6, Z_HUFFMAN_ONLY}, RoundTripCase{200000, 6, Z_RLE},
                      RoundTripCase{200000, 0, Z_DEFAULT_STRATEGY},
                      RoundTripCase{1 << 20, 1, Z_DEFAULT_STRATEGY}));

// A fixed block with a literal run and an overlapping match, a stored block
// and a dynamic block: three block headers, codes and lengths of every size.
Bytes three_block_stream(Bytes* expected) {
  DeflateBits w;
  w.zlib_header(0x78, 0x5E);
  w.block_header(false, 1);
  for (int s : {int('a'), int('b'), int('c'), 200}) {
    w.put_fixed(s);
    expected->push_back(uint8_t(s));
  }
  // Length 10 (symbol 264) at distance 3 (code 2).
  w.put_fixed(264);
  w.put_code(2, 5);
  for (int i = 0; i < 10; ++i) expected->push_back((*expected)[expected->size() - 3]);
  w.put_fixed(256);

  w.block_header(false, 0);
  w.align();
  const Bytes stored = {1, 2, 3, 4, 5, 6, 7};
  w.put(uint32_t(stored.size()), 16);
  w.put(uint32_t(~stored.size()) & 0xFFFF, 16);
  for (uint8_t b : stored) {
    w.put(b, 8);
    expected->push_back(b);
  }

  // Literals 0..253 in 8 bits, 254 and 255 in 9, end-of-block and lengths
  // 257..259 in 10, and two distance codes, so long codes straddle chunk
  // ends too.
  std::vector<int> litlen(260, 8);
  litlen[254] = litlen[255] = 9;
  litlen[256] = litlen[257] = litlen[258] = litlen[259] = 10;
  const std::vector<int> dist = {1, 1};
  std::vector<uint32_t> lc, dc;
  put_dynamic_header(&w, true, litlen, dist, &lc, &dc);
  for (int s : {255, 7, 9, 255}) {
    w.put_code(lc[size_t(s)], litlen[size_t(s)]);
    expected->push_back(uint8_t(s));
  }
  // Length 5 (symbol 259) at distance 2 (code 1).
  w.put_code(lc[259], 10);
  w.put_code(dc[1], 1);
  for (int i = 0; i < 5; ++i) expected->push_back((*expected)[expected->size() - 2]);
  w.put_code(lc[256], 10);
  w.put(0x12345678, 32);  // the Adler-32 place, never checked
  return w.finish();
}

TEST(Inflate, ThreeBlockKindsCountedAndDecoded) {
  Bytes expected;
  const Bytes stream = three_block_stream(&expected);
  Bytes reference;
  ASSERT_FALSE(zlib_inflate(stream.data(), stream.size(), &reference));  // the Adler-32 is wrong...
  ASSERT_EQ(reference, expected);                                        // ...but the data are right
  const InflateRun run = inflate_chunks(stream, 0);
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.sink.out, expected);
  EXPECT_EQ(run.report.deflate_block_count, 3);
  EXPECT_EQ(run.report.zlib_header, 0x5E78);
  EXPECT_EQ(run.report.ran_out, 0);
}

// Chunks of 1 to 7 bytes put every code, length field and the stored LEN
// across chunk ends somewhere; empty chunks in between change nothing.
class InflateSplit : public ::testing::TestWithParam<size_t> {};

TEST_P(InflateSplit, SmallChunksDecodeLikeOne) {
  Bytes expected;
  const Bytes stream = three_block_stream(&expected);
  const InflateRun run = inflate_chunks(stream, GetParam());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.sink.out, expected);
  EXPECT_EQ(run.report.deflate_block_count, 3);

  const Bytes data = sample_data(70000, 5);
  const InflateRun big = inflate_chunks(zlib_compress(data, 9), GetParam());
  ASSERT_EQ(big.result, 0);
  EXPECT_EQ(big.sink.out, data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, InflateSplit, ::testing::Range<size_t>(1, 12));

TEST(Inflate, EmptyAndTinyChunksBetweenLargeOnes) {
  const Bytes data = sample_data(50000, 9);
  const Bytes stream = zlib_compress(data, 1);
  const std::vector<size_t> cuts = {0, 1, 1, 2, 3, 1000, 1000, 1001, 1004, 1009, 3000, stream.size()};
  ASSERT_GT(stream.size(), 3000u);
  std::vector<Bytes> parts;
  for (size_t i = 0; i + 1 < cuts.size(); ++i)
    parts.emplace_back(stream.begin() + long(cuts[i]), stream.begin() + long(cuts[i + 1]));
  const InflateRun run = inflate_file(idat_file(parts), 8);
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.sink.out, data);
}

TEST(Inflate, EmptyBlockTypeThreeIsSkipped) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  for (bool final : {false, true}) {
    w.block_header(false, 3);  // an empty block
    w.block_header(final, 1);
    w.put_fixed('x');
    w.put_fixed(256);
  }
  const InflateRun run = inflate_chunks(w.finish(), 0);
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.sink.out, Bytes({'x', 'x'}));
  EXPECT_EQ(run.report.deflate_block_count, 4);
}

TEST(Inflate, HeaderWithWrongCheckBitsIsRecorded) {
  Bytes stream = zlib_compress(Bytes(100, 7), 9);
  stream[0] = 0x78;
  stream[1] = 0x5F;  // (0x785F % 31) != 0
  const InflateRun run = inflate_chunks(stream, 0);
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.report.zlib_header, 0x5F78);
  EXPECT_EQ(run.sink.out, Bytes(100, 7));
}

Bytes fixed_then(std::initializer_list<std::pair<uint32_t, int>> fields) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  w.block_header(true, 1);
  for (auto [v, n] : fields) w.put_code(v, n);
  w.put(0, 32);
  return w.finish();
}

Bytes dynamic_with(const std::vector<int>& litlen, const std::vector<int>& dist,
                   std::initializer_list<std::pair<uint32_t, int>> body) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  std::vector<uint32_t> lc, dc;
  put_dynamic_header(&w, true, litlen, dist, &lc, &dc);
  for (auto [v, n] : body) w.put_code(v, n);
  w.put(0, 32);
  return w.finish();
}

// Literal/length code lengths of n symbols, the given ones set.
std::vector<int> litlen_of(size_t n, std::initializer_list<std::pair<int, int>> lengths) {
  std::vector<int> litlen(n, 0);
  for (auto [symbol, length] : lengths) litlen[size_t(symbol)] = length;
  return litlen;
}

// A code-length code of the 19 symbols, all of `bits` bits, then (with 5
// bits, where symbol v has code v) the given symbols and their repeat
// fields; the header asks for 257 + 1 lengths.
Bytes lengths_by_symbols(int bits, std::initializer_list<std::pair<uint32_t, int>> symbols) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  w.block_header(true, 2);
  w.put(0, 5);
  w.put(0, 5);
  w.put(15, 4);
  for (int i = 0; i < 19; ++i) w.put(uint32_t(bits), 3);
  for (auto [v, n] : symbols) {
    w.put_code(v, 5);
    w.put(uint32_t(n), v == 16 ? 2 : v == 17 ? 3 : 7);
  }
  w.put(0, 32);
  return w.finish();
}

Bytes stored_bad_nlen() {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  w.block_header(true, 0);
  w.align();
  w.put(5, 16);
  w.put(0xFFFB, 16);
  w.put(0, 32);
  return w.finish();
}

// Hostile streams that must fail rather than decode garbage or read astray.
struct CorruptCase {
  const char* name;
  Bytes stream;
};

std::vector<CorruptCase> corrupt_cases() {
  return {
      {"stored_bad_nlen", stored_bad_nlen()},
      {"symbol_286", fixed_then({{0xC6, 8}})},
      {"symbol_287", fixed_then({{0xC7, 8}})},
      {"distance_code_30", fixed_then({{0x30 + 'a', 8}, {1, 7}, {30, 5}})},
      {"distance_code_31", fixed_then({{0x30 + 'a', 8}, {1, 7}, {31, 5}})},
      {"distance_before_start", fixed_then({{0x30 + 'a', 8}, {1, 7}, {1, 5}})},
      // Two literals of 1 and 2 bits leave code 11 unassigned.
      {"code_matching_nothing", dynamic_with(litlen_of(257, {{'a', 1}, {256, 2}}), {1}, {{0, 1}, {3, 2}})},
      {"oversubscribed_litlen", dynamic_with(litlen_of(257, {{'a', 1}, {'b', 1}, {256, 1}}), {1}, {{0, 1}})},
      {"length_without_distance_codes",
       dynamic_with(litlen_of(258, {{'a', 1}, {256, 2}, {257, 2}}), {0}, {{0, 1}, {3, 2}, {0, 8}})},
      {"repeat_first", lengths_by_symbols(5, {{16, 0}})},
      {"repeat_overrun", lengths_by_symbols(5, {{18, 127}, {18, 127}, {18, 0}})},
      {"oversubscribed_code_lengths", lengths_by_symbols(1, {})},
  };
}

class InflateCorrupt : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(InflateCorrupt, FailsWithoutStrayAccess) {
  for (size_t split : {size_t(0), size_t(1), size_t(3)})
    EXPECT_EQ(inflate_chunks(GetParam().stream, split).result, -1) << "split " << split;
}

INSTANTIATE_TEST_SUITE_P(Streams, InflateCorrupt, ::testing::ValuesIn(corrupt_cases()),
                         [](const ::testing::TestParamInfo<CorruptCase>& info) {
                           return std::string(info.param.name);
                         });

// A stream cut anywhere gives exactly a prefix of the data (never bytes
// decoded from the missing part) and says it ran out.
TEST(Inflate, CutStreamsYieldOnlyRealPrefixes) {
  const Bytes data = sample_data(40000, 3);
  for (int level : {0, 1, 9}) {
    const Bytes stream = zlib_compress(data, level);
    for (size_t cut = 0; cut + 4 < stream.size(); cut += 1 + cut / 7) {
      const Bytes part(stream.begin(), stream.begin() + long(cut));
      for (size_t split : {size_t(0), size_t(5)}) {
        const InflateRun run = inflate_chunks(part, split);
        ASSERT_EQ(run.result, 0) << "level " << level << " cut " << cut;
        EXPECT_EQ(run.report.ran_out, 1) << "level " << level << " cut " << cut;
        ASSERT_LE(run.sink.out.size(), data.size());
        EXPECT_TRUE(std::equal(run.sink.out.begin(), run.sink.out.end(), data.begin()))
            << "level " << level << " cut " << cut;
      }
    }
  }
}

TEST(Inflate, StreamWithoutTrailerEndsCleanly) {
  const Bytes data = sample_data(3000, 4);
  Bytes stream = zlib_compress(data, 9);
  stream.resize(stream.size() - 4);
  const InflateRun run = inflate_chunks(stream, 0);
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.report.ran_out, 0);
  EXPECT_EQ(run.sink.out, data);
}

// All 16384 bytes in one non-final block, then another block: the consumer
// is complete at the half-window flush, so the second block is never begun.
TEST(Inflate, StopsAtTheFlushThatCompletesTheConsumer) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  w.block_header(false, 1);
  w.put_fixed('z');
  for (int i = 0; i < 16383 / 258; ++i) {
    w.put_fixed(285);
    w.put_code(0, 5);
  }
  for (int i = 1 + 16383 / 258 * 258; i < 16384; ++i) w.put_fixed('z');
  w.put_fixed(256);
  w.block_header(true, 1);
  w.put_fixed('y');
  w.put_fixed(256);
  const Bytes stream = w.finish();

  const InflateRun stopped = inflate_chunks(stream, 0, 16384);
  ASSERT_EQ(stopped.result, 0);
  EXPECT_EQ(stopped.report.stopped_early, 1);
  EXPECT_EQ(stopped.report.deflate_block_count, 1);
  EXPECT_EQ(stopped.sink.out, Bytes(16384, 'z'));

  const InflateRun whole = inflate_chunks(stream, 0);
  EXPECT_EQ(whole.report.deflate_block_count, 2);
  EXPECT_EQ(whole.sink.out.size(), 16385u);
}

TEST(Inflate, NoStreamAtAll) {
  const InflateRun none = inflate_file(idat_file({}), 8);
  EXPECT_EQ(none.result, 0);
  EXPECT_EQ(none.report.ran_out, 1);
  EXPECT_TRUE(none.sink.out.empty());
  // A chunk whose length runs past the end gives what the file holds.
  const InflateRun cut = inflate_file(idat_file({zlib_compress(Bytes(5000, 1), 0)}, 2000), 8);
  EXPECT_EQ(cut.result, 0);
  EXPECT_EQ(cut.report.ran_out, 1);
  EXPECT_GT(cut.sink.out.size(), 2000u);
  EXPECT_EQ(cut.sink.out, Bytes(cut.sink.out.size(), 1));
}

}  // namespace

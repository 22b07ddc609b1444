#pragma once
#include <bit>
#include <cstdint>

#include "deflate/bitstream.h"

// The fixed deflate alphabets as one table of (extra bits, base) pairs:
// entries 0..29 are the distance codes, entries 30..58 the length symbols
// 257..285, so a length symbol's entry is its symbol number minus 227.
constexpr int32_t kDistanceCodes = 30;
constexpr int32_t kLengthEntryBase = 30;
constexpr int32_t kTableEntries = 59;
constexpr int32_t kMinMatch = 3;
constexpr int32_t kMaxMatch = 258;
constexpr int32_t kMaxDistance = 32768;

struct DeflateTables {
  uint8_t extra[kTableEntries];
  uint16_t base[kTableEntries];
  uint8_t length_entry[kMaxMatch + 1];      // match length 3..258 -> entry 30..58
};

// Distance 1..32768 -> code 0..29. Codes 4 and up come in pairs per power of
// two, the second of a pair from the bit below the top one, so arithmetic
// serves where a 32 KiB table would miss the cache in the parser's walks.
inline int32_t distance_code(int32_t d) {
  const uint32_t x = uint32_t(d - 1);
  if (x < 4) return int32_t(x);
  const int32_t top = std::bit_width(x) - 1;
  return 2 * top + int32_t((x >> (top - 1)) & 1);
}

// Built on first use and never changed afterwards.
const DeflateTables& deflate_tables();

// Code lengths for counts[0..n-1] (a count <= 0 is an unused symbol), every
// length below limit (16 for the literal/length and distance alphabets, 8 for
// the code-length alphabet). The same counts always give the same lengths:
// lower-numbered symbols of equal weight get the shorter codes. With no used
// symbol, zl121_mode gives symbol 0 length 1. n <= 288.
void huffman_code_lengths(const int32_t* counts, int32_t n, int32_t* lengths, int32_t limit,
                          int32_t zl121_mode);

// Canonical codes for lengths[0..n-1], bit-reversed so that put_bits sends
// their most significant bit first; symbols with length 0 get code 0.
void canonical_codes(const int32_t* lengths, int32_t n, uint32_t* codes);

// Writes HLIT, HDIST, HCLEN and the run-length coded code lengths of one
// dynamic block. lengths holds 286 literal/length lengths (room for 288) and
// the 30 distance lengths from entry 288.
void write_dynamic_header(BitWriter* w, const int32_t* lengths);

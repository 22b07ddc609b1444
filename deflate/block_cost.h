#pragma once
#include <cstdint>

// Exact sizes of deflate blocks for a given set of symbol counts, and the
// codes that reach them: optimal length-limited Huffman lengths and the
// cheapest of the ways the block header can run-length code them. The parse
// search and the split search compare candidates by these sizes, so they
// are the bits the writer really produces, not an estimate.

constexpr int32_t kLitLenSlots = 288;  // 0..255 literals, 256 end of block, 257..285 lengths
constexpr int32_t kDistSlots = 32;     // distance codes 0..29
constexpr int32_t kEndOfBlock = 256;

struct SymbolCounts {
  int32_t litlen[kLitLenSlots];
  int32_t dist[kDistSlots];
  int64_t extra_bits;  // extra bits of every length and distance counted
};

// The lengths a block is written with and how its header codes them.
struct BlockCode {
  int32_t litlen[kLitLenSlots];
  int32_t dist[kDistSlots];
  int32_t rle_mode;  // bit 0: repeat code 16, bit 1: zero runs 17, bit 2: zero runs 18
  int32_t fixed;     // 1: the fixed code (no header)
};

// Optimal code lengths of at most limit bits for counts[0..n-1] (n <= 288),
// by package merge; a count <= 0 gets length 0. One used symbol gets length 1.
// Ties go to the lower symbol number, so equal counts give equal results.
void limited_code_lengths(const int32_t* counts, int32_t n, int32_t limit, int32_t* lengths);

// Bits of the dynamic header (HLIT, HDIST, HCLEN fields, the code-length code
// and the coded lengths) with the given run-length mode.
int64_t dynamic_header_bits(const int32_t* litlen, const int32_t* dist, int32_t rle_mode);

// The smallest way to write a block with these counts (end of block counted
// by the caller): dynamic with optimal lengths and the best header mode, or
// the fixed code. Returns its size in bits, 3 header bits included; code may
// be null.
int64_t best_block_bits(const SymbolCounts* counts, BlockCode* code);

// Bits of the symbols (not the header) of counts written with code's lengths;
// a used symbol without a code makes the result huge.
int64_t symbol_bits(const SymbolCounts* counts, const int32_t* litlen, const int32_t* dist);

// The fixed code's lengths.
void fixed_code_lengths(int32_t* litlen, int32_t* dist);

// The header's run-length coded sequence of code lengths in the given mode:
// code-length symbols 0..18 and the value of their extra bits.
struct HeaderSequence {
  int32_t count;
  uint8_t symbol[286 + 30];
  uint8_t extra[286 + 30];
  int32_t hlit, hdist;
};
void header_sequence(const int32_t* litlen, const int32_t* dist, int32_t rle_mode, HeaderSequence* out);
// Bits of a header with that sequence and its own optimal code-length code,
// whose 19 lengths go to cl when it is not null.
int64_t sequence_bits(const HeaderSequence* h, int32_t* cl);

// One parsed symbol: a literal (length 1, value the byte) or a match
// (length 3..258, value the distance 1..32768), as length | value << 16.
inline uint32_t literal_item(uint8_t byte) { return 1u | uint32_t(byte) << 16; }
inline uint32_t match_item(int32_t length, int32_t distance) {
  return uint32_t(length) | uint32_t(distance) << 16;
}
inline int32_t item_length(uint32_t item) { return int32_t(item & 0xFFFF); }
inline int32_t item_value(uint32_t item) { return int32_t(item >> 16); }

// Adds the symbols of items[0..n) to counts (end of block not included).
void count_items(const uint32_t* items, int32_t n, SymbolCounts* counts);

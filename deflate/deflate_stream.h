#pragma once
#include <cstdint>

#include "deflate/bitstream.h"
#include "deflate/callbacks.h"

// One compression pass writes one zlib stream, cut into up to 1024
// dynamic-Huffman blocks. Each block keeps its code lengths from
// pass to pass: a pass writes a block with the lengths measured on that block
// in the previous pass, and at the block's end recomputes them from what was
// really written.

constexpr int32_t kMaxBlocks = 1024;
// Threads a replaying pass may parse its blocks on (parallel_parse.h).
constexpr int32_t kMaxParseThreads = 16;
constexpr int32_t kSymbolSlots = 320;  // 0..285 literal/length, 288..317 distance codes 0..29
constexpr int32_t kDistanceSlot = 288;

struct DeflateBlock {
  int32_t counts[kSymbolSlots];   // this pass; bit 31 of a literal's count = seen by the parser
  int32_t lengths[kSymbolSlots];  // code lengths this block is written with
  int32_t split_point;            // best split of [start, end) (exact-count search)
  int32_t start, end;             // absolute positions in the filtered byte stream
  int32_t link;                   // the block this one was split from, -1 for block 0
  double gain;                    // estimated bytes saved by splitting at split_point
};

// The encoder's side of a stream, called back at its start and end so that
// this folder never needs to know about PNG chunks: whatever goes into the
// byte sink before and after the zlib stream (for a PNG the chunks before
// IDAT and the opening of IDAT, then its closing and the chunks after it).
struct StreamHooks {
  void* user;
  int (*write_header)(void* user);    // bytes before the stream: 1, or 0 after reporting why
  void (*write_trailer)(void* user);  // bytes after the stream
  void (*report_pass)(void* user);    // end-of-pass size report
};

struct Lz77State;
struct MatchStore;
struct BlockRecords;

struct DeflateStream {
  BitWriter* out;  // owned by the encoder
  PrintFn print;
  KeyCheckFn key_check;
  int32_t verbose;
  int32_t zl121_mode;
  int32_t strategy;  // 0 Xtreme, 1 Intense, 2 Longest Match, 3 Huffman Only
  StreamHooks hooks;

  int32_t block_count;
  int32_t current_block;
  DeflateBlock blocks[kMaxBlocks];
  // Bits the blocks written so far in this pass would have saved with the
  // lengths recomputed from their own counts: the gain another pass promises.
  int32_t excess_bits;
  // Set when the cheapest path needed a symbol that has no code in its block;
  // the bytes of such a pass are not a valid stream and must not be kept.
  int32_t invalid;
  uint32_t adler;  // Adler-32 of the uncompressed bytes fed so far in this pass

  Lz77State* parser;  // the parser's windows, hash, pools and rings
  // The caller's record of match lists for the passes over one stream, or
  // null; each pass either records into it or replays it (match_store.h).
  MatchStore* matches;
  // Threads a replaying pass parses its blocks on (1: in order, as fed; set
  // back to 1 when a pass had to), and the parser states of the helpers,
  // made when first needed.
  int32_t parse_threads;
  Lz77State* helpers[kMaxParseThreads];
  int32_t parallel_passes;  // passes of this stream parsed side by side, for the caller's report
  int32_t parallel_lists;   // recording passes whose lists were found side by side
  // The paths of the blocks of the last pass parsed side by side, kept so
  // that the next pass writes into memory already in place.
  BlockRecords* records;
};

// Allocates a stream with the parser's working tables; nullptr when memory is
// short. One stream serves any number of encoder runs.
DeflateStream* deflate_stream_create();
void deflate_stream_destroy(DeflateStream* s);
// Releases what the passes over one stream kept for each other (the paths of
// blocks parsed side by side) once they are done; the stream stays usable.
void deflate_end_passes(DeflateStream* s);

// Block boundaries from the collected filtered image (threshold mode when
// exact_count < 1, else exact-count mode capped at 1023), sorted, with the
// "Block boundaries:" report under verbose. A block of one byte is never
// split, so exact-count mode may end with fewer blocks than asked. 0 = done,
// -1 = key_check asked to stop (the stream is left with one block).
int32_t find_block_boundaries(DeflateStream* s, const uint8_t* data, int32_t n, double threshold,
                              int32_t exact_count);
// One block covering the whole stream.
void set_single_block(DeflateStream* s);
// Initial code lengths of every block before the first pass; seed feeds the
// pseudo-random counts of "-r".
void set_initial_lengths(DeflateStream* s, int32_t randomize, uint32_t seed);

// Starts a pass: write_header hook, zlib header, parser reset, block 0 header.
// Returns 1, or 0 when the header hook failed.
int32_t deflate_begin(DeflateStream* s);
// The compressing byte sink: Adler-32, then the parser.
void deflate_feed(DeflateStream* s, uint8_t byte);
// The same for n bytes at once, with the same result as n calls of
// deflate_feed; saves a call chain per byte on whole rows.
void deflate_feed_bytes(DeflateStream* s, const uint8_t* bytes, int32_t n);
// Ends a pass: final parse, last block, Adler-32 trailer, write_trailer and
// report_pass hooks. Blocks whose end lies beyond the data are written empty.
void deflate_finish(DeflateStream* s);

// The n bytes the pass just finished was fed, when the stream's match store
// holds every one of them and the next pass will replay the store without
// writing to them; null otherwise. A caller that would compute the same
// bytes again may feed these instead: the pass is the same, without the
// work of making them.
const uint8_t* deflate_kept_bytes(const DeflateStream* s, int64_t n);

// Used by the parser. block_start clears block k's counts, prices its symbols
// and writes its header; block_end writes the end-of-block code, recomputes
// the block's lengths from what was written and starts the next block.
void block_start(DeflateStream* s, int32_t k);
void block_end(DeflateStream* s);

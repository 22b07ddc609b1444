#pragma once
#include <cstdint>

struct DeflateStream;
struct MatchStore;
struct BlockRecord;

// Sizes of the parser's rings and tables; each is a power of two so that a
// position indexes it by masking.
constexpr int32_t kWindowSize = 65536;  // holds the 32 KiB reach plus the look-ahead
constexpr int32_t kLookahead = 260;     // bytes kept unparsed while feeding: a full match plus slack
// Buckets of the 3-byte index. The first match of a position is the nearest
// earlier position with the same 3 bytes; with as many buckets as window
// positions, few other values share a chain.
constexpr int32_t kHashBits = 15;
constexpr int32_t kHashSize = 1 << kHashBits;
constexpr int32_t kChainSize = 32768;
constexpr int32_t kCostRing = 512;     // a match reaches at most 258 positions ahead
constexpr int32_t kEdgeRing = 262144;  // positions between two write-outs
constexpr int32_t kListEntries = 256;  // lengths 3..258, one nearest distance each
constexpr int32_t kListHead = 4;       // entries kept beside a list's start, lengths 3..6
// A list is overwritten only after the fill index has gone round the whole
// pool, which takes more than (pool - 2 lists) / 256 positions; with 256 lists
// of slack that is beyond the 32768 positions a walk can reach back.
constexpr int32_t kPoolSize = (kChainSize + 256) * kListEntries;
// Entries after the end of the pool, of the best prices and of the replayed
// run counts that the parser's vector fills may overwrite beyond a range.
constexpr int32_t kFillSlack = 16;
constexpr int32_t kPoolRestart = kPoolSize - kListEntries;
static_assert((kPoolSize - 2 * kListEntries) / kListEntries > kChainSize + 1,
              "a list within the window could be overwritten by a pool restart");
static_assert(kCostRing > 258 && kWindowSize >= 32768 + 2 * kLookahead, "rings too small");

// Costs are in bits. A symbol without a code costs this much, so the parse
// uses it only when nothing else reaches a position.
constexpr int32_t kNoCodeCost = 4096;
constexpr int32_t kUnreached = 0x7FFFFFFF;
constexpr int32_t kBlockStartCost = INT32_MIN;

struct Lz77State {
  int32_t strategy;
  int32_t avx2;        // the cost-ring update may use AVX2 (set once by the stream's creator; kept by resets)
  int32_t received;    // bytes fed since the stream start
  int32_t pos;         // next position to parse
  int32_t furthest;    // largest position an edge reaches
  int32_t emitted_to;  // the path is written up to here
  int32_t block_end;   // no edge may end beyond this position

  int32_t run_byte;    // byte of the run the last tracked position belongs to
  int32_t run_length;  // equal bytes before the last tracked position, -1 at stream start
  int32_t run_end;     // first position after it whose byte differs (or received)

  int32_t fill;        // next free pool entry
  int32_t prev_count;  // list length of the previous parsed position, -1 at stream start
  int32_t prev_fill;   // fill index after the previous parsed position

  // The lists of this stream kept by an earlier pass (see match_store.h):
  // kStoreOff computes every list, kStoreRecord computes and records them,
  // kStoreReplay takes them from the store; run_cursor is where the next
  // unshared list's runs start.
  MatchStore* store;
  int32_t store_mode;
  int64_t run_cursor;
  // Nonzero while a replaying pass only checks the bytes it is fed: its
  // blocks are parsed side by side at the end (parallel_parse.h), or, when
  // that cannot be, one after the other from the store's copy of the bytes.
  int32_t deferred;
  // Set when bytes of this pass went neither into the store nor through its
  // check, so the store's copy may not be what this pass saw.
  int32_t unchecked;
  // On a helper's state: the cheapest path is kept here, not written.
  BlockRecord* record;

  // Prices and codes of the block being written.
  int32_t* counts;
  const int32_t* lengths;
  uint32_t codes[320];
  int32_t literal_cost[256];
  int32_t length_cost[259];  // by match length
  int32_t distance_cost[30];
  int32_t next_cheaper[30];  // first later distance code that is strictly cheaper, 30 if none
  int16_t best_distance_cost[259 + kFillSlack];  // distance costs are at most kNoCodeCost
  // The nearest distance priced at best_distance_cost, by length: the edge
  // the Xtreme search records for that length once its walks are done.
  uint16_t best_distance[259 + kFillSlack];

  // Replay: for each entry of the position's list, how many entries after it
  // hold the same distance (that distance's match ends at the run's last).
  // A shared list is the previous one's tail, which leaves these unchanged.
  uint8_t known_rest[kListEntries + kFillSlack];
  int32_t cost[kCostRing];
  uint32_t edges[kEdgeRing];  // length | distance << 16; length 1 = literal with the byte as distance
  // Per position (by position & 0x7FFF): where its list starts in the pool,
  // how many lengths it has, and a copy of its first entries. A walk step is
  // a chain of dependent loads; for the short lengths most walks run at, the
  // copy saves the load from the large pool.
  struct alignas(16) ListRef {
    int32_t start;
    int32_t count;
    uint16_t head[kListHead];
  } lists[kChainSize];
  // Absolute positions, -1 for none: the latest position of each bucket, and
  // for each position (by position & 0x7FFF) the one before it in its bucket.
  int32_t hash_head[kHashSize];
  int32_t hash_chain[kChainSize];
  uint16_t run_count[kWindowSize];
  uint8_t window[kWindowSize + 4];  // the copy of the first 4 bytes makes 4-byte reads wrap
  uint16_t pool[kPoolSize + kFillSlack];
};

enum : int32_t { kStoreOff = 0, kStoreRecord = 1, kStoreReplay = 2 };

// Whether this processor has AVX2 (for Lz77State::avx2).
int32_t lz77_cpu_has_avx2();
// Clears the state for a new stream (with no match store).
void lz77_reset(Lz77State* z, int32_t strategy);
// After lz77_reset: the stream replays the lists held in store when it holds
// a finished recording for this strategy, else records them into it. The
// output is the same bytes either way; strategies without match lists and a
// null store leave the parser computing them as before.
void lz77_use_store(Lz77State* z, MatchStore* store);
// Prices the symbols of the block about to be written from its code lengths
// and builds its codes; counts receives what the parser writes, block_end is
// where its last edge may end.
void lz77_prepare_block(Lz77State* z, int32_t* counts, const int32_t* lengths, int32_t block_end);
// Appends n bytes and parses every position that has enough look-ahead; n = 0
// parses and writes everything that is left.
void lz77_feed(DeflateStream* s, const uint8_t* bytes, int32_t n);

// One block of a replaying pass parsed on its own state z (a helper's):
// the positions from w (0, or one whose stored list is not shared) up to a
// only take their lists from the store, so that z holds at a what the
// pass's own state would; then [a, e) is parsed with the block's code lengths
// and its path kept in r. cursor is where w's runs start in the store.
// Returns 0, or -1 when the parse left the store (a skipped position whose
// recorded list was not empty): the pass must then be parsed in order.
int32_t lz77_parse_block_alone(Lz77State* z, MatchStore* m, int32_t strategy, const int32_t* lengths, int32_t w,
                               int64_t cursor, int32_t a, int32_t e, BlockRecord* r);
// The lists of positions [a, e) of the stream held in m (every byte of it),
// found on a helper's state z as the recording pass of stream s finds them,
// appended to out, which must be recording (a list that does not fit its
// limit ends out's positions, as match_store_add_list does). The search starts at w: 0, or
// at most a - kListWarmUp, since the lists of [w, w + 32768] lack the matches
// before w. out may be m.
constexpr int32_t kListWarmUp = 32769;
void lz77_find_lists(Lz77State* z, const MatchStore* m, const DeflateStream* s, int32_t w, int32_t a, int32_t e,
                     MatchStore* out);
// Writes a path kept by lz77_parse_block_alone for the stream's current
// block, as the parser would have written it, and ends the blocks that end
// at end.
void lz77_write_record(DeflateStream* s, const BlockRecord* r, int32_t end);

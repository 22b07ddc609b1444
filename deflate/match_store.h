#pragma once
#include <cstdint>

// The match lists of one filtered stream, kept from the pass that first
// parses it for the passes that parse the same bytes again.
//
// A position's list (the nearest distance for every match length) depends
// only on the bytes, as long as every earlier position of the window has its
// own list: a pass that skips positions (a path left unwritten for too long)
// leaves them empty, and the lists after them are no longer a function of the
// bytes alone. So a recording pass that skips gives up, and a replaying pass
// that meets a skip, other bytes or the end of what was recorded goes on
// computing lists itself from there; the parser's own tables are kept up to
// date during a replay for exactly that.
//
// Layout: per position one head (the list length, kSharedList when the list
// is the tail of the previous one, as the parser's pool shares it), and for
// each list that is not shared its runs of equal distance, 3 bytes each
// (distance low and high byte, last length - 3). The recorded bytes of the
// stream tell a later pass whether it sees the same stream.
constexpr uint16_t kSharedList = 0x8000;

struct MatchStore {
  int64_t limit;  // bytes the lists (heads and runs) may take; the stream's bytes come on top
  int32_t strategy;
  int32_t ready;      // the arrays hold a finished recording
  int32_t recording;  // a pass is recording into them now
  int32_t stale;      // a pass saw other bytes: record anew next time
  int32_t positions;  // lists recorded, from position 0 on

  uint8_t* bytes;
  int64_t byte_count, byte_capacity;
  uint16_t* heads;
  int64_t head_capacity;
  uint8_t* runs;
  int64_t run_bytes, run_capacity;
  // Per recorded position, the last answer of the replayed Xtreme search to
  // "the nearest distance of code nc or more that matches l bytes" (see
  // lz77_parse.cpp): l - 3 | nc << 8 | 1 << 13 | distance << 16, 0 for none
  // kept; null when it does not fit the limit. It depends only on the
  // bytes, so every later pass over the same stream may take it again.
  uint32_t* walks;
  int64_t walk_capacity;
  // Where the runs of position k * kMarkStep begin, for each k: a pass that
  // starts replaying in the middle of the stream finds its place from there.
  int64_t* marks;
  int64_t mark_capacity;
};

constexpr int32_t kMarkStep = 4096;

// Where the runs of the list of position p (< positions) begin.
int64_t match_store_runs_at(const MatchStore* m, int32_t p);

// An empty store that may take up to limit bytes.
void match_store_init(MatchStore* m, int64_t limit);
void match_store_free(MatchStore* m);

// Starts recording a stream parsed with strategy, dropping what was held.
void match_store_begin_recording(MatchStore* m, int32_t strategy);
// Appends fed bytes; 0, or -1 when memory is short (the recording is given up).
int32_t match_store_add_bytes(MatchStore* m, const uint8_t* bytes, int32_t n);
// Appends the list of the next position; a list beyond the limit ends the
// recorded positions without failing the recording.
void match_store_add_list(MatchStore* m, const uint16_t* entries, int32_t n, bool shared);
// Appends the lists recorded in part (a store that recorded the positions
// that follow m's, from a multiple of kMarkStep; those before its cut when
// its limit cut it) to m, which is recording. 0, or -1 with m unchanged when
// they do not fit m's limit.
int32_t match_store_append(MatchStore* m, const MatchStore* part);
// Room for the heads and marks of exactly this many positions, so that a
// store of known length holds no slack there; 0, or -1 when it does not fit
// the limit or memory is short (the store is unchanged but usable).
int32_t match_store_reserve(MatchStore* m, int64_t positions);
// Drops the lists recorded so far and records again from position 0,
// keeping the stream's bytes.
void match_store_restart_recording(MatchStore* m);
// The recording cannot be used (a skipped position, memory short).
void match_store_give_up(MatchStore* m);
// Ends the recording pass; the store is ready unless it gave up.
void match_store_end_recording(MatchStore* m);
// Bytes the lists take now (at most limit).
int64_t match_store_list_bytes(const MatchStore* m);

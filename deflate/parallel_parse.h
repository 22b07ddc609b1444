#pragma once
#include <cstdint>
#include <vector>

struct DeflateStream;
struct Lz77State;

// The path of one block parsed on a helper's state.
struct BlockRecord {
  std::vector<uint32_t> items;  // length | distance << 16; length 1 = a literal with the byte as distance
  uint32_t seen[8];             // literals the parse met: bit b & 31 of word b >> 5
};

// The paths of one pass's blocks, by block in stream order.
struct BlockRecords {
  std::vector<BlockRecord> paths;
};

// Streams shorter than this are parsed in order: each helper first takes the
// lists of up to 32 KiB before its block, which on short streams costs about
// what the threads save.
constexpr int64_t kParallelMinBytes = 1 << 18;

// Bytes a filtered byte's lists may take while a recording pass finds them
// side by side (heads and runs, before they join the store's).
constexpr int64_t kPartBytesPerByte = 16;

// Bytes one more parsing thread takes for its parser state (its block's path
// comes on top: 4 bytes a symbol).
int64_t parse_helper_bytes();

// At the end of a deferred replaying pass (every byte fed was the store's):
// parses the pass's blocks on up to s->parse_threads threads, each block on
// a helper's state from the stored lists, and writes them in order. The
// bytes are the ones a parse in order writes, whatever the thread count.
// 0 = written; -1 = nothing written (one thread, one block, memory or a
// thread short, or a block whose parse left the store): parse in order.
int32_t parallel_replay(DeflateStream* s);

// At the end of a deferred recording pass (every byte is in the store, no
// list yet): finds the lists of stretches of the stream on up to
// s->parse_threads threads and records them in order, the same lists a
// search in order records. 0 = the store holds a finished recording (maybe
// cut at its limit); -1 = it is recording again from position 0, with its
// bytes kept (one thread, a short stream, memory or a part short).
int32_t parallel_record(DeflateStream* s);

// Frees the helpers' states of a stream.
void parallel_parse_free(DeflateStream* s);

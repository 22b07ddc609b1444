#pragma once
#include <cstdint>

// The memory a run needs, decided from the picture's header before anything
// is allocated for the picture, and the limit it is held to.

// Bytes at the peak of a run for a picture of that size read from a file of
// input_size bytes: the file, the decoded pixels, the encoder's output
// buffer and its buffer of filtered rows (or the decoded copy the written
// file is checked against), 12 bytes per pixel in all, plus the kept chunks
// and a fixed allowance for tables and working state.
int64_t run_memory_bytes(int64_t width, int64_t height, int64_t input_size);

// The largest need the encoder's 32-bit buffer sizes can ever reach; no
// limit is set above it.
int64_t largest_run_memory_bytes();

// The search workers a run may use. Each worker beyond the first finishes a
// candidate with an encoder of its own (its working state, output buffer and
// filtered rows), so wanted is cut to what the limit holds beside the run's
// own need; never below 1.
int32_t search_workers_within(int32_t wanted, int64_t width, int64_t height, int64_t need, int64_t limit);

// The memory the search workers beyond the first take, as
// search_workers_within counts it.
int64_t extra_workers_bytes(int32_t workers, int64_t width, int64_t height);

// The threads a replaying pass of a run without search may parse its blocks
// on: wanted, cut to what the limit holds beside need; never below 1. Each
// thread beyond the first takes a parser state, and the blocks' paths wait
// for their turn in 4 bytes a filtered byte (at most 4 bytes a pixel).
int32_t parse_threads_within(int32_t wanted, int64_t width, int64_t height, int64_t need, int64_t limit);

// The memory those threads take, as parse_threads_within counts it.
int64_t parse_threads_bytes(int32_t threads, int64_t width, int64_t height);

// Bytes each of `encoders` encoders may give the match lists it keeps between
// passes: what the passes over a picture's filtered bytes (at most 4 bytes a
// pixel) can use, cut to an equal share of what the limit leaves beside
// `need`. The lists only save time, never change bytes, so a run without
// room for them goes ahead without them: -1 then, the encoder's "none".
int64_t match_store_budget(int64_t width, int64_t height, int64_t need, int64_t limit, int32_t encoders);

// The limit in bytes: limit_mib MiB when given (above 0), else half the
// physical memory; never above largest_run_memory_bytes.
int64_t memory_limit_bytes(int32_t limit_mib);

// What every frame of an animation takes beyond its pixels, however small
// they are: its records, its encoded still and the containers holding them
// (about 2.5 KB measured on GIFs of thousands of 1 x 1 frames, whose file
// spends 23 bytes a frame).
constexpr int64_t kAnimationFrameBytes = 4096;

// The memory the frames of the animation in data take beyond the run's need
// (run_memory_bytes), counted from its frame headers as the animation paths
// count it before taking the frames apart: for an animated PNG 8 bytes a
// pixel (24 at 16 bits) of every frame and of a default image that is no
// frame, for an animated GIF 16 bytes a pixel of its width x height screen
// per frame, and kAnimationFrameBytes per frame for both. *frames gets the frame count.
// 0 (and no frames) for a file that is no animation or whose frames can't be
// taken apart; INT64_MAX where the count would pass 64 bits.
int64_t animation_memory_bytes(const uint8_t* data, int32_t size, int32_t width, int32_t height, int32_t* frames);

// The memory limit that the encoder's 32-bit buffer sizes set for a
// picture of this width: the need (run_memory_bytes, plus
// wide_extra_memory_bytes for 16-bit samples) of the tallest picture of that
// width whose output buffer, (4 * width + 6) * height ((8 * width + 6) for
// 16-bit samples) plus the kept chunks (at most input_size) and 2111 bytes
// of slack, the encoder can count in 32 bits. A picture of that width needs
// more than this exactly when it is taller, so the check against the memory
// limit covers the 32-bit sizes too. At widths where not even one row fits,
// it is the need of no rows at all.
int64_t largest_need_at_width(int64_t width, int64_t input_size, bool wide);

// The need of run_memory_bytes (plus wide_extra_memory_bytes when wide) in
// whole MiB, rounded up, for the message that refuses a picture; counted
// anew where the bytes would pass 64 bits, so that any header gets its figure.
int64_t run_memory_mib(int64_t width, int64_t height, int64_t input_size, bool wide);

// What a 16-bit PNG needs beyond run_memory_bytes: its wide samples (8 bytes
// a pixel) and the 16-bit output buffer and filtered rows or checking copy
// (4 more each), 16 bytes per pixel.
int64_t wide_extra_memory_bytes(int64_t width, int64_t height);

#pragma once
#include <cstdint>

// One chunk as the walk found it. Every pointer lies inside the walked image.
struct PngChunkView {
  int64_t position;     // offset of the chunk's length field
  uint32_t length;      // the stated payload length, which may exceed the image
  const uint8_t* type;  // the 4 type bytes
  const uint8_t* data;  // the payload
  int64_t available;    // payload bytes inside the image: min(length, what is left)
  bool complete;        // payload and CRC both lie inside the image
  uint32_t stored_crc;  // the CRC field when complete, else 0
};

enum class PngWalkEnd : int8_t {
  kNotYet,     // the walk has not ended
  kClean,      // the last chunk ended exactly at the end of the image
  kStray,      // 1 to 7 bytes were left, too few for a length and a type
  kTruncated,  // the last chunk returned ran past the end of the image
};

// A walk over the chunks of a PNG file image: each next() call returns the
// chunk at the cursor and moves past it. The walk ends for good (further
// calls return false) at the end of the image, after a chunk that runs past
// it, or when fewer than 8 bytes are left; end says which. Positions are
// 64-bit, so a length near 4 GiB ends the walk instead of wrapping it.
struct PngChunkWalk {
  const uint8_t* image;
  int64_t size;
  int64_t next_position;  // where the next chunk's length field is
  PngWalkEnd end;
};

// Starts at the chunk whose length field is at first (8 right after the
// signature). The signature itself is not checked here.
PngChunkWalk png_chunk_walk(const uint8_t* image, int64_t size, int64_t first = 8);

// Fills *chunk with the next chunk and returns true, or returns false once
// the walk has ended. A chunk that runs past the image is still returned
// (complete false, available clipped) and ends the walk.
bool png_chunk_next(PngChunkWalk* walk, PngChunkView* chunk);

// True when a complete chunk's stored CRC matches its type and payload.
bool png_chunk_crc_ok(const PngChunkView& chunk);

bool png_chunk_is(const PngChunkView& chunk, const char* type);

#include "decode/png_chunk_walk.h"

#include <array>
#include <cstring>

#include "decode/byte_reader.h"

namespace {

// The reflected CRC-32 of the chunk check, one entry per byte value, built by
// the compiler so that no table is written at run time.
constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

uint32_t crc_update(uint32_t crc, const uint8_t* p, int64_t n) {
  for (int64_t i = 0; i < n; ++i) crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

}  // namespace

PngChunkWalk png_chunk_walk(const uint8_t* image, int64_t size, int64_t first) {
  PngChunkWalk walk{image, image == nullptr || size < 0 ? 0 : size, first, PngWalkEnd::kNotYet};
  if (first < 0 || first > walk.size) walk.end = PngWalkEnd::kTruncated;
  return walk;
}

bool png_chunk_next(PngChunkWalk* walk, PngChunkView* chunk) {
  if (walk->end != PngWalkEnd::kNotYet) return false;
  const int64_t left = walk->size - walk->next_position;
  if (left == 0) {
    walk->end = PngWalkEnd::kClean;
    return false;
  }
  if (left < 8) {
    walk->end = PngWalkEnd::kStray;
    return false;
  }
  ByteReader head(walk->image, walk->size);
  head.seek(walk->next_position);
  chunk->position = walk->next_position;
  chunk->length = head.be32();
  chunk->type = head.bytes(4);
  chunk->data = walk->image + head.pos;
  const int64_t after_header = head.remaining();
  chunk->available = after_header < int64_t(chunk->length) ? after_header : int64_t(chunk->length);
  chunk->complete = int64_t(chunk->length) + 4 <= after_header;
  chunk->stored_crc = 0;
  if (chunk->complete) {
    head.skip(chunk->length);
    chunk->stored_crc = head.be32();
    walk->next_position = head.pos;
  } else {
    walk->end = PngWalkEnd::kTruncated;
    walk->next_position = walk->size;
  }
  return true;
}

bool png_chunk_crc_ok(const PngChunkView& chunk) {
  if (!chunk.complete) return false;
  uint32_t crc = crc_update(0xFFFFFFFFu, chunk.type, 4);
  crc = crc_update(crc, chunk.data, chunk.length);
  return (crc ^ 0xFFFFFFFFu) == chunk.stored_crc;
}

bool png_chunk_is(const PngChunkView& chunk, const char* type) { return std::memcmp(chunk.type, type, 4) == 0; }

#pragma once
#include <cstddef>
#include <cstdint>

// The output side of the encoder: a byte sink into kbuf that counts bytes past
// its capacity without storing them (so a pass that does not fit still learns
// its exact size) and an LSB-first bit writer over it. The encoder owns the
// sink, writes its chunks into it and hands it to the deflate stream; how the
// stream's bytes are framed is the encoder's business.
struct BitWriter {
  uint8_t* kbuf;
  int32_t kbuf_capacity;  // bytes of kbuf that may be written
  int32_t out_count;      // bytes emitted in the current PNG; offset of the next byte
  uint32_t bit_buffer;    // bit 0 goes out first
  int32_t bit_count;      // 0..7 between calls
};

// The reflected CRC-32 table for polynomial 0xEDB88320.
const uint32_t* crc_table();
// Folds n bytes into a CRC register (no pre- or post-inversion).
uint32_t crc32_fold(uint32_t crc, const uint8_t* p, size_t n);

uint32_t adler32_update(uint32_t byte, uint32_t adler);
// Adler-32 over a buffer, with the same result as adler32_update byte by byte.
uint32_t adler32_bytes(uint32_t adler, const uint8_t* p, size_t n);

constexpr uint32_t byte_swap32(uint32_t x) {
  return x >> 24 | (x >> 8 & 0xFF00u) | (x << 8 & 0xFF0000u) | x << 24;
}

inline void emit_byte(BitWriter* w, uint32_t b) {
  if (w->out_count < w->kbuf_capacity) w->kbuf[w->out_count] = uint8_t(b);
  w->out_count += 1;
}
void emit_bytes(BitWriter* w, const uint8_t* p, int32_t n);
// Writes a 32-bit value most significant byte first.
void emit_be32(BitWriter* w, uint32_t v);

// Appends the n low bits of value, least significant first. Callers keep
// bit_count + n <= 32: Huffman codes and extra bits go in separate calls of at
// most 15 bits, and 32-bit values only at a byte boundary.
inline void put_bits(BitWriter* w, uint32_t value, int n) {
  w->bit_buffer |= value << w->bit_count;
  w->bit_count += n;
  while (w->bit_count >= 8) {
    const uint32_t byte = w->bit_buffer & 0xFF;
    emit_byte(w, byte);
    w->bit_buffer >>= 8;
    w->bit_count -= 8;
  }
}

// Starts a zlib stream at a byte boundary: header 78 5E (deflate, 32 KiB
// window, level field 1, no dictionary).
void begin_zlib(BitWriter* w);
// Pads to a byte and writes the Adler-32 trailer of the uncompressed bytes.
void end_zlib(BitWriter* w, uint32_t adler);

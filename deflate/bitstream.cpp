#include "deflate/bitstream.h"

namespace {

struct CrcTable {
  uint32_t entries[256];
};

// Built by the compiler, so that the table is never written at run time.
constexpr CrcTable build_crc_table() {
  CrcTable t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t.entries[n] = c;
  }
  return t;
}

constexpr CrcTable kCrcTable = build_crc_table();

constexpr uint32_t kAdlerModulus = 65521;
// The largest run of bytes whose sums cannot overflow 32 bits before the
// modulo is taken (the same bound zlib uses).
constexpr size_t kAdlerRun = 5552;

}  // namespace

const uint32_t* crc_table() { return kCrcTable.entries; }

uint32_t crc32_fold(uint32_t crc, const uint8_t* p, size_t n) {
  const uint32_t* t = crc_table();
  for (size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ t[(crc ^ p[i]) & 0xFF];
  return crc;
}

uint32_t adler32_update(uint32_t byte, uint32_t adler) {
  uint32_t s1 = (adler & 0xFFFF) + byte;
  if (s1 >= kAdlerModulus) s1 -= kAdlerModulus;
  uint32_t s2 = (adler >> 16) + s1;
  if (s2 >= kAdlerModulus) s2 -= kAdlerModulus;
  return (s2 << 16) + s1;
}

uint32_t adler32_bytes(uint32_t adler, const uint8_t* p, size_t n) {
  uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
  while (n > 0) {
    const size_t run = n < kAdlerRun ? n : kAdlerRun;
    for (size_t i = 0; i < run; ++i) {
      s1 += p[i];
      s2 += s1;
    }
    s1 %= kAdlerModulus;
    s2 %= kAdlerModulus;
    p += run;
    n -= run;
  }
  return s2 << 16 | s1;
}

void emit_bytes(BitWriter* w, const uint8_t* p, int32_t n) {
  for (int32_t i = 0; i < n; ++i) emit_byte(w, p[i]);
}

void emit_be32(BitWriter* w, uint32_t v) {
  emit_byte(w, v >> 24);
  emit_byte(w, v >> 16 & 0xFF);
  emit_byte(w, v >> 8 & 0xFF);
  emit_byte(w, v & 0xFF);
}

void begin_zlib(BitWriter* w) {
  w->bit_buffer = 0;
  w->bit_count = 0;
  put_bits(w, 0x78, 8);
  put_bits(w, 0x5E, 8);
}

void end_zlib(BitWriter* w, uint32_t adler) {
  put_bits(w, 0, (-w->bit_count) & 7);
  put_bits(w, byte_swap32(adler), 32);
}

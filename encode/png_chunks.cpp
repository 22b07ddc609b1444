#include "encode/png_chunks.h"

#include <cstring>

namespace {

constexpr uint8_t kSignatureAndIhdrHead[16] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A,
                                               0,    0,   0,   13,  'I',  'H',  'D',  'R'};
constexpr uint8_t kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
// PNG limits a chunk's data length to 2^31 - 1; with its 12 framing bytes a
// kept chunk must still be countable in a signed 32-bit output size.
constexpr uint32_t kMaxChunkData = 0x7FFFFFFFu - 12;

inline uint32_t read_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Length, type, data and a CRC over type and data.
void emit_chunk(BitWriter* w, const char* type, const uint8_t* data, uint32_t n) {
  uint8_t head[8];
  store_be32(head, n);
  std::memcpy(head + 4, type, 4);
  emit_bytes(w, head, 8);
  emit_bytes(w, data, int32_t(n));
  uint32_t crc = crc32_fold(0xFFFFFFFFu, head + 4, 4);
  crc = crc32_fold(crc, data, n);
  emit_be32(w, ~crc);
}

bool chunk_is(const uint8_t* chunk, const char* type) { return std::memcmp(chunk + 4, type, 4) == 0; }

void copy_chunk(BitWriter* w, const uint8_t* chunk) {
  const int64_t size = kept_chunk_size(chunk);
  if (size > 0) emit_bytes(w, chunk, int32_t(size));
}

// The input's significant bits, re-shaped for the output's channels. A short
// input chunk lends its first value to the channels it lacks.
void write_sbit(BitWriter* w, const uint8_t* chunk, int32_t colour_type, int32_t bit_depth) {
  const uint32_t n = read_be32(chunk);
  // An empty sBIT carries nothing to re-shape; inventing values would claim
  // precision the input never stated.
  if (n == 0) return;
  uint8_t s[4];
  for (uint32_t k = 0; k < 4; ++k) s[k] = k < n ? chunk[8 + k] : 0;
  if (n < 4) s[3] = s[0];
  if (n < 3) s[1] = s[2] = s[0];
  // Only a 16-bit input states more than 8 significant bits; written at 8
  // bits, where every sample was exact, 8 is all there is.
  if (bit_depth <= 8)
    for (uint8_t& v : s) v = v > 8 ? 8 : v;
  uint8_t data[4];
  uint32_t len = 0;
  data[len++] = s[0];
  if (colour_type == 2 || colour_type == 3 || colour_type == 6) {
    data[len++] = s[1];
    data[len++] = s[2];
  }
  if (colour_type == 4 || colour_type == 6) data[len++] = s[3];
  emit_chunk(w, "sBIT", data, len);
}

inline uint8_t scale_sample(uint32_t v, int32_t bit_depth) {
  if (bit_depth == 8) return uint8_t(v);
  return uint8_t(v * ((1u << bit_depth) - 1) / 255);
}

int32_t group_end(const EncodeOptions* o, int32_t limit) {
  if (limit > o->kept_count) limit = o->kept_count;
  return limit > 256 ? 256 : limit;
}

}  // namespace

int64_t kept_chunk_size(const uint8_t* chunk) {
  const uint32_t n = read_be32(chunk);
  if (n > kMaxChunkData) return 0;
  return int64_t(n) + 12;
}

int32_t write_header_chunks(BitWriter* w, const EncodeOptions* o, PrintFn print, const PngHeader* h) {
  w->out_count = 0;
  uint8_t ihdr[13];
  store_be32(ihdr, uint32_t(h->width));
  store_be32(ihdr + 4, uint32_t(h->height));
  ihdr[8] = uint8_t(h->bit_depth);
  ihdr[9] = uint8_t(h->colour_type);
  ihdr[10] = ihdr[11] = ihdr[12] = 0;
  emit_bytes(w, kSignatureAndIhdrHead, 8);
  emit_chunk(w, "IHDR", ihdr, 13);

  const bool have_chunks = o->kept_chunks != nullptr;
  const int32_t first = o->kept_first < 0 ? 0 : o->kept_first;
  const int32_t before_plte = group_end(o, o->kept_before_plte);
  const int32_t before_idat = group_end(o, o->kept_before_idat);
  for (int32_t i = first; have_chunks && i < before_plte; ++i) {
    const uint8_t* chunk = o->kept_chunks[i];
    if (chunk_is(chunk, "bKGD")) continue;
    if (chunk_is(chunk, "sBIT")) {
      write_sbit(w, chunk, h->colour_type, h->bit_depth);
      continue;
    }
    copy_chunk(w, chunk);
  }

  const uint32_t background = o->background;
  int32_t background_index = 0;
  if (h->colour_type == 3) {
    int32_t count = h->palette_count;
    if (background != 0) {
      int32_t i = count - 1;
      while (i >= 0 && ((h->palette[i] ^ background) & 0xFFFFFF) != 0) --i;
      if (i < 0) {
        if (count >= (1 << h->bit_depth) || count >= 256) {
          print("\rbKGD chunk can't fit palette index. Try higher bitdepth, /c2 or /c6 instead\n");
          return 0;
        }
        h->palette[count] = background | 0xFF000000u;
        i = count;
        count += 1;
      }
      background_index = i;
    }
    uint8_t plte[768];
    int32_t last_translucent = -1;
    for (int32_t i = 0; i < count; ++i) {
      const uint32_t p = h->palette[i];
      plte[3 * i] = uint8_t(p >> 16);
      plte[3 * i + 1] = uint8_t(p >> 8);
      plte[3 * i + 2] = uint8_t(p);
      if ((p >> 24) < 0xFF) last_translucent = i;
    }
    emit_chunk(w, "PLTE", plte, uint32_t(3 * count));
    if (last_translucent >= 0) {
      uint8_t trns[256];
      for (int32_t i = 0; i <= last_translucent; ++i) trns[i] = uint8_t(h->palette[i] >> 24);
      emit_chunk(w, "tRNS", trns, uint32_t(last_translucent + 1));
    }
  } else if (h->key16 != nullptr && (h->colour_type == 0 || h->colour_type == 2)) {
    const uint16_t* k = h->key16;
    const uint8_t trns[6] = {uint8_t(k[0] >> 8), uint8_t(k[0]), uint8_t(k[1] >> 8),
                             uint8_t(k[1]),      uint8_t(k[2] >> 8), uint8_t(k[2])};
    emit_chunk(w, "tRNS", trns, h->colour_type == 0 ? 2 : 6);
  } else if (h->transparent_key != 0xFFFFFFFFu && (h->colour_type == 0 || h->colour_type == 2)) {
    const uint32_t k = h->transparent_key;
    if (h->colour_type == 0) {
      const uint8_t trns[2] = {0, scale_sample(k & 0xFF, h->bit_depth)};
      emit_chunk(w, "tRNS", trns, 2);
    } else {
      const uint8_t trns[6] = {0, uint8_t(k >> 16), 0, uint8_t(k >> 8), 0, uint8_t(k)};
      emit_chunk(w, "tRNS", trns, 6);
    }
  }

  if (background != 0) {
    if (h->bit_depth == 16) {
      // The input's own 16-bit samples when it had them, else the 8-bit
      // colour widened exactly.
      uint16_t b[3] = {uint16_t((background >> 16 & 0xFF) * 257), uint16_t((background >> 8 & 0xFF) * 257),
                       uint16_t((background & 0xFF) * 257)};
      if (o->background16 != nullptr) std::memcpy(b, o->background16, sizeof b);
      const uint8_t data[6] = {uint8_t(b[0] >> 8), uint8_t(b[0]), uint8_t(b[1] >> 8),
                               uint8_t(b[1]),      uint8_t(b[2] >> 8), uint8_t(b[2])};
      emit_chunk(w, "bKGD", data, h->colour_type == 0 || h->colour_type == 4 ? 2 : 6);
    } else if (h->colour_type == 3) {
      const uint8_t data[1] = {uint8_t(background_index)};
      emit_chunk(w, "bKGD", data, 1);
    } else if (h->colour_type == 0 || h->colour_type == 4) {
      const uint8_t data[2] = {0, scale_sample(background & 0xFF, h->bit_depth)};
      emit_chunk(w, "bKGD", data, 2);
    } else {
      const uint8_t data[6] = {0, scale_sample(background >> 16 & 0xFF, h->bit_depth),
                               0, scale_sample(background >> 8 & 0xFF, h->bit_depth),
                               0, scale_sample(background & 0xFF, h->bit_depth)};
      emit_chunk(w, "bKGD", data, 6);
    }
  }

  const int32_t second = before_plte < first ? first : before_plte;
  for (int32_t i = second; have_chunks && i < before_idat; ++i) {
    const uint8_t* chunk = o->kept_chunks[i];
    if (chunk_is(chunk, "bKGD")) continue;
    if (chunk_is(chunk, "hIST") && h->colour_type != 3) continue;
    copy_chunk(w, chunk);
  }
  return 1;
}

int32_t open_chunk(BitWriter* w, const char* type) {
  const int32_t start = w->out_count;
  uint8_t head[8] = {0, 0, 0, 0};
  std::memcpy(head + 4, type, 4);
  emit_bytes(w, head, 8);
  return start;
}

void close_chunk(BitWriter* w, int32_t start) {
  const int32_t end = w->out_count;
  const uint32_t length = uint32_t(end - start - 8);
  // The CRC lies after the data, so it is stored only when all of them are.
  const bool stored = end <= w->kbuf_capacity;
  emit_be32(w, stored ? ~crc32_fold(0xFFFFFFFFu, w->kbuf + start + 4, size_t(length) + 4) : 0);
  if (start + 4 <= w->kbuf_capacity) store_be32(w->kbuf + start, length);
}

void write_trailer_chunks(BitWriter* w, const EncodeOptions* o) {
  const int32_t start = o->kept_before_idat < 0 ? 0 : o->kept_before_idat;
  const int32_t end = group_end(o, o->kept_count);
  for (int32_t i = start; o->kept_chunks && i < end; ++i) copy_chunk(w, o->kept_chunks[i]);
  emit_bytes(w, kIend, 12);
}

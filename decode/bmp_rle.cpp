#include "decode/bmp_rle.h"

#include "decode/byte_reader.h"

// The stream is a sequence of two-byte codes. (n, v) with n > 0 repeats v for
// n pixels (for 4 bits the two nibbles of v alternate, high first; for 24 bits
// v is three bytes, so that run takes four). (0, 0) ends the row, (0, 1) ends the picture, (0, 2, dx,
// dy) moves the position right and up (towards later stored rows), and (0, n)
// with n >= 3 is followed by n literal pixels, padded to an even byte count.
// Pixels that would fall past the right edge of a row are dropped: the
// position never wraps into the next row.
namespace {

struct Position {
  const BmpRleStream* s;
  const DecodeTarget* t;
  int64_t x = 0;               // picture column
  int64_t row = 0;             // stored row, 0 = first in the stream
  uint32_t* line = nullptr;    // target row, null outside the target
  int64_t x_lo = 0, x_hi = 0;  // picture columns inside the target
  int64_t written = 0;

  void select_row() {
    line = nullptr;
    if (row >= s->height) return;
    const int64_t y = (s->top_down ? row : s->height - 1 - row) + t->y_offset;
    if (y >= 0 && y < t->height)
      line = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t->pixels) + y * t->pitch);
  }

  bool done() const { return row >= s->height; }

  // Room left in the row for `n` pixels.
  int64_t room(int64_t n) const { return n < s->width - x ? n : s->width - x; }

  void put(uint32_t colour) {
    if (line != nullptr && x >= x_lo && x < x_hi) line[x + t->x_offset] = colour;
    ++x;
    ++written;
  }
};

uint32_t bgr(const uint8_t* p) { return 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

}  // namespace

BmpRleResult decode_bmp_rle(const BmpRleStream& s, const DecodeTarget& t) {
  Position at;
  at.s = &s;
  at.t = &t;
  at.x_lo = t.x_offset < 0 ? -int64_t(t.x_offset) : 0;
  at.x_hi = s.width < int64_t(t.width) - t.x_offset ? s.width : int64_t(t.width) - t.x_offset;

  // Skipped pixels are transparent black: clear the part of the target the
  // picture covers before the stream writes into it.
  // Only the rows inside the target are visited, however far the offset
  // moves the picture.
  const int64_t first_row = t.y_offset < 0 ? -int64_t(t.y_offset) : 0;
  for (int64_t row = first_row; row < s.height; ++row) {
    const int64_t y = row + t.y_offset;
    if (y >= t.height) break;
    uint32_t* line = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
    for (int64_t x = at.x_lo; x < at.x_hi; ++x) line[x + t.x_offset] = 0;
  }
  at.select_row();

  const int64_t pixel_bytes = s.bits == 24 ? 3 : 1;
  // Literal pixels at p, the i-th of a run.
  auto literal = [&s](const uint8_t* p, int64_t i) -> uint32_t {
    if (s.bits == 24) return bgr(p + 3 * i);
    if (s.bits == 8) return s.palette[p[i]];
    return s.palette[(p[i >> 1] >> ((i & 1) ? 0 : 4)) & 0x0F];
  };
  ByteReader in(s.data, s.size);
  bool ended = true;
  int64_t codes = 0;
  while (!at.done()) {
    if (!in.has(2)) break;
    ++codes;
    const int64_t count = in.u8();
    const uint32_t code = in.u8();
    if (count > 0) {
      const int64_t n = at.room(count);
      uint32_t c;
      if (s.bits == 24) {
        // The colour of a 24-bit run is three bytes after the count: the
        // code byte is its blue.
        if (!in.has(2)) break;
        const uint32_t green = in.u8();
        c = 0xFF000000u | in.u8() << 16 | green << 8 | code;
      } else if (s.bits == 8) {
        c = s.palette[code];
      } else {
        const uint32_t pair[2] = {s.palette[code >> 4], s.palette[code & 0x0F]};
        for (int64_t i = 0; i < n; ++i) at.put(pair[i & 1]);
        continue;
      }
      for (int64_t i = 0; i < n; ++i) at.put(c);
      continue;
    }
    if (code == 0) {  // end of row
      at.x = 0;
      ++at.row;
      at.select_row();
    } else if (code == 1) {  // end of picture
      ended = false;
      break;
    } else if (code == 2) {  // delta
      if (!in.has(2)) break;
      at.x += in.u8();
      if (at.x > s.width) at.x = s.width;
      at.row += in.u8();
      at.select_row();
    } else {  // literal pixels
      const int64_t bytes = s.bits == 4 ? (int64_t(code) + 1) / 2 : int64_t(code) * pixel_bytes;
      if (!in.has(bytes)) {
        // A cut literal run still gives the pixels whose bytes are there.
        const int64_t left = in.remaining();
        const int64_t whole = s.bits == 4 ? 2 * left : left / pixel_bytes;
        const uint8_t* p = in.bytes(left);
        const int64_t n = at.room(whole);
        for (int64_t i = 0; i < n; ++i) at.put(literal(p, i));
        break;
      }
      const uint8_t* p = in.bytes(bytes);
      const int64_t n = at.room(code);
      for (int64_t i = 0; i < n; ++i) at.put(literal(p, i));
      // Literal runs are padded to an even byte count.
      in.skip(bytes & 1);
    }
  }
  // A stream that gave every pixel is whole without its end code.
  if (at.done() || at.written == s.width * s.height) ended = false;
  return BmpRleResult{at.written, ended, at.row < s.height ? at.row : s.height, codes + at.written};
}

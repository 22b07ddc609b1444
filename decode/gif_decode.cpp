#include "decode/gif_decode.h"

#include <algorithm>
#include <cstring>

#include "decode/byte_reader.h"

// Only the first image of the file is decoded; later frames and everything
// after the first image's data are ignored.
//
// Truncated or damaged image data: whatever the LZW stream delivered before it
// ended (the data or the sub-blocks ran out, an end code came early, or a code
// named an entry that does not exist yet) stays in place, and every pixel of
// the image rectangle that was not reached gets the same colour as the border
// around a smaller image (the background entry with a global table, else
// transparent black). The result is still 0, with info.incomplete set,
// so the caller can warn and keep the part that was there. A file cut short
// before its image data begins has no picture at all and is refused.
namespace {

constexpr int kMaxCodes = 4096;   // 12-bit codes
constexpr int kMaxCodeSize = 11;  // larger would put the clear code outside the table
constexpr int kBlockBufferSize = 768;
// A refill keeps at most two unread bytes and appends one sub-block of at most
// 255 bytes; the zeroed tail read by the last 32-bit load must fit as well.
static_assert(2 + 255 + 4 <= kBlockBufferSize);
static_assert((1 << kMaxCodeSize) + 2 < kMaxCodes);

// Bounds-checked position in the file image: every read is preceded by has().
struct Cursor {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
  bool has(int64_t n) const { return size - pos >= n; }
};

// Where the decoded indices of the image go: the current image row and column,
// the interlace pass, and the part of each row that lands inside the target.
struct RowWriter {
  const DecodeTarget* target;
  const uint32_t* palette;
  int64_t origin_x, origin_y;          // target position of image pixel (0, 0)
  int64_t width, height;               // image size
  int64_t visible_begin, visible_end;  // image columns inside the target
  int64_t column, row;                 // image coordinates of the next pixel
  int32_t step;                        // 8, 4, 2 or 1
  bool first_pass;
  bool complete;
  uint32_t* line;  // target row of `row`, null when outside the target

  void select_line() {
    const int64_t y = origin_y + row;
    line = nullptr;
    if (y >= 0 && y < target->height)
      line = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(target->pixels) + y * target->pitch);
    // In the last pass rows only move down: once they leave the target nothing
    // further can be seen, so the rest of the stream need not be decoded.
    if (step <= 2 && y >= target->height) complete = true;
  }

  void next_row() {
    column = 0;
    row += step;
    while (row >= height) {
      // An empty pass (its first row at or below the bottom) is passed over.
      if (step == 8 && first_pass) {
        first_pass = false;
        row = 4;
      } else if (step == 8) {
        row = 2;
        step = 4;
      } else if (step == 4) {
        row = 1;
        step = 2;
      } else {
        complete = true;
        return;
      }
    }
    select_line();
  }

  // Emits stack[n] down to stack[0], a row segment at a time.
  void emit(const uint8_t* stack, int64_t n) {
    int64_t i = n;
    while (i >= 0 && !complete) {
      const int64_t run = std::min(i + 1, width - column);
      if (line != nullptr) {
        const int64_t begin = std::max(column, visible_begin);
        const int64_t end = std::min(column + run, visible_end);
        for (int64_t c = begin; c < end; ++c) line[origin_x + c] = palette[stack[i - (c - column)]];
      }
      column += run;
      i -= run;
      if (column == width) next_row();
    }
  }

  // Gives every pixel not yet reached the same colour, in the same order.
  void fill_rest(uint32_t colour) {
    while (!complete) {
      if (line != nullptr) {
        const int64_t begin = std::max(column, visible_begin);
        for (int64_t c = begin; c < visible_end; ++c) line[origin_x + c] = colour;
      }
      column = width;
      next_row();
    }
  }
};

enum class LzwEnd { kImageComplete, kEndCode, kDataEnded, kBadCode };

// The string table: for each code the code it extends and its last byte, so a
// string is read back last byte first into the stack with one walk.
struct Lzw {
  uint16_t prefix[kMaxCodes];
  uint8_t suffix[kMaxCodes];
  uint8_t stack[kMaxCodes];
  uint8_t block[kBlockBufferSize];
  int32_t held;  // valid bytes in block
  int64_t bit_position;
  bool exhausted;  // no more sub-blocks: the terminator, or the end of the data
  Cursor* in;

  // Moves the unread bytes to the front and appends the next sub-block.
  void refill() {
    const int32_t from = int32_t(bit_position >> 3);
    const int32_t keep = held > from ? held - from : 0;
    std::memmove(block, block + from, size_t(keep));
    held = keep;
    bit_position &= 7;
    if (!in->has(1)) {
      exhausted = true;
    } else {
      const int64_t length = in->data[in->pos++];
      if (length == 0) {
        exhausted = true;
      } else {
        const int64_t available = std::min(length, in->size - in->pos);
        std::memcpy(block + held, in->data + in->pos, size_t(available));
        held += int32_t(available);
        in->pos += available;
        if (available < length) exhausted = true;
      }
    }
    // Loads past the held bytes read zeros, never bytes of an older block.
    std::memset(block + held, 0, 4);
  }

  // Keeps at least three bytes ahead of the next code, so that one 32-bit
  // load holds all of it. Short sub-blocks are joined until it does.
  void keep_ahead() {
    while (!exhausted && held - int32_t(bit_position >> 3) < 3) refill();
  }

  LzwEnd decode(int32_t code_size, RowWriter& out) {
    const int32_t clear = 1 << code_size;
    const int32_t end_code = clear + 1;
    for (int32_t e = 0; e < clear; ++e) {
      prefix[e] = uint16_t(e);
      suffix[e] = uint8_t(e);
    }
    int32_t width = code_size + 1;
    int32_t next = clear + 2;
    int32_t limit = 2 * clear;

    held = 0;
    bit_position = 0;
    exhausted = false;
    std::memset(block, 0, 4);
    keep_ahead();

    while (!out.complete) {
      if (exhausted && bit_position + width > int64_t(held) * 8) return LzwEnd::kDataEnded;
      const uint8_t* p = block + (bit_position >> 3);
      const uint32_t word = read_le32(p);
      const int32_t code = int32_t((word >> (bit_position & 7)) & uint32_t(limit - 1));
      bit_position += width;
      keep_ahead();

      if (code == clear) {
        next = clear + 2;
        width = code_size + 1;
        limit = 2 * clear;
        continue;
      }
      if (code == end_code) return LzwEnd::kEndCode;
      // Only entries already made (the last one possibly still provisional)
      // may be named; anything else has no string and could make the walk
      // below circle.
      if (code >= next) return LzwEnd::kBadCode;
      if (next == limit && width < 12) {
        ++width;
        limit *= 2;
      }

      // The entry for this code is made now with a provisional last byte (its
      // own first byte), and the previous entry is completed with this
      // string's first byte. A code naming the provisional entry therefore
      // reads as the previous string plus its own first byte.
      if (next < kMaxCodes) prefix[next] = uint16_t(code);
      int32_t e = code;
      int32_t n = 0;
      while (e >= clear && n < kMaxCodes - 1) {
        stack[n++] = suffix[e];
        e = prefix[e];
      }
      stack[n] = uint8_t(e);
      if (next < kMaxCodes) suffix[next] = uint8_t(e);
      if (next - 1 < kMaxCodes) suffix[next - 1] = uint8_t(e);
      out.emit(stack, n);
      // Past a full table no entry is made or changed until a clear code;
      // stopping the count one above keeps entry 4095 from being rewritten.
      if (next <= kMaxCodes) ++next;
    }
    return LzwEnd::kImageComplete;
  }
};

void fill_rect(const DecodeTarget& t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t colour) {
  x0 = std::max<int64_t>(x0 + t.x_offset, 0);
  x1 = std::min<int64_t>(x1 + t.x_offset, t.width);
  y0 = std::max<int64_t>(y0 + t.y_offset, 0);
  y1 = std::min<int64_t>(y1 + t.y_offset, t.height);
  for (int64_t y = y0; y < y1; ++y) {
    uint32_t* line = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
    for (int64_t x = x0; x < x1; ++x) line[x] = colour;
  }
}

// Skips the sub-blocks up to and including the zero length. False when the
// data ends first.
bool skip_sub_blocks(Cursor& c) {
  for (;;) {
    if (!c.has(1)) return false;
    const int64_t length = c.data[c.pos++];
    if (length == 0) return true;
    if (!c.has(length)) return false;
    c.pos += length;
  }
}

// What comes before the first image's data: the screen, the colour table in
// use, the transparent index in force and the image descriptor.
struct FirstImage {
  int64_t screen_width, screen_height;
  uint8_t screen_flags, background_index;
  const uint8_t* table;  // null without a table
  int32_t count;         // entries of the table in use (or the size the screen names)
  int32_t transparent;   // -1: none
  int64_t left, top, width, height;
  uint8_t image_flags;
};

// Walks the header, the extensions and the image descriptor. Bytes between
// blocks that start no block are passed over one at a time, as the first
// version of the format asks readers to; the trailer before any image ends
// the walk with nothing found.
bool find_first_image(Cursor& c, FirstImage* f) {
  const uint8_t* d = c.data;
  if (c.size < 13) return false;
  f->screen_width = read_le16(d + 6);
  f->screen_height = read_le16(d + 8);
  f->screen_flags = d[10];
  f->background_index = d[11];
  c.pos = 13;
  f->count = 1 << ((f->screen_flags & 7) + 1);
  f->table = nullptr;
  if (f->screen_flags & 0x80) {
    if (!c.has(3 * f->count)) return false;
    f->table = d + c.pos;
    c.pos += 3 * f->count;
  }
  f->transparent = -1;
  for (;;) {
    if (!c.has(1)) return false;
    const uint8_t block_type = d[c.pos++];
    if (block_type == 0x2C) break;
    if (block_type == 0x3B) return false;
    if (block_type != 0x21) continue;
    if (!c.has(1)) return false;
    if (d[c.pos] == 0xF9) {
      // Label, block size, packed flags, two delay bytes, transparent index.
      if (!c.has(6)) return false;
      if (d[c.pos + 2] & 1) f->transparent = d[c.pos + 5];
    }
    c.pos += 1;
    if (!skip_sub_blocks(c)) return false;
  }
  if (!c.has(9)) return false;
  f->left = read_le16(d + c.pos);
  f->top = read_le16(d + c.pos + 2);
  f->width = read_le16(d + c.pos + 4);
  f->height = read_le16(d + c.pos + 6);
  f->image_flags = d[c.pos + 8];
  c.pos += 9;
  if (f->image_flags & 0x80) {
    f->count = 1 << ((f->image_flags & 7) + 1);
    if (!c.has(3 * f->count)) return false;
    f->table = d + c.pos;
    c.pos += 3 * f->count;
  }
  // A screen of no width or height (some writers leave it 0) is as large as
  // the first image reaches.
  if (f->screen_width == 0) f->screen_width = f->left + f->width;
  if (f->screen_height == 0) f->screen_height = f->top + f->height;
  return true;
}

// Passes over sub-blocks up to and including the zero length; false when the
// data ends first.
bool pass_sub_blocks(ByteReader& r) {
  for (;;) {
    const uint32_t length = r.u8();
    if (!r.ok()) return false;
    if (length == 0) return true;
    r.skip(length);
    if (!r.ok()) return false;
  }
}

}  // namespace

int32_t gif_image_count(const uint8_t* d, int32_t size) {
  ByteReader r(d, size);
  r.skip(10);
  const uint32_t screen_flags = r.u8();
  r.skip(2);
  if (screen_flags & 0x80) r.skip(3 * (int64_t(1) << ((screen_flags & 7) + 1)));
  if (!r.ok()) return 0;
  int32_t images = 0;
  while (r.has(1)) {
    const uint32_t block_type = r.u8();
    if (block_type == 0x3B) break;
    if (block_type == 0x21) {
      r.skip(1);
      if (!pass_sub_blocks(r)) break;
    } else if (block_type == 0x2C) {
      images += 1;
      r.skip(8);
      const uint32_t image_flags = r.u8();
      if (image_flags & 0x80) r.skip(3 * (int64_t(1) << ((image_flags & 7) + 1)));
      r.skip(1);
      if (!r.ok() || !pass_sub_blocks(r)) break;
    }
  }
  return images;
}

void probe_gif(const uint8_t* d, int32_t size, int32_t* width, int32_t* height) {
  if (d == nullptr || size < 13) return;
  *width = int32_t(read_le16(d + 6));
  *height = int32_t(read_le16(d + 8));
  if (*width != 0 && *height != 0) return;
  Cursor c{d, size, 13};
  FirstImage f;
  if (!find_first_image(c, &f)) return;
  *width = int32_t(f.screen_width);
  *height = int32_t(f.screen_height);
}

int32_t decode_gif(const uint8_t* d, int32_t size, const DecodeTarget& t, SourceInfo& info) {
  info.source_color_type = 3;
  info.source_bit_depth = 8;
  // Byte 12 (the pixel aspect ratio) only says how to stretch the picture
  // for display; a non-zero value changes none of its pixels.
  Cursor c{d, size, 13};
  FirstImage f;
  if (!find_first_image(c, &f)) return -1;
  const int64_t screen_width = f.screen_width, screen_height = f.screen_height;
  const bool has_global_table = (f.screen_flags & 0x80) != 0;
  const uint8_t background_index = f.background_index;
  const int32_t count = f.count;
  const uint8_t* table = f.table;
  const int32_t transparent = f.transparent;
  const int64_t left = f.left, top = f.top, width = f.width, height = f.height;
  const uint8_t image_flags = f.image_flags;
  if (c.has(1) && d[c.pos] > kMaxCodeSize) return -1;

  uint32_t* palette = info.palette;
  info.palette_count = count;
  for (int32_t i = 0; i < 256; ++i) {
    if (i >= count) {
      palette[i] = 0xFF000000u;
    } else if (table != nullptr) {
      const uint8_t* e = table + 3 * i;
      palette[i] = 0xFF000000u | uint32_t(e[0]) << 16 | uint32_t(e[1]) << 8 | e[2];
    } else {
      // No colour table at all: a grey ramp over the table size keeps distinct
      // indices distinct instead of turning the whole picture black.
      const uint32_t grey = uint32_t(i * 255 / (count - 1));
      palette[i] = 0xFF000000u | grey * 0x010101u;
    }
  }
  if (transparent >= 0) palette[transparent] &= 0x00FFFFFFu;

  const uint32_t background = has_global_table ? palette[background_index] : 0;
  if (left != 0 || top != 0 || width != screen_width || height != screen_height) {
    const int64_t image_top = std::min(top, screen_height);
    const int64_t image_bottom = std::min(top + height, screen_height);
    fill_rect(t, 0, 0, screen_width, image_top, background);
    for (int64_t y = image_top; y < image_bottom; ++y) {
      fill_rect(t, 0, y, std::min(left, screen_width), y + 1, background);
      fill_rect(t, left + width, y, screen_width, y + 1, background);
    }
    fill_rect(t, 0, std::max(image_bottom, image_top), screen_width, screen_height, background);
  }

  RowWriter out{};
  out.target = &t;
  out.palette = palette;
  out.origin_x = int64_t(t.x_offset) + left;
  out.origin_y = int64_t(t.y_offset) + top;
  out.width = width;
  out.height = height;
  out.visible_begin = std::max<int64_t>(0, -out.origin_x);
  out.visible_end = std::min<int64_t>(width, int64_t(t.width) - out.origin_x);
  const bool interlaced = (image_flags & 0x40) != 0;
  out.step = interlaced ? 8 : 1;
  out.first_pass = interlaced;
  // An image of no pixels, or one wholly outside the target, is complete
  // before its data is read.
  const bool rows_visible = out.origin_y < t.height && out.origin_y + height > 0;
  out.complete = width == 0 || height == 0 || out.visible_begin >= out.visible_end || !rows_visible;
  if (!out.complete) out.select_line();
  if (out.complete) return 0;

  LzwEnd end = LzwEnd::kDataEnded;
  if (c.has(1)) {
    const int32_t code_size = d[c.pos++];
    Lzw lzw{};
    lzw.in = &c;
    end = lzw.decode(code_size, out);
  }
  if (end != LzwEnd::kImageComplete && !out.complete) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(std::clamp<int64_t>(out.origin_y + out.row, 0, t.height));
    out.fill_rest(background);
  }
  return 0;
}

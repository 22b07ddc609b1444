#include "decode/gif_decode.h"

#include <algorithm>
#include <cstdlib>
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
  int64_t steps;   // loop rounds of emit, skip and fill_rest, for SourceInfo::work

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

  // Rows of the current pass, from the current one on, that lie outside the
  // target: above it, up to the first row that reaches it; below it, all the
  // rest, since a pass only moves down. At least 1 when line is null.
  int64_t invisible_rows() const {
    const int64_t y = origin_y + row;
    const int64_t left_in_pass = (height - row + step - 1) / step;
    if (y < 0) return std::min(left_in_pass, (step - 1 - y) / step);
    return left_in_pass;
  }

  // Pixels from the next one on that land nowhere in the target: the rest of
  // an invisible run of columns, or of rows within the pass.
  int64_t invisible_ahead() const {
    if (line == nullptr) return (width - column) + (invisible_rows() - 1) * width;
    if (column < visible_begin) return visible_begin - column;
    if (column >= visible_end) return width - column;
    return 0;
  }

  // Moves n pixels on without writing any (they are invisible); whole
  // invisible rows are passed over together, so the steps do not grow with
  // the rows an image reaches beyond the target.
  void skip(int64_t n) {
    while (n > 0 && !complete) {
      ++steps;
      if (line == nullptr && column == 0) {
        const int64_t rows = std::min(invisible_rows(), n / width);
        if (rows > 0) {
          row += (rows - 1) * step;
          n -= rows * width;
          next_row();
          continue;
        }
      }
      const int64_t run = std::min(n, width - column);
      column += run;
      n -= run;
      if (column == width) next_row();
    }
  }

  // Emits stack[n] down to stack[0], a row segment at a time.
  void emit(const uint8_t* stack, int64_t n) {
    int64_t i = n;
    while (i >= 0 && !complete) {
      ++steps;
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

  // Gives every pixel not yet reached the same colour, in the same order;
  // runs of invisible rows are passed over together.
  void fill_rest(uint32_t colour) {
    while (!complete) {
      ++steps;
      if (line == nullptr) {
        row += (invisible_rows() - 1) * step;
      } else {
        const int64_t begin = std::max(column, visible_begin);
        for (int64_t c = begin; c < visible_end; ++c) line[origin_x + c] = colour;
      }
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
  uint16_t length[kMaxCodes];  // of each code's string
  uint8_t first[kMaxCodes];    // each string's first byte
  uint8_t stack[kMaxCodes];
  uint8_t block[kBlockBufferSize];
  int32_t held;  // valid bytes in block
  int64_t bit_position;
  bool exhausted;  // no more sub-blocks: the terminator, or the end of the data
  Cursor* in;
  int64_t steps;  // codes read and string entries walked

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
      length[e] = 1;
      first[e] = uint8_t(e);
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
      ++steps;

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
      // A string that lands wholly outside the target is passed over by its
      // length, without the walk: what the table needs of it is its first
      // byte, and an image far larger than its target costs no more than
      // the codes it is made of.
      const uint8_t head = first[code];
      const int64_t string_length = length[code];
      if (next < kMaxCodes) {
        prefix[next] = uint16_t(code);
        length[next] = uint16_t(string_length + 1);
        first[next] = head;
      }
      if (out.invisible_ahead() >= string_length) {
        out.skip(string_length);
      } else {
        int32_t e = code;
        int32_t n = 0;
        while (e >= clear && n < kMaxCodes - 1) {
          stack[n++] = suffix[e];
          e = prefix[e];
        }
        stack[n] = uint8_t(e);
        steps += n;
        out.emit(stack, n);
      }
      if (next < kMaxCodes) suffix[next] = head;
      if (next - 1 < kMaxCodes) suffix[next - 1] = head;
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
    info.work += lzw.steps;
  }
  if (end != LzwEnd::kImageComplete && !out.complete) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(std::clamp<int64_t>(out.origin_y + out.row, 0, t.height));
    out.fill_rest(background);
  }
  info.work += out.steps;
  return 0;
}

namespace {

// The colour decode_gif gives the screen around the first image: the entry
// of the background index in the table the first image uses (with its
// transparency), when the file has a global table; else transparent black.
uint32_t first_background(const uint8_t* d, const GifFrame& f) {
  const uint8_t screen_flags = d[10], image_flags = d[f.descriptor + 9];
  if (!(screen_flags & 0x80)) return 0;
  const bool local = (image_flags & 0x80) != 0;
  const int32_t count = 1 << (((local ? image_flags : screen_flags) & 7) + 1);
  const uint8_t* table = local ? d + f.descriptor + 10 : d + 13;
  const int32_t index = d[11];
  uint32_t colour = 0xFF000000u;
  if (index < count) {
    const uint8_t* e = table + 3 * index;
    colour |= uint32_t(e[0]) << 16 | uint32_t(e[1]) << 8 | e[2];
  }
  return index == f.transparent ? colour & 0x00FFFFFFu : colour;
}

}  // namespace

int32_t read_gif_frames(const uint8_t* d, int32_t size, GifAnimation* a, GifFrame* frames, int32_t capacity) {
  a->frame_count = 0;
  a->loop_count = -1;
  a->background = 0;
  ByteReader r(d, size);
  r.skip(10);
  const uint32_t screen_flags = r.u8();
  r.skip(2);
  if (screen_flags & 0x80) r.skip(3 * (int64_t(1) << ((screen_flags & 7) + 1)));
  if (!r.ok()) return -1;
  // The graphic control extension applies to the next image only.
  int32_t delay = 0, disposal = 0, transparent = -1;
  while (r.has(1)) {
    const uint32_t block_type = r.u8();
    if (block_type == 0x3B) break;
    if (block_type == 0x21) {
      const uint32_t label = r.u8();
      const int64_t body = r.pos;
      if (label == 0xF9 && r.has(5) && d[body] >= 4) {
        const uint8_t flags = d[body + 1];
        delay = int32_t(d[body + 2] | d[body + 3] << 8);
        disposal = (flags >> 2) & 7;
        transparent = (flags & 1) ? d[body + 4] : -1;
      } else if (label == 0xFF && r.has(16) && d[body] == 11 && std::memcmp(d + body + 1, "NETSCAPE2.0", 11) == 0 &&
                 d[body + 12] >= 3 && d[body + 13] == 1 && a->loop_count < 0) {
        // The first repeat count stands, as viewers take it.
        a->loop_count = int32_t(d[body + 14] | d[body + 15] << 8);
      }
      if (!pass_sub_blocks(r)) break;
    } else if (block_type == 0x2C) {
      GifFrame f{};
      f.descriptor = r.pos - 1;
      f.left = int32_t(r.le16());
      f.top = int32_t(r.le16());
      f.width = int32_t(r.le16());
      f.height = int32_t(r.le16());
      const uint32_t image_flags = r.u8();
      if (image_flags & 0x80) r.skip(3 * (int64_t(1) << ((image_flags & 7) + 1)));
      r.skip(1);
      if (!r.ok() || !pass_sub_blocks(r)) break;
      f.delay = delay;
      f.disposal = disposal;
      f.transparent = transparent;
      if (a->frame_count == 0) a->background = first_background(d, f);
      if (a->frame_count < capacity) frames[a->frame_count] = f;
      a->frame_count += 1;
      delay = 0;
      disposal = 0;
      transparent = -1;
    }
  }
  return 0;
}

// The frame becomes a GIF of its own, one image filling its screen, so the
// ordinary decode takes it with all its checks: the file's header and global
// table, a control block for the transparent index, the image descriptor
// moved to (0, 0), its local table and data as they stand.
int32_t decode_gif_frame(const uint8_t* d, int32_t size, const GifFrame& f, const DecodeTarget& target,
                         SourceInfo& info) {
  ByteReader r(d, size);
  r.skip(10);
  const uint32_t screen_flags = r.u8();
  r.skip(2);
  const int64_t global = (screen_flags & 0x80) ? 3 * (int64_t(1) << ((screen_flags & 7) + 1)) : 0;
  r.skip(global);
  r.seek(f.descriptor + 9);
  const uint32_t image_flags = r.u8();
  if (image_flags & 0x80) r.skip(3 * (int64_t(1) << ((image_flags & 7) + 1)));
  r.skip(1);
  if (!r.ok() || !pass_sub_blocks(r)) return -1;
  const int64_t image_end = r.pos;
  const int64_t image_bytes = image_end - f.descriptor;
  const int64_t total = 13 + global + 8 + image_bytes + 1;
  uint8_t* gif = static_cast<uint8_t*>(std::malloc(size_t(total)));
  if (gif == nullptr) return -1;
  int64_t n = 0;
  std::memcpy(gif, d, 6);
  gif[6] = uint8_t(f.width);
  gif[7] = uint8_t(f.width >> 8);
  gif[8] = uint8_t(f.height);
  gif[9] = uint8_t(f.height >> 8);
  gif[10] = uint8_t(screen_flags);
  gif[11] = 0;
  gif[12] = 0;
  n = 13;
  std::memcpy(gif + n, d + 13, size_t(global));
  n += global;
  const uint8_t control[8] = {0x21, 0xF9, 4, uint8_t(f.transparent >= 0 ? 1 : 0), 0, 0,
                              uint8_t(f.transparent >= 0 ? f.transparent : 0), 0};
  std::memcpy(gif + n, control, 8);
  n += 8;
  std::memcpy(gif + n, d + f.descriptor, size_t(image_bytes));
  gif[n + 1] = gif[n + 2] = gif[n + 3] = gif[n + 4] = 0;
  n += image_bytes;
  gif[n++] = 0x3B;
  reset_decode_fields(info);
  const int32_t result = decode_gif(gif, int32_t(n), target, info);
  std::free(gif);
  return result;
}

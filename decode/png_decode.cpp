#include "decode/png_decode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "decode/byte_reader.h"
#include "decode/inflate.h"
#include "decode/png_chunk_walk.h"

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// A row of more than this many bytes (filter byte included) is refused by the
// ordinary decode; the verifying decode sizes its buffers from the header.
constexpr int64_t kRowLimit = 65536;
constexpr int64_t kUnlimitedRows = int64_t(INT32_MAX) - 64;
// Zero bytes in front of each row buffer stand for the pixels left of the
// first one, so the filters need no test for the row start (stride <= 8).
constexpr int32_t kRowPad = 8;

struct PassGeometry {
  int8_t x_start, y_start, x_step, y_step;
};

// Indexed by the pass number, which counts down: 7 is the first Adam7 pass,
// 1 the last, and 0 the single pass of a picture without interlacing.
const PassGeometry kPasses[8] = {{0, 0, 1, 1}, {0, 1, 1, 2}, {1, 0, 2, 2}, {0, 2, 2, 4},
                                 {2, 0, 4, 4}, {0, 4, 4, 8}, {4, 0, 8, 8}, {0, 0, 8, 8}};

struct RowAssembler {
  int32_t png_width, png_height;
  int32_t colour_type, depth;
  int32_t channels;
  int32_t stride;        // bytes of one whole pixel for the filters, at least 1
  uint32_t trns_colour;  // RGB colour that becomes transparent, 0 = none
  const uint32_t* palette;
  DecodeTarget target;
  // Depth 16 only: four samples (R, G, B, A) per pixel, target.width * 4 per
  // row, laid out like the target; and the transparent key at that depth.
  uint16_t* wide;
  bool has_key16;
  uint16_t key16[3];  // R, G, B; gray is in all three

  int32_t pass;
  int32_t x_start, y_start, x_step, y_step;
  int32_t pass_width;                  // pixels in a row of the pass
  int32_t row_bytes;                   // without the filter byte
  int32_t first_visible, visible_end;  // pass pixels inside the target
  int64_t row_y;                       // target row of the row being assembled

  int32_t current_filter;  // -1 while a filter byte comes next
  int32_t filled;          // bytes of the current row reconstructed so far
  uint8_t* row;            // the row being reconstructed
  uint8_t* prior;          // the previous row of the pass (zero at a pass start)

  int32_t first_filter;  // -1 until the first row starts
  uint32_t filter_mask;  // filter types of every later row
  bool done;             // the last row of the last pass is in
  bool stopped;          // a filter byte above 5 ended the use of the data
};

int64_t row_bytes_for(int64_t pixels, int32_t channels, int32_t depth) {
  return (pixels * channels * depth + 7) / 8;
}

// Rounds towards plus infinity for numerators of either sign.
int64_t ceil_div(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }

void setup_pass(RowAssembler* a) {
  for (;;) {
    const PassGeometry& g = kPasses[a->pass];
    a->x_start = g.x_start;
    a->y_start = g.y_start;
    a->x_step = g.x_step;
    a->y_step = g.y_step;
    if ((a->x_start < a->png_width && a->y_start < a->png_height) || a->pass <= 1) break;
    a->pass -= 1;
  }
  if (a->x_start >= a->png_width || a->y_start >= a->png_height) {
    // Only the last Adam7 pass can be empty here (a picture one row high).
    a->done = true;
    return;
  }
  a->pass_width = int32_t(ceil_div(a->png_width - a->x_start, a->x_step));
  a->row_bytes = int32_t(row_bytes_for(a->pass_width, a->channels, a->depth));
  std::memset(a->prior, 0, size_t(a->row_bytes));
  a->current_filter = -1;
  a->filled = 0;
  a->row_y = int64_t(a->y_start) + a->target.y_offset;
  const int64_t origin = int64_t(a->target.x_offset) + a->x_start;
  a->first_visible = int32_t(std::max<int64_t>(0, ceil_div(-origin, a->x_step)));
  a->visible_end =
      int32_t(std::clamp<int64_t>(ceil_div(int64_t(a->target.width) - origin, a->x_step), 0, a->pass_width));
}

inline uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
  const int32_t pa = std::abs(int32_t(b) - c);
  const int32_t pb = std::abs(int32_t(a) - c);
  const int32_t pc = std::abs(int32_t(a) + b - 2 * int32_t(c));
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// Reconstructs row bytes [from, from + n) from the raw bytes at src. The left
// neighbours come from the row itself and the upper ones from the prior row,
// so a row may arrive in any number of pieces.
void unfilter_span(RowAssembler* a, const uint8_t* src, int32_t from, int32_t n) {
  uint8_t* row = a->row;
  const uint8_t* up = a->prior;
  const int32_t s = a->stride;
  const int32_t end = from + n;
  switch (a->current_filter) {
    case 0:
      std::memcpy(row + from, src, size_t(n));
      break;
    case 1:
      for (int32_t i = from; i < end; ++i) row[i] = uint8_t(*src++ + row[i - s]);
      break;
    case 2:
      for (int32_t i = from; i < end; ++i) row[i] = uint8_t(*src++ + up[i]);
      break;
    case 3:
      for (int32_t i = from; i < end; ++i) row[i] = uint8_t(*src++ + ((row[i - s] + up[i]) >> 1));
      break;
    default:
      for (int32_t i = from; i < end; ++i) row[i] = uint8_t(*src++ + paeth(row[i - s], up[i], up[i - s]));
      break;
  }
}

// Samples are big-endian in the row; gray is spread over R, G and B so that
// every colour type compares alike.
void store_wide_row(const RowAssembler* a) {
  const DecodeTarget& t = a->target;
  uint16_t* out = a->wide + (a->row_y * t.width + int64_t(t.x_offset) + a->x_start +
                             int64_t(a->first_visible) * a->x_step) * 4;
  const int64_t step = int64_t(a->x_step) * 4;
  const int32_t channels = a->channels;
  for (int32_t i = a->first_visible; i < a->visible_end; ++i, out += step) {
    const uint8_t* p = a->row + int64_t(2) * channels * i;
    const uint16_t first = uint16_t(p[0] << 8 | p[1]);
    if (channels <= 2) {
      out[0] = out[1] = out[2] = first;
      out[3] = channels == 2 ? uint16_t(p[2] << 8 | p[3]) : 0xFFFF;
      if (channels == 1 && a->has_key16 && first == a->key16[0]) out[3] = 0;
      continue;
    }
    out[0] = first;
    out[1] = uint16_t(p[2] << 8 | p[3]);
    out[2] = uint16_t(p[4] << 8 | p[5]);
    out[3] = channels == 4 ? uint16_t(p[6] << 8 | p[7]) : 0xFFFF;
    if (channels == 3 && a->has_key16 && out[0] == a->key16[0] && out[1] == a->key16[1] &&
        out[2] == a->key16[2])
      out[3] = 0;
  }
}

void store_row(const RowAssembler* a) {
  const DecodeTarget& t = a->target;
  if (a->depth == 16) return store_wide_row(a);
  uint32_t* out = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + a->row_y * t.pitch) +
                  (int64_t(t.x_offset) + a->x_start + int64_t(a->first_visible) * a->x_step);
  const int32_t step = a->x_step;
  const uint8_t* row = a->row;
  const uint32_t* palette = a->palette;
  if (a->depth < 8) {
    const int32_t depth = a->depth;
    const uint32_t mask = (1u << depth) - 1;
    for (int32_t i = a->first_visible; i < a->visible_end; ++i, out += step) {
      const int64_t bit = int64_t(i) * depth;
      *out = palette[(row[bit >> 3] >> (8 - depth - (bit & 7))) & mask];
    }
    return;
  }
  switch (a->colour_type) {
    case 6:
      for (int32_t i = a->first_visible; i < a->visible_end; ++i, out += step) {
        const uint8_t* p = row + 4 * i;
        *out = uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
      }
      break;
    case 2:
      for (int32_t i = a->first_visible; i < a->visible_end; ++i, out += step) {
        const uint8_t* p = row + 3 * i;
        const uint32_t v = 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        *out = (a->trns_colour != 0 && v == a->trns_colour) ? v & 0x00FFFFFFu : v;
      }
      break;
    case 4:
      for (int32_t i = a->first_visible; i < a->visible_end; ++i, out += step) {
        const uint8_t* p = row + 2 * i;
        *out = (palette[p[0]] & 0x00FFFFFFu) | uint32_t(p[1]) << 24;
      }
      break;
    default:
      for (int32_t i = a->first_visible; i < a->visible_end; ++i, out += step) *out = palette[row[i]];
      break;
  }
}

void finish_row(RowAssembler* a) {
  if (a->row_y >= 0 && a->row_y < a->target.height && a->first_visible < a->visible_end) store_row(a);
  a->row_y += a->y_step;
  std::swap(a->row, a->prior);
  a->current_filter = -1;
  a->filled = 0;
  if (a->row_y >= int64_t(a->png_height) + a->target.y_offset) {
    // Data after the last row of the last pass belong to no row: ignoring
    // them keeps them from being painted over the picture.
    if (a->pass <= 1) {
      a->done = true;
    } else {
      a->pass -= 1;
      setup_pass(a);
    }
  }
}

void unfilter_rows(void* context, const uint8_t* p, int32_t n) {
  auto* a = static_cast<RowAssembler*>(context);
  while (n > 0 && !a->done && !a->stopped) {
    if (a->current_filter < 0) {
      const int32_t filter = *p++;
      n -= 1;
      if (filter > 5) {
        a->stopped = true;
        return;
      }
      if (a->first_filter < 0)
        a->first_filter = filter;
      else
        a->filter_mask |= 1u << filter;
      // Type 5 is taken as Paeth on every machine.
      a->current_filter = filter == 5 ? 4 : filter;
      continue;
    }
    const int32_t take = std::min(n, a->row_bytes - a->filled);
    unfilter_span(a, p, a->filled, take);
    a->filled += take;
    p += take;
    n -= take;
    if (a->filled == a->row_bytes) finish_row(a);
  }
}

bool picture_complete(void* context) {
  const auto* a = static_cast<const RowAssembler*>(context);
  return a->done || a->stopped || (a->pass <= 1 && a->row_y >= a->target.height);
}

int8_t filter_summary(int32_t first, uint32_t mask) {
  if (first < 0) return -1;
  if ((mask & ~(1u << first)) == 0) return int8_t(first);
  if (first == 1 && mask == 1u << 3) return 3;
  return 5;
}

int32_t channels_of(int32_t colour_type) {
  switch (colour_type) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

// wide is null for the ordinary decode, which refuses depth 16, and set for
// the wide decode, which takes depth 16 only.
int32_t decode_png_limited(const uint8_t* d, int32_t size, const DecodeTarget& target, uint16_t* wide,
                           int64_t row_limit, SourceInfo& info) {
  bool have_header = false;
  int32_t width = 0, height = 0, depth = 0, colour_type = 0, interlaced = 0;
  uint32_t trns_colour = 0;
  bool has_key16 = false;
  uint16_t key16[3] = {0, 0, 0};

  PngChunkWalk walk = png_chunk_walk(d, size);
  PngChunkView c;
  for (;;) {
    if (!png_chunk_next(&walk, &c)) return -1;  // no image data
    if (png_chunk_is(c, "IDAT")) break;
    const uint8_t* type = c.type;
    // Fields are read only from the part of the payload inside the file.
    ByteReader payload(c.data, c.available);
    if (std::memcmp(type, "IHDR", 4) == 0) {
      // The caller sized its buffers and checked the memory limit from the
      // first header; a later one must not change the picture under it.
      if (have_header) return -1;
      const uint32_t w = payload.be32(), h = payload.be32();
      const uint32_t bits = payload.u8(), ct = payload.u8();
      const uint32_t compression = payload.u8(), filtering = payload.u8(), interlace = payload.u8();
      if (c.length < 13 || !payload.ok()) return -1;
      if (w == 0 || h == 0 || w > uint32_t(INT32_MAX) || h > uint32_t(INT32_MAX)) return -1;
      if (ct != 0 && ct != 2 && ct != 3 && ct != 4 && ct != 6) return -1;
      if ((bits == 16) != (wide != nullptr)) return -1;
      if (bits == 16) {
        if (ct == 3) return -1;
      } else {
        if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return -1;
        // Colour types with several samples exist only at depth 8 here; lower
        // depths would ask the conversion for bytes a packed row lacks.
        if ((ct == 2 || ct == 4 || ct == 6) && bits != 8) return -1;
      }
      if (compression != 0 || filtering != 0 || interlace > 1) return -1;
      width = int32_t(w);
      height = int32_t(h);
      depth = int32_t(bits);
      colour_type = int32_t(ct);
      interlaced = int32_t(interlace);
      info.source_bit_depth = int8_t(bits);
      info.source_color_type = int8_t(ct);
      if ((ct == 0 || ct == 4) && bits <= 8) {
        const uint32_t levels = 1u << bits;
        const uint32_t scale = 255 / (levels - 1);
        info.palette_count = int32_t(levels);
        for (uint32_t i = 0; i < levels; ++i) info.palette[i] = 0xFF000000u + i * scale * 0x010101u;
      }
      have_header = true;
    } else if (std::memcmp(type, "PLTE", 4) == 0) {
      const int32_t count = int32_t(std::min<int64_t>(payload.remaining() / 3, 256));
      info.palette_count = count;
      for (int32_t i = 0; i < count; ++i) {
        const uint32_t r = payload.u8(), g = payload.u8(), b = payload.u8();
        info.palette[i] = 0xFF000000u | r << 16 | g << 8 | b;
      }
    } else if (std::memcmp(type, "tRNS", 4) == 0 && have_header) {
      if (depth == 16 && (colour_type == 0 || colour_type == 2) && payload.has(colour_type == 0 ? 2 : 6)) {
        has_key16 = true;
        key16[0] = uint16_t(payload.be16());
        key16[1] = colour_type == 0 ? key16[0] : uint16_t(payload.be16());
        key16[2] = colour_type == 0 ? key16[0] : uint16_t(payload.be16());
      } else if (colour_type == 0 && payload.has(2)) {
        payload.skip(1);
        info.palette[payload.u8()] &= 0x00FFFFFFu;
      } else if (colour_type == 2 && depth == 8 && payload.has(6)) {
        const uint32_t r = payload.be16() & 0xFF, g = payload.be16() & 0xFF, b = payload.be16() & 0xFF;
        trns_colour = 0xFF000000u | r << 16 | g << 8 | b;
      } else if (colour_type == 3) {
        const int64_t n = std::min<int64_t>(payload.remaining(), info.palette_count);
        for (int64_t i = 0; i < n; ++i)
          info.palette[i] = (info.palette[i] & 0x00FFFFFFu) | payload.u8() << 24;
      }
    } else if (std::memcmp(type, "bKGD", 4) == 0 && have_header) {
      if (depth == 16 && (colour_type == 0 || colour_type == 4) && payload.has(2)) {
        const uint32_t x = payload.be16();
        info.background16[0] = info.background16[1] = info.background16[2] = uint16_t(x);
        info.background = 0xFF000000u + (x >> 8) * 0x010101u;
      } else if (depth == 16 && payload.has(6)) {
        for (uint16_t& v : info.background16) v = uint16_t(payload.be16());
        info.background = 0xFF000000u | uint32_t(info.background16[0] >> 8) << 16 |
                          uint32_t(info.background16[1] >> 8) << 8 | info.background16[2] >> 8;
      } else if ((colour_type == 0 || colour_type == 4) && payload.has(2)) {
        const uint32_t x = payload.be16() * 255u / ((1u << depth) - 1);
        info.background = 0xFF000000u + x * 0x010101u;
      } else if ((colour_type == 2 || colour_type == 6) && payload.has(6)) {
        const uint32_t r = payload.be16() & 0xFF, g = payload.be16() & 0xFF, b = payload.be16() & 0xFF;
        info.background = 0xFF000000u | r << 16 | g << 8 | b;
      } else if (colour_type == 3 && payload.has(1)) {
        info.background = info.palette[payload.u8()];
      }
    }
  }
  if (!have_header) return -1;

  if (depth < 8) {
    const int32_t levels = 1 << depth;
    for (int32_t i = levels; i < 256; ++i) info.palette[i] = info.palette[i % levels];
  }
  const int32_t channels = channels_of(colour_type);
  const int64_t full_row = row_bytes_for(width, channels, depth);
  if (full_row + 1 > row_limit) return -1;

  // Two rows, each behind its zero pad: the one being rebuilt and the one above.
  const size_t buffer = size_t(full_row) + 2 * kRowPad;
  uint8_t* rows = static_cast<uint8_t*>(std::calloc(2, buffer));
  if (rows == nullptr) return -1;

  RowAssembler a{};
  a.png_width = width;
  a.png_height = height;
  a.colour_type = colour_type;
  a.depth = depth;
  a.channels = channels;
  a.stride = std::max<int32_t>(1, channels * depth / 8);
  a.trns_colour = trns_colour;
  a.palette = info.palette;
  a.target = target;
  a.wide = wide;
  a.has_key16 = has_key16;
  std::memcpy(a.key16, key16, sizeof key16);
  a.pass = 7 * interlaced;
  a.row = rows + kRowPad;
  a.prior = rows + buffer + kRowPad;
  a.first_filter = -1;
  setup_pass(&a);

  const InflateSink sink{&a, unfilter_rows, picture_complete};
  InflateReport report;
  const int32_t result = inflate_idat(d, size, int32_t(c.position), sink, &report);
  std::free(rows);
  info.zlib_header = report.zlib_header;
  info.deflate_block_count = report.deflate_block_count;
  if (result != 0) return -1;

  info.source_filter = filter_summary(a.first_filter, a.filter_mask);
  if (colour_type == 4 || depth == 16) info.palette_count = 0;
  // A chunk that claims more bytes than the file holds means the file was
  // cut, even when the pixels it kept are all there.
  if (a.stopped || !picture_complete(&a) || report.chunk_cut != 0) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(std::clamp<int64_t>(a.row_y - a.target.y_offset, 0, a.png_height));
  }
  return 0;
}

}  // namespace

int32_t decode_png(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info) {
  return decode_png_limited(data, size, target, nullptr, kRowLimit, info);
}

int32_t decode_png_wide(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                        SourceInfo& info) {
  if (wide == nullptr) return -1;
  return decode_png_limited(data, size, target, wide, kRowLimit, info);
}

int32_t decode_png_verify_wide(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide) {
  if (wide == nullptr || data == nullptr || size < 8 || std::memcmp(data, kPngSignature, 8) != 0) return -1;
  SourceInfo info{};
  reset_decode_fields(info);
  int32_t result = decode_png_limited(data, size, target, wide, kUnlimitedRows, info);
  if (result == 0 && info.incomplete != 0) result = -1;
  return result;
}

int32_t png_sample_depth(const uint8_t* data, int32_t size) {
  // IHDR must come first, so its fields sit at fixed offsets.
  if (data == nullptr || size < 33 || std::memcmp(data, kPngSignature, 8) != 0) return 0;
  if (std::memcmp(data + 12, "IHDR", 4) != 0) return 0;
  return data[24];
}

int32_t decode_png_verify(const uint8_t* data, int32_t size, const DecodeTarget& target) {
  if (data == nullptr || size < 8 || std::memcmp(data, kPngSignature, 8) != 0) return -1;
  SourceInfo info{};
  reset_decode_fields(info);
  int32_t result = decode_png_limited(data, size, target, nullptr, kUnlimitedRows, info);
  // A written file that decodes only in part has failed its check.
  if (result == 0 && info.incomplete != 0) result = -1;
  return result;
}

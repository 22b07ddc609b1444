#include "decode/pcx_decode.h"

#include "decode/byte_reader.h"

// Layout: 128-byte header (0x0A, version, encoding 1, bits per plane value;
// signed xmin/ymin/xmax/ymax at 4..11, a 16-colour palette at 16..63, plane
// count at 65, bytes per plane row at 66), run-length data from 128, and for
// 8-bit indexes a 256-entry RGB palette in the last 768 bytes after a 0x0C
// marker. Each picture row is stored as `planes` plane rows of bytes-per-line
// values; the values past the width are padding. With fewer than 8 bits per
// value, plane p holds bits p * bits.. of each pixel's index, most
// significant pixel first within a byte.
namespace {

constexpr int64_t kHeaderSize = 128;
constexpr int64_t kPaletteSize = 768;
constexpr uint8_t kPaletteMarker = 0x0C;
constexpr int64_t kHeaderPaletteOffset = 16;
constexpr uint32_t kDcxSignature = 0x3ADE68B1u;

struct Window {
  int64_t width, height;
};

// The picture's size from its signed corner coordinates at 4..11; zero when
// the header is cut short.
Window window_of(const uint8_t* d, int64_t size) {
  ByteReader r(d, size);
  r.seek(4);
  const int64_t x_min = int16_t(r.le16()), y_min = int16_t(r.le16());
  const int64_t x_max = int16_t(r.le16()), y_max = int16_t(r.le16());
  if (!r.ok()) return {0, 0};
  return {x_max - x_min + 1, y_max - y_min + 1};
}

uint32_t rgb(const uint8_t* p) { return 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

// How the plane values become pixels.
enum class Kind {
  kIndexed8,  // one 8-bit plane of palette indexes (or gray levels)
  kRgb,       // three 8-bit planes: red, green, blue
  kPlanar,    // 1 to 4 planes of 1, 2 or 4 bits: index bits, then the palette
};

}  // namespace

bool is_pcx(const uint8_t* d, int32_t size) {
  if (size < 4 || d[0] != 0x0A || d[2] != 1) return false;
  const uint8_t version = d[1], bits = d[3];
  return (version == 0 || (version >= 2 && version <= 5)) &&
         (bits == 1 || bits == 2 || bits == 4 || bits == 8);
}

int32_t decode_pcx(const uint8_t* d, int32_t size, const DecodeTarget& t, SourceInfo& info) {
  if (d == nullptr || !is_pcx(d, size)) return -1;
  if (size < kHeaderSize) return -1;
  const Window w = window_of(d, size);
  const int64_t width = w.width, height = w.height;
  if (width < 1 || height < 1) return -1;
  ByteReader header(d, kHeaderSize);
  header.seek(3);
  const uint32_t bits = header.u8();
  header.seek(65);
  const uint32_t planes = header.u8();
  const int64_t line = header.le16();

  Kind kind;
  if (bits == 8 && planes == 1) {
    kind = Kind::kIndexed8;
  } else if (bits == 8 && planes == 3) {
    kind = Kind::kRgb;
  } else if (bits < 8 && planes >= 1 && bits * planes <= 4) {
    kind = Kind::kPlanar;
  } else {
    // Other plane counts describe layouts nothing here decodes; accepting them
    // would hand back a picture of which no pixel was written.
    return -1;
  }
  // A plane row shorter than the picture cannot hold its pixels (and a zero
  // length would never finish a row).
  if (line * 8 < width * bits) return -1;

  int64_t end = size;
  uint32_t* palette = info.palette;
  if (kind == Kind::kIndexed8) {
    ByteReader tail(d, size);
    tail.seek(end - kPaletteSize - 1);
    if (end >= kHeaderSize + kPaletteSize + 1 && tail.u8() == kPaletteMarker) {
      const uint8_t* p = tail.bytes(kPaletteSize);
      for (int i = 0; i < 256; ++i, p += 3) palette[i] = rgb(p);
      info.source_color_type = 3;
      info.palette_count = 256;
      // The palette is not image data: a short run-length stream must end
      // before it rather than decode it as pixels.
      end -= kPaletteSize + 1;
    } else {
      // No palette follows: the values are gray levels.
      for (uint32_t i = 0; i < 256; ++i) palette[i] = 0xFF000000u + i * 0x010101u;
      info.source_color_type = 0;
    }
    info.source_bit_depth = 8;
  } else if (kind == Kind::kPlanar) {
    const uint32_t index_bits = bits * planes;
    if (index_bits == 1) {
      // One bit in one plane is black and white; the header's colours are
      // left over from whatever wrote the file.
      palette[0] = 0xFF000000u;
      palette[1] = 0xFFFFFFFFu;
      info.source_color_type = 0;
      info.source_bit_depth = 1;
    } else {
      header.seek(kHeaderPaletteOffset);
      const uint8_t* p = header.bytes(48);
      for (int i = 0; i < 16; ++i) palette[i] = rgb(p + 3 * i);
      info.source_color_type = 3;
      info.source_bit_depth = int8_t(index_bits == 3 ? 4 : index_bits);
      info.palette_count = 1 << index_bits;
    }
  } else {
    info.source_color_type = 2;
  }

  const int64_t x_first = t.x_offset < 0 ? -int64_t(t.x_offset) : 0;
  const int64_t x_limit = int64_t(t.width) - t.x_offset;
  const int64_t x_hi = width < x_limit ? width : x_limit;
  auto row_of = [&](int64_t y) -> uint32_t* {
    y += t.y_offset;
    if (y < 0 || y >= t.height) return nullptr;
    return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
  };

  if (kind == Kind::kRgb) {
    // The planes fill red, green and blue one byte at a time.
    for (int64_t y = 0; y < height; ++y) {
      uint32_t* out = row_of(y);
      if (out == nullptr) continue;
      for (int64_t x = x_first; x < x_hi; ++x) out[x + t.x_offset] |= 0xFF000000u;
    }
  }

  // Planar pictures gather each pixel's index in its target pixel, plane by
  // plane, and turn the finished row into colours.
  const uint32_t per_byte = 8 / bits;
  const uint32_t value_mask = (1u << bits) - 1;
  auto finish_planar_row = [&](uint32_t* out, int64_t reached) {
    if (out == nullptr) return;
    const int64_t stop = reached < x_hi ? reached : x_hi;
    for (int64_t x = x_first; x < stop; ++x) out[x + t.x_offset] = palette[out[x + t.x_offset] & 0x0F];
  };
  // Bytes of a plane row that hold pixels; the rest is padding.
  const int64_t used = kind == Kind::kPlanar ? (width * bits + 7) / 8 : width;

  // Position in the stored values: byte within the plane row, plane, row.
  int64_t x = 0, y = 0;
  uint32_t plane = 0;
  uint32_t* out = row_of(0);
  // The run-length data ends where a trailing palette starts.
  ByteReader in(d, end);
  in.seek(kHeaderSize);
  int64_t decoded = 0, pieces = 0;
  while (y < height) {
    if (!in.has(1)) break;
    uint32_t value = in.u8();
    int64_t count = 1;
    if (value >= 0xC0) {
      if (!in.has(1)) break;
      count = value & 0x3F;
      value = in.u8();
    }
    // A run is handled a plane-row piece at a time: the values of the piece,
    // then its padding, then the move to the next plane or row.
    while (count > 0 && y < height) {
      ++pieces;
      const int64_t span = count < line - x ? count : line - x;
      const int64_t stop = x + span < used ? x + span : used;
      if (x < stop) {
        decoded += stop - x;
        if (out != nullptr && kind == Kind::kPlanar) {
          for (int64_t b = x; b < stop; ++b) {
            for (uint32_t k = 0; k < per_byte; ++k) {
              const int64_t px = b * per_byte + k;
              if (px >= x_hi) break;
              if (px < x_first) continue;
              const uint32_t v = (value >> (8 - bits * (k + 1))) & value_mask;
              uint32_t& p = out[px + t.x_offset];
              p = plane == 0 ? v : p | v << (plane * bits);
            }
          }
        } else if (out != nullptr) {
          const int64_t lo = x > x_first ? x : x_first;
          const int64_t hi = stop < x_hi ? stop : x_hi;
          if (kind == Kind::kIndexed8) {
            const uint32_t c = palette[value];
            for (int64_t i = lo; i < hi; ++i) out[i + t.x_offset] = c;
          } else {
            const uint32_t shift = 16 - 8 * plane;
            const uint32_t keep = ~(0xFFu << shift), put = value << shift;
            for (int64_t i = lo; i < hi; ++i) {
              uint32_t& px = out[i + t.x_offset];
              px = (px & keep) | put;
            }
          }
        }
      }
      x += span;
      count -= span;
      if (x == line) {
        x = 0;
        if (++plane == planes) {
          plane = 0;
          if (kind == Kind::kPlanar) finish_planar_row(out, width);
          out = row_of(++y);
        }
      }
    }
  }
  // A row the data stopped in holds gathered index bits: give colours to the
  // pixels its first plane reached; the others keep what the target held.
  if (kind == Kind::kPlanar && y < height && (plane > 0 || x > 0))
    finish_planar_row(out, plane > 0 ? width : x * per_byte);
  info.work = pieces + decoded;
  if (decoded == 0) return -1;
  if (y < height) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(y);
  }
  return 0;
}

bool is_dcx(const uint8_t* d, int32_t size) { return size >= 8 && read_le32(d) == kDcxSignature; }

// A page ends where the next one starts, or at the end of the file.
bool first_dcx_page(const uint8_t* d, int32_t size, int64_t* start, int64_t* length) {
  if (!is_dcx(d, size)) return false;
  ByteReader r(d, size);
  r.seek(4);
  const int64_t first = r.le32();
  if (first < 8 || first >= size) return false;
  int64_t page_end = size;
  const int64_t next = r.le32();
  if (r.ok() && next > first && next < size) page_end = next;
  *start = first;
  *length = page_end - first;
  return true;
}

void probe_dcx(const uint8_t* d, int32_t size, int32_t* width, int32_t* height) {
  int64_t start, length;
  if (!first_dcx_page(d, size, &start, &length) || length < 12 || !is_pcx(d + start, int32_t(length))) return;
  const Window w = window_of(d + start, length);
  *width = int32_t(w.width);
  *height = int32_t(w.height);
}

int32_t decode_dcx(const uint8_t* d, int32_t size, const DecodeTarget& t, SourceInfo& info) {
  int64_t start, length;
  if (d == nullptr || !first_dcx_page(d, size, &start, &length)) return -1;
  return decode_pcx(d + start, int32_t(length), t, info);
}

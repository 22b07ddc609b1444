#include "decode/tga_decode.h"

#include "decode/byte_reader.h"

// Layout: 18-byte header, an ID field of up to 255 bytes, the colour map when
// the map type is 1, then the pixel values, plain or in run-length packets
// that run on across row ends.
namespace {

constexpr int64_t kHeaderSize = 18;

struct Header {
  int64_t id_length;
  uint32_t map_type;
  uint32_t image_type;
  int64_t map_first;
  int64_t map_length;
  uint32_t map_entry_bits;
  int64_t width;
  int64_t height;
  uint32_t depth;
  uint32_t descriptor;
};

// False when the data is shorter than the header.
bool read_header(const uint8_t* d, int32_t size, Header* h) {
  ByteReader r(d, size);
  h->id_length = r.u8();
  h->map_type = r.u8();
  h->image_type = r.u8();
  h->map_first = r.le16();
  h->map_length = r.le16();
  h->map_entry_bits = r.u8();
  r.skip(4);  // origin
  h->width = r.le16();
  h->height = r.le16();
  h->depth = r.u8();
  h->descriptor = r.u8();
  return r.ok();
}

// A 5-bit channel repeats its top bits below itself, so 31 becomes 255 and
// the steps stay even.
inline uint32_t widen5(uint32_t v) {
  v &= 31;
  return v << 3 | v >> 2;
}

// The colour of `bytes` stored bytes: 1 = gray, 2 = 5-5-5 (bit 15 carries no
// colour), 3 = B G R, 4 = B G R A with the file's alpha kept.
inline uint32_t colour_of(const uint8_t* p, int64_t bytes) {
  switch (bytes) {
    case 1:
      return 0xFF000000u | uint32_t(p[0]) * 0x010101u;
    case 2: {
      const uint32_t v = read_le16(p);
      return 0xFF000000u | widen5(v >> 10) << 16 | widen5(v >> 5) << 8 | widen5(v);
    }
    case 3:
      return 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    default:
      return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
  }
}

// Hands out the colour of each position in file order, from plain values or
// run-length packets.
struct ValueReader {
  ByteReader in;
  int64_t value_size = 0;
  bool run_length = false;
  int64_t raw_left = 0;
  int64_t run_left = 0;
  uint32_t run_colour = 0;
  // Colour map, when the values are indexes into it.
  const uint8_t* map = nullptr;
  int64_t map_first = 0;
  int64_t map_entries = 0;  // entries that are both declared and present
  int64_t map_entry_size = 0;
  bool outside_map = false;  // some value indexed no entry of the map

  uint32_t colour(const uint8_t* p) {
    if (map == nullptr) return colour_of(p, value_size);
    const int64_t index = value_size == 1 ? int64_t(p[0]) : int64_t(read_le16(p));
    const int64_t slot = index - map_first;
    // An index the map does not hold has no colour: transparent black, as
    // for palette indexes beyond a short palette.
    if (slot < 0 || slot >= map_entries) {
      outside_map = true;
      return 0;
    }
    return colour_of(map + slot * map_entry_size, map_entry_size);
  }

  // False once the data ends before the position's value.
  bool next(uint32_t* out) {
    if (!run_length) {
      const uint8_t* value = in.bytes(value_size);
      if (value == nullptr) return false;
      *out = colour(value);
      return true;
    }
    if (raw_left == 0 && run_left == 0) {
      const uint32_t header = in.u8();
      if (!in.ok()) return false;
      if (header < 128) {
        raw_left = int64_t(header) + 1;
      } else {
        const uint8_t* value = in.bytes(value_size);
        if (value == nullptr) return false;
        run_colour = colour(value);
        run_left = int64_t(header) - 127;
      }
    }
    if (run_left > 0) {
      --run_left;
      *out = run_colour;
      return true;
    }
    const uint8_t* value = in.bytes(value_size);
    if (value == nullptr) return false;
    *out = colour(value);
    --raw_left;
    return true;
  }
};

}  // namespace

int32_t decode_tga(const uint8_t* d, int32_t size, const DecodeTarget& t, SourceInfo& info) {
  Header h;
  if (d == nullptr || size <= 19 || !read_header(d, size, &h)) return -1;
  const uint32_t type = h.image_type;
  if (h.map_type > 1) return -1;
  if (type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11) return -1;
  if (h.depth == 0 || h.depth > 32 || h.depth % 8 != 0) return -1;
  if (h.descriptor >= 64 || h.width == 0 || h.height == 0) return -1;

  const int64_t end = size;
  const int64_t value_size = (h.depth + 7) >> 3;
  const int64_t data_start = kHeaderSize + h.id_length;
  int64_t pixel_start = data_start;
  int64_t colour_size = value_size;
  const uint8_t* map = nullptr;
  int64_t map_entries = 0;
  if (h.map_type == 1) {
    const int64_t entry_size = (int64_t(h.map_entry_bits) + 7) >> 3;
    pixel_start = data_start + entry_size * h.map_length;
    // Only the colour-mapped image types index the map; true-colour and gray
    // images may carry one that nothing uses, and their values are colours.
    if (type == 1 || type == 9) {
      // No colour is defined for entries wider than 4 bytes (or of 0 bytes),
      // so such a picture cannot be decoded at all.
      if (entry_size == 0 || entry_size > 4) return -1;
      colour_size = entry_size;
      map = d + (data_start < end ? data_start : end);
      const int64_t present = data_start < end ? (end - data_start) / entry_size : 0;
      map_entries = h.map_length < present ? h.map_length : present;
    }
  }

  if (colour_size == 1) {
    info.source_color_type = 0;
    info.source_bit_depth = 8;
    for (uint32_t i = 0; i < 256; ++i) info.palette[i] = 0xFF000000u + i * 0x010101u;
  } else if (colour_size == 4) {
    info.source_color_type = 6;
  } else {
    info.source_color_type = 2;
  }

  ValueReader reader{ByteReader(d, size)};
  reader.in.seek(pixel_start);
  reader.value_size = value_size;
  reader.run_length = type >= 8;
  reader.map = map;
  reader.map_first = h.map_first;
  reader.map_entries = map_entries;
  reader.map_entry_size = colour_size;

  const bool top_down = (h.descriptor & 0x20) != 0;
  const bool right_to_left = (h.descriptor & 0x10) != 0;
  const int64_t x_first = t.x_offset < 0 ? -int64_t(t.x_offset) : 0;
  const int64_t x_limit = int64_t(t.width) - t.x_offset;

  int64_t decoded = 0;
  bool complete = true;
  for (int64_t row = 0; row < h.height && complete; ++row) {
    const int64_t y = (top_down ? row : h.height - 1 - row) + t.y_offset;
    uint32_t* out = nullptr;
    if (y >= 0 && y < t.height)
      out = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + y * t.pitch);
    for (int64_t column = 0; column < h.width; ++column) {
      uint32_t colour;
      if (!reader.next(&colour)) {
        complete = false;
        break;
      }
      ++decoded;
      const int64_t x = right_to_left ? h.width - 1 - column : column;
      if (out != nullptr && x >= x_first && x < x_limit) out[x + t.x_offset] = colour;
    }
  }
  info.work = decoded;
  if (decoded == 0) return -1;
  // Transparent black is a colour the map's own type cannot hold (gray or
  // opaque colours), so the picture is reported with an alpha channel, as a
  // BMP whose runs skip pixels is; otherwise a plain run would refuse it.
  if (reader.outside_map) info.source_color_type = colour_size == 1 ? 4 : 6;
  if (!complete) {
    info.incomplete = 1;
    info.decoded_rows = int32_t(decoded / h.width);
  }
  return 0;
}

#include "decode/jpeg_lossless.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decode/byte_reader.h"

namespace {

// The component planes are allocated whole; beyond this many bytes the
// picture is refused rather than risking the machine on a header's word.
constexpr int64_t kMaxPlaneBytes = int64_t(1) << 30;

// Scans may repeat a component; past this many decodes of every sample on
// average the picture is treated as damaged.
constexpr int64_t kMaxVisitsPerSample = 4;

struct Huffman {
  int32_t max_code[17];      // exclusive bound of the codes of each length
  int32_t value_offset[17];  // index of a length's first value minus its first code
  uint8_t values[256];
  int32_t count;             // 0: the file never defined this table
};

struct Component {
  int32_t id, h, v;
  int64_t plane_width, plane_height;  // samples stored: whole MCUs
  int64_t width, height;              // samples the picture needs
  uint16_t* plane;
  int64_t rows_done;  // rows of the plane decoded so far
};

struct ScanComponent {
  int32_t comp;
  int32_t table;
};

// The entropy-coded data: bytes in, stuffed zero bytes dropped. A marker
// stops the bytes; zeros are read in their place (and past the data's end),
// and counted.
struct Bits {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
  uint64_t buffer;
  int32_t count;
  int64_t zeros;  // bytes supplied that the data did not hold
};

void fill(Bits& b) {
  while (b.count <= 56) {
    uint32_t byte = 0;
    if (b.pos < b.size && b.data[b.pos] != 0xFF) {
      byte = b.data[b.pos++];
    } else if (b.pos + 1 < b.size && b.data[b.pos] == 0xFF && b.data[b.pos + 1] == 0) {
      byte = 0xFF;
      b.pos += 2;
    } else {
      b.zeros++;
    }
    b.buffer |= uint64_t(byte) << (56 - b.count);
    b.count += 8;
  }
}

uint32_t take(Bits& b, int n) {
  if (n == 0) return 0;
  if (b.count < n) fill(b);
  const uint32_t v = uint32_t(b.buffer >> (64 - n));
  b.buffer <<= n;
  b.count -= n;
  return v;
}

// -1 for a code the table does not hold.
int decode_symbol(Bits& b, const Huffman& h) {
  if (b.count < 16) fill(b);
  const uint32_t peek = uint32_t(b.buffer >> 48);
  for (int len = 1; len <= 16; len++) {
    const int32_t code = int32_t(peek >> (16 - len));
    if (code < h.max_code[len]) {
      const int32_t index = code + h.value_offset[len];
      if (index < 0 || index >= h.count) return -1;
      b.buffer <<= len;
      b.count -= len;
      return h.values[index];
    }
  }
  return -1;
}

// Moves past the restart marker the data should hold here: the rest of the
// current byte is padding, and bytes a damaged interval left before the
// marker are skipped.
void restart(Bits& b) {
  b.buffer = 0;
  b.count = 0;
  while (b.pos + 1 < b.size && !(b.data[b.pos] == 0xFF && b.data[b.pos + 1] != 0 && b.data[b.pos + 1] != 0xFF))
    b.pos++;
  if (b.pos + 1 < b.size && b.data[b.pos + 1] >= 0xD0 && b.data[b.pos + 1] <= 0xD7) {
    b.pos += 2;
    b.zeros = 0;
  }
}

struct Lossless {
  const uint8_t* data;
  int64_t size;
  SourceInfo* info;
  Huffman huff[4];
  bool have_frame;
  int32_t precision;
  int32_t width, height;
  int32_t comp_count;
  Component comp[4];
  int32_t h_max, v_max;
  int64_t mcu_cols, mcu_rows;
  uint32_t restart_interval;
  int64_t visits_left;
  int64_t work;
  int32_t point_transform;  // of the last scan; every scan of real files has the same
  bool damaged;             // a scan stopped before its end
};

int parse_dht(Lossless& c, ByteReader seg) {
  while (seg.remaining() > 0) {
    if (!seg.has(17)) return 0;
    const uint32_t kind = seg.u8();
    const uint8_t* counts = seg.bytes(16);
    int32_t total = 0;
    for (int i = 0; i < 16; i++) total += counts[i];
    if (total > 256 || (kind & 15) > 3) return -1;
    const uint8_t* symbols = seg.bytes(total);
    if (symbols == nullptr) return 0;
    // Only the difference tables (class 0) serve a predictive scan.
    if (kind >> 4 != 0) continue;
    Huffman& h = c.huff[kind & 15];
    h.count = total;
    std::memcpy(h.values, symbols, size_t(total));
    int32_t code = 0, index = 0;
    for (int len = 1; len <= 16; len++) {
      const int32_t n = counts[len - 1];
      h.value_offset[len] = index - code;
      code += n;
      index += n;
      h.max_code[len] = code;
      code <<= 1;
    }
  }
  return 0;
}

int parse_sof(Lossless& c, ByteReader seg) {
  c.precision = int32_t(seg.u8());
  c.height = int32_t(seg.be16());
  c.width = int32_t(seg.be16());
  c.comp_count = int32_t(seg.u8());
  if (!seg.ok() || c.precision < 2 || c.precision > 16 || c.width < 1 || c.height < 1) return -1;
  // Two components have no colour meaning, four (inks) none this decoder shows.
  if (c.comp_count != 1 && c.comp_count != 3) return -1;
  const uint8_t* entries = seg.bytes(3 * c.comp_count);
  if (entries == nullptr) return -1;
  c.h_max = c.v_max = 1;
  for (int i = 0; i < c.comp_count; i++) {
    Component& k = c.comp[i];
    k.id = entries[3 * i];
    k.h = entries[3 * i + 1] >> 4;
    k.v = entries[3 * i + 1] & 15;
    if (k.h < 1 || k.h > 4 || k.v < 1 || k.v > 4) return -1;
    for (int j = 0; j < i; j++)
      if (c.comp[j].id == k.id) return -1;
    c.h_max = std::max(c.h_max, k.h);
    c.v_max = std::max(c.v_max, k.v);
  }
  c.mcu_cols = (int64_t(c.width) + c.h_max - 1) / c.h_max;
  c.mcu_rows = (int64_t(c.height) + c.v_max - 1) / c.v_max;
  int64_t bytes = 0;
  for (int i = 0; i < c.comp_count; i++) {
    Component& k = c.comp[i];
    k.plane_width = c.mcu_cols * k.h;
    k.plane_height = c.mcu_rows * k.v;
    k.width = (int64_t(c.width) * k.h + c.h_max - 1) / c.h_max;
    k.height = (int64_t(c.height) * k.v + c.v_max - 1) / c.v_max;
    bytes += k.plane_width * k.plane_height * 2;
  }
  if (bytes > kMaxPlaneBytes) return -1;
  c.visits_left = kMaxVisitsPerSample * (bytes / 2) + 65536;
  c.have_frame = true;
  return 0;
}

int allocate_planes(Lossless& c) {
  for (int i = 0; i < c.comp_count; i++) {
    Component& k = c.comp[i];
    k.plane = static_cast<uint16_t*>(std::calloc(size_t(k.plane_width * k.plane_height), 2));
    if (k.plane == nullptr) return -1;
  }
  return 0;
}

// True when no picture pixel lands inside the target.
bool clip_empty(const Lossless& c, const DecodeTarget& t) {
  return t.width <= 0 || t.height <= 0 || int64_t(t.x_offset) >= t.width || int64_t(t.y_offset) >= t.height ||
         int64_t(t.x_offset) + c.width <= 0 || int64_t(t.y_offset) + c.height <= 0;
}

// The difference a Huffman symbol announces, with its extra bits.
int32_t read_difference(Bits& b, int category) {
  if (category == 0) return 0;
  if (category == 16) return 32768;
  const uint32_t v = take(b, category);
  return v < (1u << (category - 1)) ? int32_t(v) - int32_t((1u << category) - 1) : int32_t(v);
}

// The prediction of sample (x, y) of a plane from its left (a), upper (b)
// and upper-left (c) neighbours. The first row of a scan or of a restart
// interval predicts from the left, the first column from above, the first
// sample from the middle of the range.
int32_t predict(const uint16_t* plane, int64_t stride, int64_t x, int64_t y, bool first_row, int predictor,
                int32_t middle) {
  const uint16_t* p = plane + y * stride + x;
  if (first_row) return x == 0 ? middle : p[-1];
  if (x == 0) return p[-stride];
  const int32_t a = p[-1], b = p[-stride], c = p[-stride - 1];
  switch (predictor) {
    case 1: return a;
    case 2: return b;
    case 3: return c;
    case 4: return a + b - c;
    case 5: return a + ((b - c) >> 1);
    case 6: return b + ((a - c) >> 1);
    default: return (a + b) >> 1;
  }
}

// Result: 0 = the scan is decoded (or stopped, with damaged set), -1 = refused.
int decode_scan(Lossless& c, ByteReader seg, int64_t end, int64_t* resume) {
  if (!c.have_frame) return -1;
  const int n = int(seg.u8());
  if (!seg.ok() || n < 1 || n > c.comp_count) return -1;
  const uint8_t* entries = seg.bytes(2 * n);
  const int predictor = int(seg.u8());
  seg.u8();  // end of the spectral band: unused here
  const int point_transform = int(seg.u8() & 15);
  if (!seg.ok() || predictor < 1 || predictor > 7 || point_transform >= c.precision) return -1;
  ScanComponent scan[4];
  for (int i = 0; i < n; i++) {
    scan[i].comp = -1;
    for (int j = 0; j < c.comp_count; j++)
      if (c.comp[j].id == entries[2 * i]) scan[i].comp = j;
    scan[i].table = entries[2 * i + 1] >> 4;
    if (scan[i].comp < 0 || scan[i].table > 3 || c.huff[scan[i].table].count == 0) return -1;
    for (int j = 0; j < i; j++)
      if (scan[j].comp == scan[i].comp) return -1;
  }
  c.point_transform = point_transform;
  const int32_t middle = int32_t(1) << (c.precision - point_transform - 1);

  // One component alone steps one sample at a time over the samples the
  // picture needs; an interleaved scan steps whole MCUs.
  int64_t cols, rows;
  if (n == 1) {
    cols = c.comp[scan[0].comp].width;
    rows = c.comp[scan[0].comp].height;
  } else {
    cols = c.mcu_cols;
    rows = c.mcu_rows;
  }
  Bits b{c.data, c.size, end, 0, 0, 0};
  int64_t countdown = c.restart_interval;
  // The first row of every restart interval predicts as the first row of
  // the scan does; intervals start on MCU boundaries.
  int64_t interval_row = 0;
  for (int64_t my = 0; my < rows; ++my) {
    if (c.visits_left <= 0) {
      c.damaged = true;
      break;
    }
    for (int64_t mx = 0; mx < cols; ++mx) {
      if (c.restart_interval != 0 && countdown == 0) {
        restart(b);
        countdown = c.restart_interval;
        interval_row = my;
      }
      for (int i = 0; i < n; i++) {
        Component& k = c.comp[scan[i].comp];
        const Huffman& h = c.huff[scan[i].table];
        const int bh = n == 1 ? 1 : k.h, bv = n == 1 ? 1 : k.v;
        for (int sy = 0; sy < bv; sy++) {
          for (int sx = 0; sx < bh; sx++) {
            const int64_t x = mx * bh + sx, y = my * bv + sy;
            const int category = decode_symbol(b, h);
            if (category < 0 || category > 16) {
              c.damaged = true;
              goto scan_end;
            }
            const bool first_row = y == interval_row * bv;
            const int32_t predicted = predict(k.plane, k.plane_width, x, y, first_row, predictor, middle);
            k.plane[y * k.plane_width + x] = uint16_t(predicted + read_difference(b, category));
          }
        }
      }
      countdown--;
      c.work++;
    }
    c.visits_left -= cols;
    // A row that took bits past the data's end (or past a marker inside
    // it) was decoded from nothing: the data ends before it.
    if (b.zeros * 8 > b.count) {
      c.damaged = true;
      break;
    }
    for (int i = 0; i < n; i++) {
      Component& k = c.comp[scan[i].comp];
      k.rows_done = std::max(k.rows_done, (my + 1) * (n == 1 ? 1 : k.v));
    }
  }
scan_end:
  // The scan's data ends at the next marker that is not a restart.
  int64_t p = std::min(b.pos, b.size);
  while (p + 1 < b.size && !(b.data[p] == 0xFF && b.data[p + 1] != 0 && b.data[p + 1] != 0xFF &&
                             !(b.data[p + 1] >= 0xD0 && b.data[p + 1] <= 0xD7)))
    p++;
  *resume = p;
  return 0;
}

// Picture rows every component has decoded.
int64_t complete_rows(const Lossless& c) {
  int64_t rows = c.height;
  for (int i = 0; i < c.comp_count; i++) {
    const Component& k = c.comp[i];
    const int64_t done = std::min(k.rows_done, k.height);
    rows = std::min(rows, done >= k.height ? int64_t(c.height) : done * c.v_max / k.v);
  }
  return rows;
}

void render(const Lossless& c, const DecodeTarget& t, uint16_t* wide, int64_t rows) {
  const uint32_t mask = uint32_t(1u << c.precision) - 1;
  const int32_t shift = c.point_transform;
  const int64_t x0 = std::max<int64_t>(0, -int64_t(t.x_offset));
  const int64_t x1 = std::min<int64_t>(c.width, int64_t(t.width) - t.x_offset);
  const int64_t y0 = std::max<int64_t>(0, -int64_t(t.y_offset));
  const int64_t y1 = std::min<int64_t>(rows, int64_t(t.height) - t.y_offset);
  for (int64_t y = y0; y < y1; ++y) {
    const int64_t ty = y + t.y_offset;
    for (int64_t x = x0; x < x1; ++x) {
      uint32_t s[3] = {0, 0, 0};
      for (int i = 0; i < c.comp_count; i++) {
        const Component& k = c.comp[i];
        const int64_t sx = x * k.h / c.h_max, sy = y * k.v / c.v_max;
        s[i] = (uint32_t(k.plane[sy * k.plane_width + sx]) << shift) & mask;
      }
      if (c.comp_count == 1) s[1] = s[2] = s[0];
      const int64_t tx = x + t.x_offset;
      if (wide != nullptr) {
        uint16_t* out = wide + (ty * t.width + tx) * 4;
        out[0] = uint16_t(s[0]);
        out[1] = uint16_t(s[1]);
        out[2] = uint16_t(s[2]);
        out[3] = 0xFFFF;
      } else {
        reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(t.pixels) + ty * t.pitch)[tx] =
            0xFF000000u | s[0] << 16 | s[1] << 8 | s[2];
      }
    }
  }
}

int32_t run(Lossless& c, const DecodeTarget& target, uint16_t* wide) {
  ByteReader in(c.data, c.size);
  in.seek(2);
  bool scanned = false;
  while (in.remaining() > 0) {
    if (in.u8() != 0xFF) continue;
    while (in.peek() == 0xFF) in.skip(1);
    if (!in.has(1)) break;
    const uint32_t code = in.u8();
    if (code == 0xD9) break;
    if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
    if (!in.has(2)) break;
    const int64_t end = in.pos + std::max<int64_t>(in.be16(), 2);
    if (end > c.size) break;
    ByteReader seg(c.data + in.pos, end - in.pos);
    switch (code) {
      case 0xC4:
        if (parse_dht(c, seg) < 0) return -1;
        break;
      case 0xDD:
        if (seg.has(2)) c.restart_interval = seg.be16();
        break;
      case 0xC3:
        // A second frame belongs to another picture: this one ends here.
        if (c.have_frame) goto done;
        if (parse_sof(c, seg) < 0) return -1;
        if ((c.precision > 8) != (wide != nullptr)) return -1;
        // Nothing to show: the picture is not decoded at all.
        if (clip_empty(c, target)) {
          c.info->source_color_type = c.comp_count == 1 ? 0 : 2;
          return 0;
        }
        if (allocate_planes(c) < 0) return -1;
        break;
      case 0xDA: {
        int64_t resume = end;
        if (decode_scan(c, seg, end, &resume) < 0) {
          if (!scanned) return -1;
          c.damaged = true;
          goto done;
        }
        scanned = true;
        if (c.damaged) goto done;
        in.seek(resume);
        continue;
      }
      default:
        // Any other frame type mixed in is not this decoder's.
        if ((code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)) {
          if (c.have_frame) goto done;
          return -1;
        }
        break;
    }
    in.seek(end);
  }
done:
  if (!scanned) return -1;
  const int64_t rows = complete_rows(c);
  if (c.damaged || rows < c.height) {
    c.info->incomplete = 1;
    c.info->decoded_rows = int32_t(rows);
  }
  c.info->source_color_type = c.comp_count == 1 ? 0 : 2;
  c.info->source_bit_depth = wide != nullptr ? 16 : 8;
  render(c, target, wide, rows);
  return 0;
}

}  // namespace

int32_t decode_jpeg_lossless(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                             SourceInfo& info) {
  if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return -1;
  if (wide == nullptr && target.pixels == nullptr) return -1;
  Lossless* c = new (std::nothrow) Lossless{};
  if (c == nullptr) return -1;
  c->data = data;
  c->size = size;
  c->info = &info;
  const int32_t result = run(*c, target, wide);
  info.work = c->work;
  for (int i = 0; i < 4; i++) std::free(c->comp[i].plane);
  delete c;
  return result;
}

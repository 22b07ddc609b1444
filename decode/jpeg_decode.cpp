#include "decode/jpeg_decode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decode/byte_reader.h"
#include "decode/jpeg_arith.h"
#include "decode/jpeg_idct.h"
#include "decode/jpeg_lossless.h"
#include "decode/jpeg_render.h"

namespace {

// The coefficient store of a progressive picture is allocated whole. Beyond
// this size (about 700 megapixels of 4:2:0) the picture is refused rather
// than risking the machine on a header's word.
constexpr int64_t kMaxCoefficientBytes = int64_t(1) << 30;

// End-of-band runs let a few bytes of a progressive scan sweep the whole
// store, so a hostile file of many tiny scans could keep the decoder busy for
// minutes. Real files visit each block a handful of times (one visit per scan
// that holds its component); past this many visits per block on average the
// picture is treated as cut short.
constexpr int64_t kMaxVisitsPerBlock = 64;

struct JpegTables {
  uint8_t zigzag_order[64];     // natural position of the k-th zigzag coefficient
  uint8_t zigzag_position[64];  // inverse of zigzag_order
  uint8_t row_bit[64];          // 1 << row of zigzag_order[k]
  int32_t aan_scale[8];         // sqrt(2) cos(k pi / 16) in 8.24 fixed point
};

// Built by the compiler, so that no table is written at run time.
constexpr JpegTables build_tables() {
  JpegTables t{};
  int k = 0;
  for (int d = 0; d < 15; d++) {
    for (int i = 0; i < 8; i++) {
      const int r = (d & 1) ? i : 7 - i;
      const int c = d - r;
      if (c < 0 || c > 7) continue;
      t.zigzag_order[k++] = uint8_t(r * 8 + c);
    }
  }
  for (int i = 0; i < 64; i++) {
    t.zigzag_position[t.zigzag_order[i]] = uint8_t(i);
    t.row_bit[i] = uint8_t(1u << (t.zigzag_order[i] >> 3));
  }
  const int32_t scale[8] = {23726566, 23270667, 21920489, 19727919, 16777216, 13181774, 9079764, 4628823};
  for (int i = 0; i < 8; i++) t.aan_scale[i] = scale[i];
  return t;
}

constexpr JpegTables kJpegTables = build_tables();

const JpegTables& tables() { return kJpegTables; }

struct JpegHuffman {
  int32_t max_code[18];      // exclusive bound of the codes of each length
  int32_t value_offset[18];  // index of a length's first value minus its first code
  uint8_t values[256];
  int32_t value_count;
  // Codes of at most 10 bits: entry i answers every 10-bit prefix i below
  // fast_count with symbol | length << 8.
  uint16_t fast[1024];
  int32_t fast_count;
};

struct JpegComponent {
  int32_t id, h, v, quant, log2_h, log2_v;
  int64_t blocks_per_row;  // in the coefficient store
  int64_t block_rows;
  int64_t base;  // first block in the coefficient store
};

struct JpegScanComponent {
  int32_t comp;    // index into the frame components
  int32_t dc, ac;  // Huffman slots
  int32_t h_blocks, v_blocks;
  int32_t col_shift, row_shift;  // picture pixel -> block index
};

struct JpegContext {
  SourceInfo* info;  // the caller's record
  const uint8_t* data;
  int64_t size;
  int64_t pos;  // may run past size: the reader then supplies zero bytes
  uint32_t bits;
  int32_t bit_count;
  // Start of the last bytes taken into the buffer, so that unread bytes can
  // be given back exactly, stuffed 0xFF 0x00 pairs and markers included.
  int64_t byte_start[4];
  uint32_t byte_counter;
  int32_t marker_zeros;  // zero bytes read at a marker since the scan or its interval began
  bool scan_over;        // a restart found no restart marker: the scan's data has ended
  int64_t interval_row;  // picture row of the MCU row the current restart interval began in

  // Dequantisation multipliers per table id: luma scaled for output at 2^22
  // per sample unit, chroma at 2^16. The scale follows the component (the
  // first is luma), not the table id, so chroma sharing table 0 is right.
  int32_t quant_luma[4][64];
  int32_t quant_chroma[4][64];
  uint16_t quant_raw[4][64];  // the values the file gives, natural order, for deep samples
  JpegHuffman huff[8];

  bool have_frame;
  int32_t width, height;
  int32_t comp_count;
  JpegComponent comp[4];
  int32_t h_max, v_max, log2_h_max, log2_v_max;
  int64_t mcu_cols, mcu_rows;

  int32_t scan_count;
  JpegScanComponent scan[4];
  int32_t ss, se, ah, al;
  uint32_t dc_pred[4];
  uint32_t eob_run;
  uint32_t restart_interval;
  uint32_t restart_countdown;
  uint8_t next_restart;

  DecodeTarget target;
  uint16_t* wide;  // set for the decode of 12-bit pictures into 16-bit samples
  JpegOutput out;
  alignas(64) int32_t mcu_buffer[kJpegMcuBlocks * 64];
  int16_t spare_block[64];  // decode target for blocks that fall outside the store

  int16_t* coefficient_store;
  int64_t store_blocks;
  int32_t progressive_scans;
  int64_t visits_left;     // progressive block decodes still allowed
  int64_t blocks_decoded;  // every block of every scan, the decode's work
  bool decoded_any;        // some MCU was decoded (sequential: and stored)
  bool cut_short;          // the data ended inside a scan
  int64_t cut_row;         // with cut_short: the first picture row of the MCU row it ended in
  bool saw_end;            // an end-of-picture marker was met

  // Pictures the MCU-by-MCU path cannot show keep every scan in the
  // coefficient store and are rendered whole at the end: arithmetic coding,
  // four components, red-green-blue components, sampling factors of 3.
  bool arithmetic;
  bool progressive_frame;
  bool powers_of_two;  // every sampling factor is 1, 2 or 4
  bool whole_frame;    // decided at the first scan
  bool decided;
  uint8_t scanned;     // bit i: a scan held component i
  int32_t adobe_transform;  // from an Adobe segment: 0 none, 1 YCbCr, 2 YCCK; -1 without one
  bool saw_jfif;            // a JFIF segment: three components are YCbCr whatever else is said
  JpegArithConditioning conditioning;
  JpegArithDecoder arith;
};

// The next byte of entropy-coded data. A stuffed 0xFF 0x00 pair is one
// 0xFF; at a marker the data stops: zero bytes are read in its place
// (counted) and the position stays on it, so the marker and what follows
// are never taken for data. Past the end the position runs on over zeros.
inline void push_byte(JpegContext& c) {
  uint32_t b = 0;
  c.byte_start[c.byte_counter++ & 3] = c.pos;
  if (c.pos >= c.size) {
    c.pos++;
  } else if (c.data[c.pos] != 0xFF) {
    b = c.data[c.pos++];
  } else if (c.pos + 1 >= c.size || c.data[c.pos + 1] == 0) {
    b = 0xFF;
    c.pos += 2;
  } else {
    c.marker_zeros++;
  }
  c.bits = c.bits << 8 | b;
  c.bit_count += 8;
}

// The data of the scan (or of its restart interval) ran out: more zero
// bytes were read than the look-ahead holds.
// With restart intervals a marker inside an interval ends only the interval:
// its rest decodes from zeros and the next restart marker resumes the data.
inline bool data_ended(const JpegContext& c) {
  return c.pos >= c.size + 4 || c.scan_over || (c.marker_zeros > 4 && c.restart_interval == 0);
}

// The data ends or stops being usable in the MCU row starting at picture row
// `row`; the earliest such row counts.
void mark_cut(JpegContext& c, int64_t row) {
  c.cut_row = c.cut_short ? std::min(c.cut_row, row) : row;
  c.cut_short = true;
}

inline void fill(JpegContext& c) {
  while (c.bit_count < 24) push_byte(c);
}

// Hands back the whole bytes still unread in the bit buffer.
void give_back(JpegContext& c) {
  const int32_t whole = c.bit_count >> 3;
  if (whole > 0) c.pos = c.byte_start[(c.byte_counter - uint32_t(whole)) & 3];
  c.bit_count = 0;
  c.bits = 0;
}

inline uint32_t take_bits(JpegContext& c, int n) {
  if (n == 0) return 0;
  fill(c);
  c.bit_count -= n;
  return (c.bits >> c.bit_count) & ((1u << n) - 1);
}

inline uint32_t take_bit(JpegContext& c) { return take_bits(c, 1); }

int jpeg_decode_slow(const JpegHuffman& h, JpegContext& c) {
  int32_t code = int32_t((c.bits >> (c.bit_count - 1)) & 1);
  for (int len = 1; len <= 16; len++) {
    if (code < h.max_code[len]) {
      c.bit_count -= len;
      const int32_t index = code + h.value_offset[len];
      return index >= 0 && index < 256 ? h.values[index] : 0;
    }
    if (len < 16) code = code * 2 + int32_t((c.bits >> (c.bit_count - 1 - len)) & 1);
  }
  c.bit_count -= 16;
  return 0;
}

inline int decode_symbol(JpegContext& c, const JpegHuffman& h) {
  fill(c);
  const uint32_t p = (c.bits >> (c.bit_count - 10)) & 1023;
  if (int32_t(p) < h.fast_count) {
    const uint16_t e = h.fast[p];
    c.bit_count -= e >> 8;
    return e & 0xFF;
  }
  return jpeg_decode_slow(h, c);
}

// A value of s bits in the JPEG sign convention. Lengths past 16 can only
// come from hostile tables and are read as 16.
inline uint32_t receive(JpegContext& c, int s) {
  if (s > 16) s = 16;
  if (s == 0) return 0;
  const uint32_t u = take_bits(c, s);
  return u < (1u << (s - 1)) ? u - ((1u << s) - 1) : u;
}

inline uint32_t read_eob_run(JpegContext& c, int r) { return (1u << r) + take_bits(c, r); }

// Returns -1 when the table cannot be held.
// The tables a file without any of its own is decoded with: Motion-JPEG
// frames leave them out and mean these, the ones the format's own
// definition suggests, which nearly every encoder uses anyway. Laid out as
// the payload of a table segment: for each table its class and number, the
// code counts of 1 to 16 bits, the symbols.
// clang-format off
constexpr uint8_t kDefaultHuffmanTables[] = {
    0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0,  // DC, luma
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    0x01, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0,  // DC, chroma
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    0x10, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d,  // AC, luma
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa,
    0x11, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77,  // AC, chroma
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa};
// clang-format on
static_assert(sizeof kDefaultHuffmanTables == 2 * (17 + 12) + 2 * (17 + 162), "four whole tables");

// A table cut short by the segment's end is ignored with the rest of the
// segment.
int parse_dht(JpegContext& c, ByteReader seg) {
  while (seg.remaining() > 0) {
    if (!seg.has(17)) return 0;
    const int cls = int(seg.u8());
    if (!(cls <= 3 || (cls >= 16 && cls <= 19))) return -1;
    JpegHuffman& h = c.huff[cls < 16 ? cls : cls - 12];
    const uint8_t* counts = seg.bytes(16);  // codes of 1..16 bits
    int32_t total = 0;
    for (int i = 0; i < 16; i++) total += counts[i];
    if (total > 256) return -1;
    const uint8_t* symbols = seg.bytes(total);
    if (symbols == nullptr) return 0;
    h.value_count = total;
    h.fast_count = 0;
    int32_t code = 0, values = 0;
    for (int len = 1; len <= 16; len++) {
      const int32_t count = counts[len - 1];
      h.max_code[len] = code + count;
      h.value_offset[len] = values - code;
      std::memcpy(h.values + values, symbols + values, size_t(count));
      if (len <= 10) {
        const int32_t span = 1 << (10 - len);
        for (int32_t i = 0; i < count; i++) {
          // An over-full table would run past the lookup: its excess codes
          // are left to the slow path.
          if (h.fast_count + span > 1024) break;
          const uint16_t e = uint16_t(h.values[values + i] | len << 8);
          for (int32_t j = 0; j < span; j++) h.fast[h.fast_count++] = e;
        }
      }
      values += count;
      code = (code + count) * 2;
    }
  }
  return 0;
}

int parse_dqt(JpegContext& c, ByteReader seg) {
  const JpegTables& t = tables();
  while (seg.remaining() > 0) {
    const uint32_t kind = seg.u8();
    const int precision = int(kind >> 4), id = int(kind & 15);
    if (precision > 1 || id > 3) return -1;
    const uint8_t* q = seg.bytes(precision ? 128 : 64);
    if (q == nullptr) return 0;
    for (int k = 0; k < 64; k++) {
      const uint32_t value = precision ? read_be16(q + 2 * k) : q[k];
      const int n = t.zigzag_order[k];
      const int row = n >> 3, col = n & 7;
      uint32_t m = value << 19;
      if (col) m = uint32_t((int64_t(int32_t(m)) * t.aan_scale[col]) >> 24);
      if (row) m = uint32_t((int64_t(int32_t(m)) * t.aan_scale[row]) >> 24);
      c.quant_luma[id][n] = int32_t(m);
      c.quant_chroma[id][n] = int32_t(m) >> 6;
      c.quant_raw[id][n] = uint16_t(value);
    }
  }
  return 0;
}

int log2_of(int v) {
  for (int i = 0; i < 4; i++)
    if (v == 1 << i) return i;
  return -1;
}

int parse_sof(JpegContext& c, ByteReader seg, bool arithmetic) {
  const uint32_t precision = seg.u8();
  const uint32_t height = seg.be16(), width = seg.be16();
  const int n = int(seg.u8());
  if (!seg.ok()) return -1;
  c.arithmetic = arithmetic;
  c.powers_of_two = true;
  // 8-bit samples, or 12-bit ones for the wide decode.
  if (precision != (c.wide != nullptr ? 12u : 8u)) return -1;
  c.height = int32_t(height);
  c.width = int32_t(width);
  if (n < 1 || n > 4) return -1;
  // Inks of 12 bits have no conversion here.
  if (c.wide != nullptr && n == 4) return -1;
  const uint8_t* entries = seg.bytes(3 * n);
  if (entries == nullptr) return -1;
  c.comp_count = n;
  c.h_max = c.v_max = 1;
  int blocks = 0;
  for (int i = 0; i < n; i++) {
    JpegComponent& k = c.comp[i];
    const uint8_t* q = entries + 3 * i;
    k.id = q[0];
    k.h = q[1] >> 4;
    k.v = q[1] & 15;
    k.quant = q[2];
    k.log2_h = log2_of(k.h);
    k.log2_v = log2_of(k.v);
    if (k.h < 1 || k.h > 4 || k.v < 1 || k.v > 4 || k.quant > 3) return -1;
    if (k.log2_h < 0 || k.log2_v < 0) {
      // A factor of 3: only the whole-frame path can place such samples.
      c.powers_of_two = false;
      k.log2_h = std::max(k.log2_h, 0);
      k.log2_v = std::max(k.log2_v, 0);
    }
    blocks += k.h * k.v;
    c.h_max = std::max(c.h_max, k.h);
    c.v_max = std::max(c.v_max, k.v);
  }
  // The final progressive pass holds one block of every component per MCU.
  if (blocks > kJpegMcuBlocks) return -1;
  c.log2_h_max = std::max(log2_of(c.h_max), 0);
  c.log2_v_max = std::max(log2_of(c.v_max), 0);
  c.mcu_cols = (int64_t(c.width) + 8 * c.h_max - 1) / (8 * c.h_max);
  c.mcu_rows = (int64_t(c.height) + 8 * c.v_max - 1) / (8 * c.v_max);
  int64_t base = 0;
  for (int i = 0; i < n; i++) {
    JpegComponent& k = c.comp[i];
    k.blocks_per_row = c.mcu_cols * k.h;
    k.block_rows = c.mcu_rows * k.v;
    k.base = base;
    base += k.blocks_per_row * k.block_rows;
  }
  c.store_blocks = base;
  c.have_frame = true;

  const DecodeTarget& t = c.target;
  JpegOutput& o = c.out;
  o.pixels = t.pixels;
  o.pitch = t.pitch;
  o.x_offset = t.x_offset;
  o.y_offset = t.y_offset;
  o.clip_left = std::max(0, t.x_offset);
  o.clip_top = std::max(0, t.y_offset);
  o.clip_width = int32_t(std::clamp<int64_t>(int64_t(t.x_offset) + c.width, 0, std::max(t.width, 0)));
  o.clip_height = int32_t(std::clamp<int64_t>(int64_t(t.y_offset) + c.height, 0, std::max(t.height, 0)));
  return 0;
}

bool clip_empty(const JpegContext& c) {
  return (c.target.pixels == nullptr && c.wide == nullptr) || c.out.clip_left >= c.out.clip_width ||
         c.out.clip_top >= c.out.clip_height;
}

// Decodes one block of a progressive scan into its coefficients (zigzag order).
void decode_progressive_block(JpegContext& c, const JpegScanComponent& s, int pred_index, int16_t* coef) {
  int k = std::max(c.ss, 1);
  if (c.ss == 0) {
    if (c.ah == 0) {
      const int t = decode_symbol(c, c.huff[s.dc]);
      if (t) c.dc_pred[pred_index] += receive(c, t);
      coef[0] = int16_t(c.dc_pred[pred_index] << c.al);
    } else if (take_bit(c)) {
      coef[0] = int16_t(coef[0] | (1 << c.al));
    }
  }
  if (k > c.se) return;
  const JpegHuffman& ac = c.huff[s.ac];
  if (c.ah == 0) {
    if (c.eob_run > 0) {
      c.eob_run--;
      return;
    }
    while (k <= c.se) {
      const int sym = decode_symbol(c, ac);
      const int r = sym >> 4, sz = sym & 15;
      if (sz == 0 && r < 15) {
        c.eob_run = read_eob_run(c, r) - 1;
        return;
      }
      k += r;
      if (k > c.se) return;
      coef[k] = int16_t(receive(c, sz) << c.al);
      k++;
    }
    return;
  }
  const int p1 = 1 << c.al, m1 = -(1 << c.al);
  auto refine = [&](int16_t& v) {
    if (take_bit(c)) v = int16_t(v + (v >= 0 ? p1 : m1));
  };
  if (c.eob_run == 0) {
    while (k <= c.se) {
      const int sym = decode_symbol(c, ac);
      int r = sym >> 4;
      const int sz = sym & 15;
      if (sz == 0 && r < 15) {
        c.eob_run = read_eob_run(c, r);
        break;
      }
      int pending = 0;
      if (sz != 0) pending = take_bit(c) ? p1 : m1;
      while (k <= c.se) {
        if (coef[k] != 0) {
          refine(coef[k]);
        } else {
          if (r == 0) break;
          r--;
        }
        k++;
      }
      // A run that overshoots the band has nowhere to put its value.
      if (pending != 0 && k <= c.se) coef[k] = int16_t(pending);
      k++;
    }
  }
  if (c.eob_run > 0) {
    c.eob_run--;
    for (; k <= c.se; k++)
      if (coef[k] != 0) refine(coef[k]);
  }
}

const int32_t* quant_of(const JpegContext& c, int comp) {
  const int id = c.comp[comp].quant;
  return comp == 0 ? c.quant_luma[id] : c.quant_chroma[id];
}

// Decodes one block of a sequential scan, dequantised, into block (natural
// order) and returns the mask of rows that received a coefficient.
uint32_t decode_sequential_block(JpegContext& c, const JpegScanComponent& s, int pred_index, int32_t* block) {
  const JpegTables& t = tables();
  const int32_t* q = quant_of(c, s.comp);
  std::memset(block, 0, 64 * sizeof(int32_t));
  const int dc = decode_symbol(c, c.huff[s.dc]);
  if (dc) c.dc_pred[pred_index] += receive(c, dc);
  block[0] = int32_t(c.dc_pred[pred_index] * uint32_t(q[0]));
  uint32_t mask = 1;
  const JpegHuffman& ac = c.huff[s.ac];
  for (int k = 1; k <= 63;) {
    const int sym = decode_symbol(c, ac);
    const int r = sym >> 4, sz = sym & 15;
    if (sz == 0 && r < 15) break;
    k += r;
    if (k > 63) break;
    const int n = t.zigzag_order[k];
    block[n] = int32_t(receive(c, sz) * uint32_t(q[n]));
    mask |= t.row_bit[k];
    k++;
  }
  return mask;
}

int16_t* store_block(JpegContext& c, const JpegComponent& k, int64_t col, int64_t row) {
  if (col >= k.blocks_per_row || row >= k.block_rows) return nullptr;
  return c.coefficient_store + (k.base + row * k.blocks_per_row + col) * 64;
}

// After every MCU: at the end of a restart interval, moves past the restart
// marker. `row` is the picture row of the MCU row the next MCU lies in. An interval
// that read past its data, or left bytes before its marker, was damaged.
void restart_check(JpegContext& c, int64_t row) {
  if (c.restart_interval == 0 || --c.restart_countdown != 0) return;
  bool damaged = c.marker_zeros * 8 > c.bit_count;
  give_back(c);
  // Fill bytes 0xFF may stand before the marker, and so may a whole byte of
  // padding ones, which some encoders add when the interval already ends on
  // a byte boundary (stored stuffed, as 0xFF 0x00).
  while (c.pos + 1 < c.size && c.data[c.pos] == 0xFF && (c.data[c.pos + 1] == 0xFF || c.data[c.pos + 1] == 0))
    c.pos += c.data[c.pos + 1] == 0 ? 2 : 1;
  // Damaged data may end the interval early or late: the decode goes on at
  // the next marker, and a restart marker there (of whatever number) starts
  // the next interval. Any other marker ends the scan's data.
  // Codes below 0xC0 name no marker: damaged bytes, passed over.
  while (c.pos + 1 < c.size && !(c.data[c.pos] == 0xFF && c.data[c.pos + 1] >= 0xC0 && c.data[c.pos + 1] != 0xFF)) {
    c.pos++;
    damaged = true;
  }
  if (c.pos + 1 < c.size && c.data[c.pos + 1] >= 0xD0 && c.data[c.pos + 1] <= 0xD7) {
    c.next_restart = c.data[c.pos + 1];
    c.pos += 2;
    c.marker_zeros = 0;
  } else {
    c.scan_over = true;
  }
  if (damaged) mark_cut(c, c.interval_row);
  c.interval_row = row;
  c.next_restart = c.next_restart == 0xD7 ? 0xD0 : uint8_t(c.next_restart + 1);
  c.restart_countdown = c.restart_interval;
  std::memset(c.dc_pred, 0, sizeof c.dc_pred);
  c.eob_run = 0;
}

// Chroma component j (0 = Cb, 1 = Cr) of the MCU starts at block first_block.
// Chroma sampled more finely than luma cannot be shown at its own resolution:
// it is read at luma's.
void set_chroma(JpegOutput& o, int j, int first_block, const JpegComponent& luma,
                const JpegComponent& chroma) {
  o.chroma_block[j] = first_block;
  o.chroma_h_blocks[j] = chroma.h;
  o.chroma_shift_h[j] = std::max(0, luma.log2_h - chroma.log2_h);
  o.chroma_shift_v[j] = std::max(0, luma.log2_v - chroma.log2_v);
}

bool is_rgb(const JpegContext& c) {
  if (c.comp_count != 3 || c.saw_jfif) return false;
  if (c.adobe_transform >= 0) return c.adobe_transform == 0;
  return c.comp[0].id == 'R' && c.comp[1].id == 'G' && c.comp[2].id == 'B';
}

// One block of a whole-frame scan into its coefficients (zigzag order).
// Some component has fewer samples than the picture has pixels.
bool subsampled(const JpegContext& c) {
  for (int i = 0; i < c.comp_count; i++)
    if (c.comp[i].h != c.h_max || c.comp[i].v != c.v_max) return true;
  return false;
}

void decode_whole_block(JpegContext& c, const JpegScanComponent& s, int pred_index, int16_t* coef) {
  if (!c.arithmetic) {
    decode_progressive_block(c, s, pred_index, coef);
    return;
  }
  JpegArithDecoder& d = c.arith;
  if (c.ss == 0) {
    if (c.ah == 0) {
      c.dc_pred[pred_index] += uint32_t(jpeg_arith_dc_diff(d, c.conditioning, s.dc, pred_index));
      coef[0] = int16_t(c.dc_pred[pred_index] << c.al);
    } else {
      jpeg_arith_dc_refine(d, c.al, coef);
    }
  }
  const int first = std::max(c.ss, 1);
  if (first > c.se) return;
  if (c.ah == 0)
    jpeg_arith_ac_first(d, c.conditioning, s.ac - 4, first, c.se, c.al, coef);
  else
    jpeg_arith_ac_refine(d, s.ac - 4, first, c.se, c.al, coef);
}

void whole_restart_step(JpegContext& c, int64_t row) {
  if (!c.arithmetic) {
    restart_check(c, row);
    return;
  }
  if (c.restart_interval == 0 || --c.restart_countdown != 0) return;
  jpeg_arith_restart(c.arith);
  c.restart_countdown = c.restart_interval;
  std::memset(c.dc_pred, 0, sizeof c.dc_pred);
}

// A scan of a whole-frame picture, sequential or progressive, Huffman or
// arithmetic, into the coefficient store. Results as decode_scan's.
int decode_scan_whole(JpegContext& c, int64_t end) {
  const int n = c.scan_count;
  if (!c.arithmetic) {
    const bool uses_dc = c.ss == 0 && c.ah == 0, uses_ac = c.se >= std::max(c.ss, 1);
    for (int i = 0; i < n; i++) {
      if ((uses_dc && c.huff[c.scan[i].dc].value_count == 0) ||
          (uses_ac && c.huff[c.scan[i].ac].value_count == 0)) {
        if (c.coefficient_store == nullptr) return -1;
        c.cut_short = true;
        c.cut_row = c.height;
        return 2;
      }
    }
  }
  if (clip_empty(c)) return 1;
  if (c.coefficient_store == nullptr) {
    const int64_t bytes = c.store_blocks * 128;
    if (bytes > kMaxCoefficientBytes) return -1;
    c.coefficient_store = static_cast<int16_t*>(std::calloc(size_t(c.store_blocks), 128));
    if (c.coefficient_store == nullptr) return -1;
    c.visits_left = kMaxVisitsPerBlock * c.store_blocks + 65536;
  }
  c.bits = 0;
  c.bit_count = 0;
  std::memset(c.dc_pred, 0, sizeof c.dc_pred);
  c.eob_run = 0;
  c.restart_countdown = c.restart_interval;
  c.next_restart = 0xD0;
  c.pos = end;
  c.marker_zeros = 0;
  c.scan_over = false;
  c.interval_row = 0;
  if (c.arithmetic) jpeg_arith_start(c.arith, c.data, c.size, end);

  auto stopped = [&c](int64_t row) {
    if (data_ended(c) || c.visits_left <= 0 || (c.arithmetic && c.arith.corrupt)) {
      // A progressive picture counts the rows its last pass reached; a
      // sequential one the rows before its first damage.
      if (c.progressive_frame) {
        c.cut_short = true;
        c.cut_row = row;
      } else {
        mark_cut(c, row);
      }
      return true;
    }
    return false;
  };
  if (n > 1) {
    for (int64_t my = 0; my < c.mcu_rows; ++my) {
      for (int64_t mx = 0; mx < c.mcu_cols; ++mx) {
        if (stopped(my * 8 * c.v_max)) goto scan_end;
        for (int i = 0; i < n; i++) {
          const JpegScanComponent& s = c.scan[i];
          const JpegComponent& k = c.comp[s.comp];
          for (int br = 0; br < k.v; br++)
            for (int bc = 0; bc < k.h; bc++) {
              decode_whole_block(c, s, i, store_block(c, k, mx * k.h + bc, my * k.v + br));
              c.visits_left--;
              c.blocks_decoded++;
            }
        }
        c.decoded_any = true;
        whole_restart_step(c, (mx + 1 == c.mcu_cols ? my + 1 : my) * 8 * c.v_max);
      }
    }
  } else {
    // A single component's scan covers only the blocks its samples need.
    const JpegScanComponent& s = c.scan[0];
    const JpegComponent& k = c.comp[s.comp];
    const int64_t cols = ((int64_t(c.width) * k.h + c.h_max - 1) / c.h_max + 7) / 8;
    const int64_t rows = ((int64_t(c.height) * k.v + c.v_max - 1) / c.v_max + 7) / 8;
    for (int64_t by = 0; by < rows; ++by) {
      for (int64_t bx = 0; bx < cols; ++bx) {
        if (stopped(by * 8 * c.v_max / k.v)) goto scan_end;
        decode_whole_block(c, s, 0, store_block(c, k, bx, by));
        c.visits_left--;
        c.blocks_decoded++;
        c.decoded_any = true;
        whole_restart_step(c, (bx + 1 == cols ? by + 1 : by) * 8 * c.v_max / k.v);
      }
    }
  }
scan_end:
  if (c.arithmetic) {
    c.pos = c.arith.pos;
    // Without a marker after it the data ended inside the scan; the rest
    // was decoded from nothing.
    if (c.arith.pos >= c.size && !c.cut_short) {
      c.cut_short = true;
      c.cut_row = c.height;
    }
  } else {
    give_back(c);
  }
  c.progressive_scans++;
  return 0;
}

void render_whole(JpegContext& c) {
  JpegFrameView f{};
  f.width = c.width;
  f.height = c.height;
  f.comp_count = c.comp_count;
  f.h_max = c.h_max;
  f.v_max = c.v_max;
  f.mcu_rows = c.mcu_rows;
  for (int i = 0; i < c.comp_count; i++) {
    const JpegComponent& k = c.comp[i];
    f.comp[i] = {k.h, k.v, k.blocks_per_row, c.coefficient_store + k.base * 64, c.quant_luma[k.quant],
                 c.quant_raw[k.quant]};
  }
  if (c.comp_count == 4) {
    f.colour = c.adobe_transform == 2 ? JpegColour::kYcck : JpegColour::kCmyk;
    // Inks are stored inverted, as Adobe writes them; the established
    // decoders read every four-component file that way, with or without
    // the Adobe segment, and so do we.
    f.inverted = true;
  } else if (c.comp_count == 3) {
    f.colour = is_rgb(c) ? JpegColour::kRgb : JpegColour::kYcc;
  } else {
    f.colour = JpegColour::kGray;
  }
  c.info->source_color_type = f.colour == JpegColour::kGray ? 0 : 2;
  f.smooth_chroma = c.target.smooth_chroma;
  const int32_t rendered = c.wide != nullptr ? jpeg_render_frame_wide(f, c.target, c.wide) : jpeg_render_frame(f, c.out);
  if (rendered < 0) {
    c.cut_short = true;
    c.cut_row = 0;
  }
}

// Result: 1 = the decode is over (sequential), 0 = go on parsing, 2 = the
// progressive picture ends before this scan, -1 = refused.
// The scan's data starts at end, where its header segment ends.
int decode_scan(JpegContext& c, ByteReader seg, int64_t end) {
  if (!c.have_frame || c.width < 1 || c.height < 1) return -1;
  const int n = int(seg.u8());
  if (!seg.ok() || n < 1 || n > 4) return -1;
  const uint8_t* entries = seg.bytes(2 * n);
  const uint32_t ss = seg.u8(), se = seg.u8(), approximation = seg.u8();
  if (!seg.ok()) return -1;
  if (n >= 2) c.info->source_color_type = 2;
  int blocks = 0;
  for (int i = 0; i < n; i++) {
    const int id = entries[2 * i], tables_byte = entries[2 * i + 1];
    JpegScanComponent& s = c.scan[i];
    s.comp = -1;
    for (int j = 0; j < c.comp_count; j++)
      if (c.comp[j].id == id) {
        s.comp = j;
        break;
      }
    s.dc = tables_byte >> 4;
    s.ac = (tables_byte & 15) + 4;
    if (s.comp < 0 || s.dc > 3 || s.ac > 7) return -1;
    const JpegComponent& k = c.comp[s.comp];
    s.col_shift = c.log2_h_max - k.log2_h + 3;
    s.row_shift = c.log2_v_max - k.log2_v + 3;
    s.h_blocks = n > 1 ? k.h : 1;
    s.v_blocks = n > 1 ? k.v : 1;
    blocks += s.h_blocks * s.v_blocks;
  }
  if (blocks > kJpegMcuBlocks) return -1;
  c.scan_count = n;
  c.ss = int(ss);
  c.se = std::min<int>(int(se), 63);
  c.ah = int(approximation >> 4);
  c.al = int(approximation & 15);
  const bool full_band = c.ss == 0 && se == 63 && approximation == 0;
  // A Huffman-coded file that defined no table at all means the default ones.
  bool any_table = false;
  for (const JpegHuffman& h : c.huff) any_table = any_table || h.value_count != 0;
  if (!c.arithmetic && !any_table)
    parse_dht(c, ByteReader(kDefaultHuffmanTables, sizeof kDefaultHuffmanTables));
  if (!c.decided) {
    c.decided = true;
    // A sequential picture whose first scan leaves components out codes
    // them in later scans: only the whole frame can gather them.
    c.whole_frame = c.arithmetic || !c.powers_of_two || c.comp_count == 4 || is_rgb(c) || c.wide != nullptr ||
                    (!c.progressive_frame && n < c.comp_count) || (c.target.smooth_chroma && subsampled(c));
  }
  if (c.whole_frame) {
    for (int i = 0; i < n; i++) c.scanned = uint8_t(c.scanned | 1u << c.scan[i].comp);
    return decode_scan_whole(c, end);
  }
  // A Huffman table the file never defined would decode every block to
  // nothing: a flat grey picture reported as a success. Progressive scans
  // decoded before keep their picture.
  const bool uses_dc = c.ss == 0 && c.ah == 0, uses_ac = c.se >= std::max(c.ss, 1);
  for (int i = 0; i < n; i++) {
    if ((uses_dc && c.huff[c.scan[i].dc].value_count == 0) ||
        (uses_ac && c.huff[c.scan[i].ac].value_count == 0)) {
      if (c.coefficient_store == nullptr) return -1;
      c.cut_short = true;
      c.cut_row = c.height;
      return 2;
    }
  }

  if (clip_empty(c)) return 1;
  if (c.coefficient_store == nullptr && c.progressive_scans == 0 && !full_band) {
    const int64_t bytes = c.store_blocks * 128;
    if (bytes > kMaxCoefficientBytes) return -1;
    c.coefficient_store = static_cast<int16_t*>(std::calloc(size_t(c.store_blocks), 128));
    if (c.coefficient_store == nullptr) return -1;
    c.visits_left = kMaxVisitsPerBlock * c.store_blocks + 65536;
  }
  const bool progressive = c.coefficient_store != nullptr;

  // The MCU of an interleaved scan spans the largest sampling factors; a
  // single-component scan steps one block of its component at a time.
  const JpegComponent& first = c.comp[c.scan[0].comp];
  int32_t mcu_w, mcu_h;
  if (n > 1) {
    mcu_w = 8 * c.h_max;
    mcu_h = 8 * c.v_max;
  } else {
    mcu_w = 8 << (c.log2_h_max - first.log2_h);
    mcu_h = 8 << (c.log2_v_max - first.log2_v);
  }
  JpegOutput& o = c.out;
  o.h_blocks = c.scan[0].h_blocks;
  o.v_blocks = c.scan[0].v_blocks;
  int first_block = o.h_blocks * o.v_blocks;
  for (int j = 0; j < 2; j++) {
    o.chroma_block[j] = -1;
    if (j + 1 >= n) continue;
    const JpegScanComponent& s = c.scan[j + 1];
    set_chroma(o, j, first_block, first, c.comp[s.comp]);
    first_block += s.h_blocks * s.v_blocks;
  }

  c.bits = 0;
  c.bit_count = 0;
  std::memset(c.dc_pred, 0, sizeof c.dc_pred);
  c.eob_run = 0;
  c.restart_countdown = c.restart_interval;
  c.next_restart = 0xD0;
  c.pos = end;
  c.marker_zeros = 0;
  c.scan_over = false;
  c.interval_row = 0;

  for (int64_t mcu_y = 0; mcu_y < c.height; mcu_y += mcu_h) {
    for (int64_t mcu_x = 0; mcu_x < c.width; mcu_x += mcu_w) {
      if (data_ended(c) || (progressive && c.visits_left <= 0)) {
        if (progressive) {
          c.cut_short = true;
          c.cut_row = mcu_y;
        } else {
          mark_cut(c, mcu_y);
        }
        goto scan_end;
      }
      int index = 0;
      for (int i = 0; i < n; i++) {
        const JpegScanComponent& s = c.scan[i];
        const JpegComponent& k = c.comp[s.comp];
        for (int br = 0; br < s.v_blocks; br++) {
          for (int bc = 0; bc < s.h_blocks; bc++) {
            if (progressive) {
              int16_t* coef = store_block(c, k, (mcu_x >> s.col_shift) + bc, (mcu_y >> s.row_shift) + br);
              if (coef == nullptr) {
                std::memset(c.spare_block, 0, sizeof c.spare_block);
                coef = c.spare_block;
              }
              decode_progressive_block(c, s, i, coef);
              c.visits_left--;
            } else {
              int32_t* block = c.mcu_buffer + 64 * index++;
              jpeg_idct(block, decode_sequential_block(c, s, i, block));
            }
            c.blocks_decoded++;
          }
        }
      }
      if (!progressive) jpeg_store_mcu(o, c.mcu_buffer, int32_t(mcu_x), int32_t(mcu_y));
      c.decoded_any = true;
      restart_check(c, mcu_x + mcu_w >= c.width ? mcu_y + mcu_h : mcu_y);
    }
  }
scan_end:
  if (!progressive) return 1;
  give_back(c);
  c.progressive_scans++;
  return 0;
}

// Renders the coefficient store: every MCU of the frame that meets the clip
// rectangle, each component with its own sampling factors.
void final_pass(JpegContext& c) {
  const JpegTables& t = tables();
  const JpegComponent& first = c.comp[0];
  JpegOutput& o = c.out;
  o.h_blocks = first.h;
  o.v_blocks = first.v;
  int first_block = first.h * first.v;
  for (int j = 0; j < 2; j++) {
    o.chroma_block[j] = -1;
    if (j + 1 >= c.comp_count) continue;
    set_chroma(o, j, first_block, first, c.comp[j + 1]);
    first_block += c.comp[j + 1].h * c.comp[j + 1].v;
  }
  const int64_t mcu_w = 8 * first.h, mcu_h = 8 * first.v;
  // Picture rectangle that lands inside the clip.
  const int64_t px0 = int64_t(o.clip_left) - o.x_offset, px1 = int64_t(o.clip_width) - o.x_offset;
  const int64_t py0 = int64_t(o.clip_top) - o.y_offset, py1 = int64_t(o.clip_height) - o.y_offset;
  const int64_t y_start = std::max<int64_t>(0, py0) / mcu_h * mcu_h;
  const int64_t x_start = std::max<int64_t>(0, px0) / mcu_w * mcu_w;
  for (int64_t mcu_y = y_start; mcu_y < c.height && mcu_y < py1; mcu_y += mcu_h) {
    for (int64_t mcu_x = x_start; mcu_x < c.width && mcu_x < px1; mcu_x += mcu_w) {
      int index = 0;
      for (int i = 0; i < c.comp_count; i++) {
        const JpegComponent& k = c.comp[i];
        const int col_shift = c.log2_h_max - k.log2_h + 3, row_shift = c.log2_v_max - k.log2_v + 3;
        const int32_t* q = quant_of(c, i);
        for (int br = 0; br < k.v; br++) {
          for (int bc = 0; bc < k.h; bc++) {
            int32_t* block = c.mcu_buffer + 64 * index++;
            const int16_t* coef = store_block(c, k, (mcu_x >> col_shift) + bc, (mcu_y >> row_shift) + br);
            uint32_t mask = 0;
            for (int pos = 0; pos < 64; pos++) {
              const int32_t v = coef ? coef[t.zigzag_position[pos]] : 0;
              block[pos] = int32_t(uint32_t(v) * uint32_t(q[pos]));
              if (v) mask |= 1u << (pos >> 3);
            }
            jpeg_idct(block, mask);
          }
        }
      }
      jpeg_store_mcu(o, c.mcu_buffer, int32_t(mcu_x), int32_t(mcu_y));
    }
  }
}

void mark_incomplete(const JpegContext& c) {
  c.info->incomplete = 1;
  c.info->decoded_rows = int32_t(std::min<int64_t>(c.cut_row, c.height));
}

int32_t finish(JpegContext& c) {
  if (c.coefficient_store != nullptr) {
    if (c.decoded_any) {
      if (c.whole_frame) {
        render_whole(c);
      } else {
        // Progressive scans may each hold one component; the picture is in
        // colour all the same.
        if (c.comp_count >= 2) c.info->source_color_type = 2;
        final_pass(c);
      }
    }
    // A sequential picture is complete once its scans are; a progressive one
    // may still have been refining when the data ended.
    if (!c.saw_end && !c.cut_short && (!c.whole_frame || c.progressive_frame)) {
      c.cut_short = true;
      c.cut_row = c.height;
    }
    // A component no scan held is missing from every row.
    if (c.whole_frame && c.scanned != (1u << c.comp_count) - 1) {
      c.cut_short = true;
      c.cut_row = 0;
    }
  }
  if (c.cut_short) mark_incomplete(c);
  return c.decoded_any ? 0 : -1;
}

int32_t run(JpegContext& c) {
  ByteReader in(c.data, c.size);
  in.seek(2);
  while (in.remaining() > 0) {
    if (in.u8() != 0xFF) continue;
    while (in.peek() == 0xFF) in.skip(1);
    if (!in.has(1)) break;
    const uint32_t code = in.u8();
    if (code == 0xD9) {
      c.saw_end = true;
      continue;
    }
    if (!in.has(2)) break;
    const int64_t start = in.pos;
    const int64_t end = start + std::max<int64_t>(in.be16(), 2);
    // A segment cut by the end of the data: the data ends here.
    if (end > c.size) break;
    ByteReader seg(c.data + in.pos, end - in.pos);
    int result = 0;
    switch (code) {
      case 0xC0:
      case 0xC1:
      case 0xC2:
      case 0xC9:
      case 0xCA:
        // A frame header after progressive scans belongs to another picture
        // (one appended after this one): this picture ends here.
        if (c.coefficient_store != nullptr) return finish(c);
        if (parse_sof(c, seg, code >= 0xC9) < 0) return -1;
        c.progressive_frame = code == 0xC2 || code == 0xCA;
        break;
      case 0xCC:
        // Arithmetic conditioning: DC bounds L and U, or the AC band split.
        while (seg.has(2)) {
          const uint32_t kind = seg.u8(), value = seg.u8();
          const uint32_t table = kind & 15;
          if (table > 3) continue;
          if (kind >> 4 == 0) {
            c.conditioning.dc_low[table] = uint8_t(value & 15);
            c.conditioning.dc_high[table] = uint8_t(value >> 4);
          } else if (value >= 1 && value <= 63) {
            c.conditioning.ac_split[table] = uint8_t(value);
          }
        }
        break;
      case 0xE0: {
        const uint8_t* id = seg.bytes(5);
        if (id != nullptr && std::memcmp(id, "JFIF", 5) == 0) c.saw_jfif = true;
        break;
      }
      case 0xEE: {
        const uint8_t* id = seg.bytes(12);
        if (id != nullptr && std::memcmp(id, "Adobe", 5) == 0) c.adobe_transform = id[11];
        break;
      }
      case 0xC4:
        result = parse_dht(c, seg);
        break;
      case 0xDB:
        result = parse_dqt(c, seg);
        break;
      case 0xDD:
        if (seg.has(2)) c.restart_interval = seg.be16();
        break;
      case 0xDA: {
        result = decode_scan(c, seg, end);
        if (result == 2) return finish(c);
        if (result == 1) {
          if (c.coefficient_store == nullptr) {
            if (c.cut_short) mark_incomplete(c);
            // An empty clip rectangle leaves nothing to do.
            return c.decoded_any || clip_empty(c) ? 0 : -1;
          }
          result = 0;
        }
        if (result < 0) break;
        if (c.visits_left <= 0) return finish(c);
        // The entropy reader may have gone past the data's end (it reads
        // zeros there); the walk then ends.
        in.seek(c.pos);
        continue;
      }
      default:
        break;
    }
    if (result < 0) {
      // A segment that cannot be right after progressive scans have been
      // decoded ends the picture there, as the end of the data would.
      if (c.coefficient_store == nullptr || !c.decoded_any) return -1;
      c.cut_short = true;
      c.cut_row = c.height;
      return finish(c);
    }
    in.seek(end);
  }
  return finish(c);
}

// A transform-coded picture: 8-bit into target's pixels, or with wide set
// 12-bit into wide.
int32_t decode_dct(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                   SourceInfo& info) {
  JpegContext* c = new (std::nothrow) JpegContext{};
  if (c == nullptr) return -1;
  c->info = &info;
  c->data = data;
  c->size = size;
  c->target = target;
  c->wide = wide;
  c->adobe_transform = -1;
  c->conditioning = jpeg_arith_default_conditioning();
  const int32_t result = run(*c);
  info.work = c->blocks_decoded;
  std::free(c->coefficient_store);
  delete c;
  return result;
}

struct FrameKind {
  uint32_t marker;     // 0 when no frame header comes before the first scan
  uint32_t precision;  // bits per sample
};

// The first frame header of the file, found by walking its segments.
FrameKind first_frame(const uint8_t* data, int32_t size) {
  ByteReader in(data, size);
  in.seek(2);
  while (in.remaining() > 0) {
    if (in.u8() != 0xFF) continue;
    while (in.peek() == 0xFF) in.skip(1);
    if (!in.has(1)) break;
    const uint32_t code = in.u8();
    if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
    if (code == 0xD9 || code == 0xDA || !in.has(3)) break;
    const int64_t start = in.pos;
    const uint32_t length = in.be16();
    if (code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)
      return FrameKind{code, in.u8()};
    in.seek(start + std::max<uint32_t>(length, 2));
  }
  return FrameKind{0, 0};
}

}  // namespace

int32_t jpeg_sample_depth(const uint8_t* data, int32_t size) {
  if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  return int32_t(first_frame(data, size).precision);
}

int32_t decode_jpeg_wide(const uint8_t* data, int32_t size, const DecodeTarget& target, uint16_t* wide,
                         SourceInfo& info) {
  if (data == nullptr || wide == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return -1;
  const FrameKind frame = first_frame(data, size);
  if (frame.precision <= 8) return -1;
  info.source_color_type = 0;
  info.source_bit_depth = 16;
  if (frame.marker == 0xC3) return decode_jpeg_lossless(data, size, target, wide, info);
  if (frame.precision != 12) return -1;
  return decode_dct(data, size, target, wide, info);
}

int32_t decode_jpeg(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info) {
  if (data == nullptr || size < 2 || data[0] != 0xFF || data[1] != 0xD8) return -1;
  const FrameKind frame = first_frame(data, size);
  if (frame.precision > 8) {
    info.refusal = "more than 8 bits per sample";
    return -1;
  }
  info.source_color_type = 0;
  info.source_bit_depth = 8;
  if (frame.marker == 0xC3) return decode_jpeg_lossless(data, size, target, nullptr, info);
  return decode_dct(data, size, target, nullptr, info);
}

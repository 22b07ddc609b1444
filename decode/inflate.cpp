#include "decode/inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "decode/png_chunk_walk.h"

// The bit reader looks at the input through a signed bit position relative to
// input_base, which sits 4 bytes before the end of the segment being read. As
// long as the position is negative a 32-bit load at the reading byte stays
// inside the segment, so every read is one unaligned load and one sign test;
// only when the position turns non-negative does refill_input move on. A
// segment is either an IDAT payload read in place or the bridge, a small copy
// that joins the tail of one payload to the head of the next (and gathers any
// number of payloads shorter than 4 bytes). The last segment of the stream is
// always a bridge whose base sits at the end of the data, padded with zeros,
// so that the position turns non-negative exactly when every real bit has
// been consumed.
namespace {

constexpr int32_t kWindowSize = 32768;
constexpr int32_t kWindowMask = kWindowSize - 1;
constexpr int32_t kHalfWindow = kWindowSize / 2;
constexpr int kLitlenFastBits = 9;
constexpr int kDistFastBits = 6;
constexpr int kMaxCodeLength = 15;
constexpr int32_t kBridgeData = 64;
// Loads at the end of the last segment may look up to 7 bytes past its data.
constexpr int32_t kBridgeSize = kBridgeData + 16;
static_assert(kBridgeData >= 8, "a bridge must hold a 4-byte carry and 4 bytes of look-ahead");

// mask[n] cuts n bits out of a 32-bit load. Known at compile time, so that
// reads of a fixed width need no table access.
constexpr std::array<uint32_t, 32> kMask = [] {
  std::array<uint32_t, 32> m{};
  for (int n = 0; n < 32; ++n) m[size_t(n)] = (uint32_t(1) << n) - 1;
  return m;
}();

struct LengthCode {
  int32_t extra;
  int32_t base;
};

struct DecoderTables {
  LengthCode length_table[29];    // symbols 257..285
  LengthCode distance_table[30];  // codes 0..29
  uint16_t reverse9[512];         // the 9 low bits of the index in reverse order
};

// Built by the compiler, so that no table is written at run time.
constexpr DecoderTables build_tables() {
  DecoderTables t{};
  int32_t base = 3;
  for (int i = 0; i < 28; ++i) {
    const int32_t extra = i < 8 ? 0 : (i - 4) / 4;
    t.length_table[i] = {extra, base};
    base += 1 << extra;
  }
  t.length_table[28] = {0, 258};
  base = 1;
  for (int i = 0; i < 30; ++i) {
    const int32_t extra = i < 4 ? 0 : (i - 2) / 2;
    t.distance_table[i] = {extra, base};
    base += 1 << extra;
  }
  for (uint32_t v = 0; v < 512; ++v) {
    uint32_t r = 0;
    for (int b = 0; b < 9; ++b) r |= ((v >> b) & 1) << (8 - b);
    t.reverse9[v] = uint16_t(r);
  }
  return t;
}

constexpr DecoderTables kDecoderTables = build_tables();

const DecoderTables& decoder_tables() { return kDecoderTables; }

// One Huffman alphabet in the form both decoders use: symbols in canonical
// order, offsets[l] = number of symbols with a code of at most l bits, and a
// direct table indexed by the next N stream bits (length 0 = longer code).
template <int kSymbols, int kFastBits>
struct HuffmanCode {
  uint16_t sorted[kSymbols];
  int32_t offsets[32];
  uint32_t fast_symbol[1 << kFastBits];
  uint8_t fast_length[1 << kFastBits];
  int32_t fast_limit;  // N-bit prefixes taken by codes of at most N bits
};

struct InflateState {
  const uint8_t* input_base;
  int32_t bit_position;
  const uint8_t* pending_segment;  // payload to read in place once the bridge is used up
  int32_t pending_shift;           // bits between the bridge's base and the payload's base
  bool final_segment;              // the bridge holds the end of the stream

  const uint8_t* cursor;  // next stream byte not yet in any segment
  int64_t cursor_left;    // bytes of the cursor's payload not yet in any segment
  PngChunkWalk chunks;    // at the chunk after the cursor's payload
  bool chunk_cut;         // a chunk reached ran past the file's end

  HuffmanCode<288, kLitlenFastBits> litlen;
  HuffmanCode<32, kDistFastBits> dist;
  HuffmanCode<19, 1> codelen;  // decoded bit by bit only
  int32_t all_lengths[320];

  uint8_t bridge[kBridgeSize];
  uint8_t window[kWindowSize];
};

template <int kBytes>
inline void copy_bytes(uint8_t* out, const uint8_t* in) {
  uint8_t word[kBytes];
  std::memcpy(word, in, kBytes);
  std::memcpy(out, word, kBytes);
}

inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Moves the cursor to the next non-empty IDAT payload; false at the end of
// the stream (another chunk type, or the end of the file). A payload whose
// stated length runs past the file is cut at the file's end.
bool next_payload(InflateState* s) {
  for (;;) {
    PngChunkView c;
    if (!png_chunk_next(&s->chunks, &c) || !png_chunk_is(c, "IDAT")) return false;
    s->cursor = c.data;
    s->cursor_left = c.available;
    if (!c.complete) s->chunk_cut = true;
    if (s->cursor_left > 0) return true;
  }
}

// Starts a bridge with the k unread bytes at carry (bits of the first one
// already used) followed by the next stream bytes. Gathering stops once 4
// bytes of one payload have been copied, so that reading can jump into that
// payload in place when the bridge is used up; or when the bridge is full; or
// at the end of the stream.
void fill_bridge(InflateState* s, const uint8_t* carry, int32_t k, int32_t bits) {
  if (k > 0) std::memmove(s->bridge, carry, size_t(k));
  int32_t total = k;
  for (;;) {
    if (s->cursor_left == 0 && !next_payload(s)) {
      std::memset(s->bridge + total, 0, size_t(kBridgeSize - total));
      s->input_base = s->bridge + total;
      s->bit_position = bits - 8 * total;
      s->final_segment = true;
      return;
    }
    const int32_t take = int32_t(std::min<int64_t>({s->cursor_left, 4, kBridgeData - total}));
    std::memcpy(s->bridge + total, s->cursor, size_t(take));
    total += take;
    s->cursor += take;
    s->cursor_left -= take;
    s->input_base = s->bridge + total - 4;
    s->bit_position = bits - 8 * (total - 4);
    if (take == 4) {
      // The bridge ends with 4 bytes that sit right before the cursor.
      s->pending_segment = s->cursor + s->cursor_left - 4;
      s->pending_shift = int32_t(8 * s->cursor_left);
      s->cursor_left = 0;
      return;
    }
    if (total == kBridgeData) return;
  }
}

// Called when bit_position has turned non-negative. Returns 1 when the bits
// just consumed ran past the end of the stream, 0 when reading may go on
// (bit_position is then negative, or 0 right at the end of the stream).
int refill_input(InflateState* s) {
  for (;;) {
    if (s->final_segment) return s->bit_position > 0 ? 1 : 0;
    if (s->pending_segment != nullptr) {
      s->input_base = s->pending_segment;
      s->bit_position -= s->pending_shift;
      s->pending_segment = nullptr;
      if (s->bit_position < 0) return 0;
      continue;
    }
    // A read never advances more than 25 bits past a negative position, so
    // the reading byte is one of the 4 at input_base.
    const int32_t j = s->bit_position >> 3;
    fill_bridge(s, s->input_base + j, 4 - j, s->bit_position & 7);
    if (s->bit_position < 0) return 0;
  }
}

// Counts and sorts the code lengths into canonical order. Returns -1 for an
// over-subscribed set (more codes than the lengths leave room for), which no
// table could represent; incomplete and empty sets are kept, and a code that
// falls into their gaps fails when it is read.
template <int kSymbols, int kFastBits>
int count_and_sort_codes(const int32_t* lengths, int n, HuffmanCode<kSymbols, kFastBits>* code) {
  int32_t count[32] = {};
  for (int s = 0; s < n; ++s) count[lengths[s]] += 1;
  count[0] = 0;
  int32_t room = 1;
  for (int l = 1; l <= kMaxCodeLength; ++l) {
    room = 2 * room - count[l];
    if (room < 0) return -1;
  }
  code->offsets[0] = 0;
  for (int l = 0; l < 31; ++l) code->offsets[l + 1] = code->offsets[l] + count[l];
  for (int s = 0; s < n; ++s) {
    if (lengths[s] > 0) code->sorted[code->offsets[lengths[s]]++] = uint16_t(s);
  }
  return 0;
}

template <int kSymbols, int kFastBits>
void build_fast_table(HuffmanCode<kSymbols, kFastBits>* code, const DecoderTables& t) {
  constexpr int32_t kEntries = 1 << kFastBits;
  int32_t k = 0;
  for (int l = 1; l <= kFastBits; ++l) {
    const int32_t span = 1 << (kFastBits - l);
    for (int32_t i = code->offsets[l - 1]; i < code->offsets[l]; ++i) {
      for (int32_t v = k; v < k + span; ++v) {
        const int32_t r = t.reverse9[v] >> (9 - kFastBits);
        code->fast_symbol[r] = code->sorted[i];
        code->fast_length[r] = uint8_t(l);
      }
      k += span;
    }
  }
  for (int32_t v = k; v < kEntries; ++v) code->fast_length[t.reverse9[v] >> (9 - kFastBits)] = 0;
  code->fast_limit = k;
}

template <int kSymbols, int kFastBits>
int build_code(const int32_t* lengths, int n, HuffmanCode<kSymbols, kFastBits>* code,
               const DecoderTables& t) {
  if (count_and_sort_codes(lengths, n, code) != 0) return -1;
  build_fast_table(code, t);
  return 0;
}

// Walks a code longer than the fast table bit by bit over the 15 bits peeked
// at the reading position. d is the code read so far minus the end of the
// codes of length l (the first code of that length plus their number): it
// turns negative exactly when the bits form a code of length l. The first N
// bits need no walk: the fast table said that no shorter code matches, so d
// starts from the N-bit prefix. Returns the code length, or 0 when no code
// matches.
template <int kSymbols, int kFastBits>
inline int decode_symbol_slow(const HuffmanCode<kSymbols, kFastBits>& code, uint32_t bits, uint32_t* symbol,
                              const DecoderTables& t) {
  int32_t d = int32_t(t.reverse9[bits & kMask[kFastBits]] >> (9 - kFastBits)) - code.fast_limit;
  bits >>= kFastBits;
  for (int l = kFastBits + 1; l <= kMaxCodeLength; ++l) {
    d = 2 * d + int32_t(bits & 1) + code.offsets[l - 1] - code.offsets[l];
    bits >>= 1;
    if (d < 0) {
      *symbol = code.sorted[code.offsets[l] + d];
      return l;
    }
  }
  return 0;
}

const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Hands a stretch of the window to the sink, in two calls when it wraps.
void hand_over(const InflateSink& sink, const uint8_t* window, int64_t start, int64_t end) {
  const int32_t offset = int32_t(start & kWindowMask);
  const int64_t n = end - start;
  if (n <= 0) return;
  if (offset + n <= kWindowSize) {
    sink.take(sink.context, window + offset, int32_t(n));
  } else {
    sink.take(sink.context, window + offset, kWindowSize - offset);
    sink.take(sink.context, window, int32_t(n - (kWindowSize - offset)));
  }
}

// Repeats the dist bytes before the position for length bytes, exactly:
// nothing past the match is written, since a later match may still reach
// back 32768 bytes into what lies there.
inline void copy_match(uint8_t* window, int64_t position, int32_t dist, int32_t length) {
  const int32_t to = int32_t(position & kWindowMask);
  const int32_t from = int32_t((position - dist) & kWindowMask);
  if (to + length <= kWindowSize && from + length <= kWindowSize) {
    uint8_t* out = window + to;
    const uint8_t* in = window + from;
    if (from < to && dist >= 8) {
      // Words of 8 never read what the same word writes. The last word is
      // placed to end with the match, rewriting some bytes with the values
      // they already hold; a match shorter than 8 cannot overlap its source
      // and takes two overlapping smaller words.
      if (length >= 8) {
        int32_t done = 0;
        for (; length - done > 8; done += 8) copy_bytes<8>(out + done, in + done);
        copy_bytes<8>(out + length - 8, in + length - 8);
      } else if (length >= 4) {
        copy_bytes<4>(out, in);
        copy_bytes<4>(out + length - 4, in + length - 4);
      } else {
        copy_bytes<2>(out, in);
        copy_bytes<2>(out + length - 2, in + length - 2);
      }
    } else if (dist == 1) {
      std::memset(out, in[0], size_t(length));
    } else {
      // Short periods (and a source wrapped to after the destination, which
      // a forward copy reads ahead of its writes).
      while (length-- > 0) *out++ = *in++;
    }
    return;
  }
  for (int32_t i = 0; i < length; ++i)
    window[(position + i) & kWindowMask] = window[(position + i - dist) & kWindowMask];
}

int32_t run_inflate(InflateState* s, const InflateSink& sink, InflateReport* report) {
  const DecoderTables& t = decoder_tables();
  const uint8_t* base = s->input_base;
  // Register-wide, so that addressing needs no sign extension per read.
  int64_t bitpos = s->bit_position;
  uint8_t* const window = s->window;
  int64_t position = 0;
  int64_t flush_mark = kHalfWindow;
  bool final_block = false;

  // The reader lives in locals so that the compiler keeps it in registers;
  // the rare refill goes through the state record.
#define PEEK(n) ((load32(base + (bitpos >> 3)) >> (bitpos & 7)) & kMask[n])
#define CONSUME(n)                          \
  do {                                      \
    bitpos += int64_t(n);                   \
    if (bitpos >= 0) {                      \
      s->input_base = base;                 \
      s->bit_position = int32_t(bitpos);    \
      const int ran_out_ = refill_input(s); \
      base = s->input_base;                 \
      bitpos = s->bit_position;             \
      if (ran_out_) goto ran_out;           \
    }                                       \
  } while (0)
#define READ(var, n) \
  do {               \
    (var) = PEEK(n); \
    CONSUME(n);      \
  } while (0)
#define FLUSH_CHECK()                                                                            \
  do {                                                                                           \
    if (position >= flush_mark) {                                                                \
      sink.take(sink.context, window + ((flush_mark - kHalfWindow) & kWindowMask), kHalfWindow); \
      flush_mark += kHalfWindow;                                                                 \
      if (sink.complete(sink.context)) goto stop;                                                \
    }                                                                                            \
  } while (0)
#define DECODE(var, code, fast_bits)                                       \
  do {                                                                     \
    const uint32_t bits_ = PEEK(kMaxCodeLength);                           \
    const uint32_t fast_ = bits_ & kMask[fast_bits];                       \
    int n_ = (code).fast_length[fast_];                                    \
    if (n_ != 0) {                                                         \
      (var) = (code).fast_symbol[fast_];                                   \
    } else {                                                               \
      n_ = decode_symbol_slow((code), bits_, &(var), t);                   \
      if (n_ == 0) {                                                       \
        /* Bits past the end are padding, not a corrupt code. */           \
        if (s->final_segment && bitpos + kMaxCodeLength > 0) goto ran_out; \
        return -1;                                                         \
      }                                                                    \
    }                                                                      \
    CONSUME(n_);                                                           \
  } while (0)

  {
    uint32_t header;
    READ(header, 16);
    report->zlib_header = uint16_t(header);
  }

  while (!final_block) {
    report->deflate_block_count += 1;
    uint32_t block_header;
    READ(block_header, 3);
    final_block = (block_header & 1) != 0;
    const uint32_t type = block_header >> 1;

    if (type == 0) {
      bitpos = (bitpos + 7) & ~7;
      CONSUME(0);
      uint32_t len, nlen;
      READ(len, 16);
      READ(nlen, 16);
      if ((len ^ nlen) != 0xFFFF) return -1;
      while (len > 0) {
        FLUSH_CHECK();
        // Whole bytes before input_base are in the segment; the position is
        // byte-aligned here, so they can be copied in one piece.
        const int64_t available = -(bitpos >> 3);
        if (available == 0) {
          uint32_t byte;
          READ(byte, 8);
          window[position & kWindowMask] = uint8_t(byte);
          position += 1;
          len -= 1;
          continue;
        }
        const int32_t n = int32_t(std::min<int64_t>({int64_t(len), flush_mark - position, available}));
        std::memcpy(window + (position & kWindowMask), base + (bitpos >> 3), size_t(n));
        position += n;
        len -= uint32_t(n);
        CONSUME(8 * n);
      }
      continue;
    }
    if (type == 3) continue;

    if (type == 1) {
      for (int i = 0; i < 144; ++i) s->all_lengths[i] = 8;
      for (int i = 144; i < 256; ++i) s->all_lengths[i] = 9;
      for (int i = 256; i < 280; ++i) s->all_lengths[i] = 7;
      for (int i = 280; i < 288; ++i) s->all_lengths[i] = 8;
      for (int i = 288; i < 320; ++i) s->all_lengths[i] = 5;
      build_code(s->all_lengths, 288, &s->litlen, t);
      build_code(s->all_lengths + 288, 32, &s->dist, t);
    } else {
      uint32_t hlit, hdist, hclen;
      READ(hlit, 5);
      READ(hdist, 5);
      READ(hclen, 4);
      hlit += 257;
      hdist += 1;
      hclen += 4;
      int32_t code_lengths[19] = {};
      for (uint32_t i = 0; i < hclen; ++i) {
        uint32_t v;
        READ(v, 3);
        code_lengths[kCodeLengthOrder[i]] = int32_t(v);
      }
      if (build_code(code_lengths, 19, &s->codelen, t) != 0) return -1;
      const uint32_t wanted = hlit + hdist;
      uint32_t filled = 0;
      while (filled < wanted) {
        uint32_t symbol;
        DECODE(symbol, s->codelen, 1);
        if (symbol < 16) {
          s->all_lengths[filled++] = int32_t(symbol);
          continue;
        }
        uint32_t repeat;
        int32_t value = 0;
        if (symbol == 16) {
          if (filled == 0) return -1;
          value = s->all_lengths[filled - 1];
          READ(repeat, 2);
          repeat += 3;
        } else if (symbol == 17) {
          READ(repeat, 3);
          repeat += 3;
        } else {
          READ(repeat, 7);
          repeat += 11;
        }
        if (filled + repeat > wanted) return -1;
        for (uint32_t i = 0; i < repeat; ++i) s->all_lengths[filled++] = value;
      }
      if (build_code(s->all_lengths, int(hlit), &s->litlen, t) != 0) return -1;
      if (build_code(s->all_lengths + hlit, int(hdist), &s->dist, t) != 0) return -1;
    }

    for (;;) {
      FLUSH_CHECK();
      uint32_t symbol;
      // One load holds at least 25 bits: after a literal of at most 9 bits
      // the next code's 9-bit prefix is still in it. Literals come in long
      // runs, so taking two per load shortens the chain that every read
      // otherwise waits on. The second is handled as usual below.
      const uint32_t word = load32(base + (bitpos >> 3)) >> (bitpos & 7);
      const uint32_t first = word & kMask[kLitlenFastBits];
      const int first_length = s->litlen.fast_length[first];
      if (first_length != 0 && s->litlen.fast_symbol[first] < 256 && bitpos + first_length < 0 &&
          position + 1 < flush_mark) {
        window[position & kWindowMask] = uint8_t(s->litlen.fast_symbol[first]);
        position += 1;
        bitpos += first_length;
        const uint32_t second = (word >> first_length) & kMask[kLitlenFastBits];
        const int second_length = s->litlen.fast_length[second];
        if (second_length == 0) continue;
        symbol = s->litlen.fast_symbol[second];
        CONSUME(second_length);
      } else {
        DECODE(symbol, s->litlen, kLitlenFastBits);
      }
      if (symbol < 256) {
        window[position & kWindowMask] = uint8_t(symbol);
        position += 1;
        continue;
      }
      if (symbol == 256) break;
      if (symbol > 285) return -1;
      const LengthCode& lc = t.length_table[symbol - 257];
      uint32_t extra;
      READ(extra, lc.extra);
      const int32_t length = lc.base + int32_t(extra);
      uint32_t dist_code;
      DECODE(dist_code, s->dist, kDistFastBits);
      if (dist_code > 29) return -1;
      const LengthCode& dc = t.distance_table[dist_code];
      READ(extra, dc.extra);
      const int32_t dist = dc.base + int32_t(extra);
      if (dist > position) return -1;
      copy_match(window, position, dist, length);
      position += length;
    }
  }
  hand_over(sink, window, flush_mark - kHalfWindow, position);
  return 0;

ran_out:
  report->ran_out = 1;
  hand_over(sink, window, flush_mark - kHalfWindow, position);
  return 0;

stop:
  report->stopped_early = 1;
  return 0;

#undef DECODE
#undef FLUSH_CHECK
#undef READ
#undef CONSUME
#undef PEEK
}

}  // namespace

int32_t inflate_idat(const uint8_t* file, int32_t file_size, int32_t first_idat, const InflateSink& sink,
                     InflateReport* report) {
  *report = InflateReport{0, 0, 0, 0, 0};
  if (file == nullptr || first_idat < 0 || file_size < 0) return -1;
  // About 40 KiB: the window, the tables and the bridge of one stream.
  InflateState s;
  s.pending_segment = nullptr;
  s.pending_shift = 0;
  s.final_segment = false;
  s.cursor = nullptr;
  s.cursor_left = 0;
  s.chunks = png_chunk_walk(file, file_size, first_idat);
  s.chunk_cut = false;
  fill_bridge(&s, nullptr, 0, 0);
  if (s.bit_position >= 0) refill_input(&s);
  const int32_t result = run_inflate(&s, sink, report);
  report->chunk_cut = s.chunk_cut ? 1 : 0;
  return result;
}

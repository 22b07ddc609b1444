#include "decode/jpeg_arith.h"

#include <cstring>

// The decoder keeps the interval A and the code value C the way the encoder
// left them: the more probable symbol takes the lower part of the interval,
// of size A - Qe, the less probable one the Qe above it, with the two
// exchanged whenever the lower part has become the smaller. After each
// decision A is doubled (and C with it, taking in new bits) until it is at
// least 0x8000 again; every doubling moves the probability estimate.
namespace {

struct Estimate {
  uint16_t qe;
  uint8_t next_lps, next_mps;
  uint8_t switch_mps;  // 1: the less probable symbol becomes the more probable one
};

// The probability estimation state machine, 113 states.
constexpr Estimate kEstimates[113] = {
    {0x5A1D, 1, 1, 1},     {0x2586, 14, 2, 0},    {0x1114, 16, 3, 0},    {0x080B, 18, 4, 0},
    {0x03D8, 20, 5, 0},    {0x01DA, 23, 6, 0},    {0x00E5, 25, 7, 0},    {0x006F, 28, 8, 0},
    {0x0036, 30, 9, 0},    {0x001A, 33, 10, 0},   {0x000D, 35, 11, 0},   {0x0006, 9, 12, 0},
    {0x0003, 10, 13, 0},   {0x0001, 12, 13, 0},   {0x5A7F, 15, 15, 1},   {0x3F25, 36, 16, 0},
    {0x2CF2, 38, 17, 0},   {0x207C, 39, 18, 0},   {0x17B9, 40, 19, 0},   {0x1182, 42, 20, 0},
    {0x0CEF, 43, 21, 0},   {0x09A1, 45, 22, 0},   {0x072F, 46, 23, 0},   {0x055C, 48, 24, 0},
    {0x0406, 49, 25, 0},   {0x0303, 51, 26, 0},   {0x0240, 52, 27, 0},   {0x01B1, 54, 28, 0},
    {0x0144, 56, 29, 0},   {0x00F5, 57, 30, 0},   {0x00B7, 59, 31, 0},   {0x008A, 60, 32, 0},
    {0x0068, 62, 33, 0},   {0x004E, 63, 34, 0},   {0x003B, 32, 35, 0},   {0x002C, 33, 9, 0},
    {0x5AE1, 37, 37, 1},   {0x484C, 64, 38, 0},   {0x3A0D, 65, 39, 0},   {0x2EF1, 67, 40, 0},
    {0x261F, 68, 41, 0},   {0x1F33, 69, 42, 0},   {0x19A8, 70, 43, 0},   {0x1518, 72, 44, 0},
    {0x1177, 73, 45, 0},   {0x0E74, 74, 46, 0},   {0x0BFB, 75, 47, 0},   {0x09F8, 77, 48, 0},
    {0x0861, 78, 49, 0},   {0x0706, 79, 50, 0},   {0x05CD, 48, 51, 0},   {0x04DE, 50, 52, 0},
    {0x040F, 50, 53, 0},   {0x0363, 51, 54, 0},   {0x02D4, 52, 55, 0},   {0x025C, 53, 56, 0},
    {0x01F8, 54, 57, 0},   {0x01A4, 55, 58, 0},   {0x0160, 56, 59, 0},   {0x0125, 57, 60, 0},
    {0x00F6, 58, 61, 0},   {0x00CB, 59, 62, 0},   {0x00AB, 61, 63, 0},   {0x008F, 61, 32, 0},
    {0x5B12, 65, 65, 1},   {0x4D04, 80, 66, 0},   {0x412C, 81, 67, 0},   {0x37D8, 82, 68, 0},
    {0x2FE8, 83, 69, 0},   {0x293C, 84, 70, 0},   {0x2379, 86, 71, 0},   {0x1EDF, 87, 72, 0},
    {0x1AA9, 87, 73, 0},   {0x174E, 72, 74, 0},   {0x1424, 72, 75, 0},   {0x119C, 74, 76, 0},
    {0x0F6B, 74, 77, 0},   {0x0D51, 75, 78, 0},   {0x0BB6, 77, 79, 0},   {0x0A40, 77, 48, 0},
    {0x5832, 80, 81, 1},   {0x4D1C, 88, 82, 0},   {0x438E, 89, 83, 0},   {0x3BDD, 90, 84, 0},
    {0x34EE, 91, 85, 0},   {0x2EAE, 92, 86, 0},   {0x299A, 93, 87, 0},   {0x2516, 86, 71, 0},
    {0x5570, 88, 89, 1},   {0x4CA9, 95, 90, 0},   {0x44D9, 96, 91, 0},   {0x3E22, 97, 92, 0},
    {0x3824, 99, 93, 0},   {0x32B4, 99, 94, 0},   {0x2E17, 93, 86, 0},   {0x56A8, 95, 96, 1},
    {0x4F46, 101, 97, 0},  {0x47E5, 102, 98, 0},  {0x41CF, 103, 99, 0},  {0x3C3D, 104, 100, 0},
    {0x375E, 99, 93, 0},   {0x5231, 105, 102, 0}, {0x4C0F, 106, 103, 0}, {0x4639, 107, 104, 0},
    {0x415E, 103, 99, 0},  {0x5627, 105, 106, 1}, {0x50E7, 108, 107, 0}, {0x4B85, 109, 103, 0},
    {0x5597, 110, 109, 0}, {0x504F, 111, 107, 0}, {0x5A10, 110, 111, 1}, {0x5522, 112, 109, 0},
    {0x59EB, 112, 111, 1},
};

constexpr bool estimates_stay_in_range() {
  for (const Estimate& e : kEstimates)
    if (e.next_lps >= 113 || e.next_mps >= 113 || e.qe == 0 || e.qe >= 0x8000) return false;
  return true;
}
static_assert(estimates_stay_in_range());

// Statistics bins of the DC model: the five conditioning contexts hold four
// bins each; the magnitude categories start at 20 and their bits 14 further.
constexpr int kDcMagnitude = 20;
// AC model: three bins per zigzag index, then the two magnitude areas.
constexpr int kAcLowMagnitude = 189;
constexpr int kAcHighMagnitude = 217;

// One byte from the data; a marker is not consumed and reads as zeros, so
// that the decoder runs on to the end of its interval harmlessly.
void byte_in(JpegArithDecoder& d) {
  uint32_t b = 0;
  if (d.pos < d.size) {
    b = d.data[d.pos];
    if (b == 0xFF) {
      if (d.pos + 1 < d.size && d.data[d.pos + 1] == 0) {
        d.pos += 2;
      } else {
        b = 0;
      }
    } else {
      d.pos += 1;
    }
  }
  d.c |= b << 8;
}

int decode(JpegArithDecoder& d, uint8_t* bin) {
  const Estimate& e = kEstimates[*bin & 0x7F];
  const uint32_t mps = *bin >> 7;
  d.a -= e.qe;
  int bit;
  bool moved_by_lps;
  if ((d.c >> 16) < d.a) {
    if (d.a >= 0x8000) return int(mps);
    // The lower part, smaller than Qe, stands for the less probable symbol.
    moved_by_lps = d.a < e.qe;
    bit = int(moved_by_lps ? mps ^ 1 : mps);
  } else {
    d.c -= d.a << 16;
    moved_by_lps = d.a >= e.qe;
    bit = int(moved_by_lps ? mps ^ 1 : mps);
    d.a = e.qe;
  }
  if (moved_by_lps) {
    *bin = uint8_t((e.switch_mps ? mps ^ 1 : mps) << 7 | e.next_lps);
  } else {
    *bin = uint8_t(mps << 7 | e.next_mps);
  }
  do {
    if (d.ct == 0) {
      byte_in(d);
      d.ct = 8;
    }
    d.a <<= 1;
    d.c <<= 1;
    --d.ct;
  } while (d.a < 0x8000);
  return bit;
}

// Signs and refinement bits are coded at a fixed probability of one half:
// a bin that is never allowed to learn.
int decode_fixed(JpegArithDecoder& d) {
  uint8_t bin = 0;
  return decode(d, &bin);
}

// The magnitude of a non-zero value whose first category decision is read
// from `first`; `more` is the first bin of the further category decisions.
// Returns |value| - 1, or 0 with d.corrupt set for a category beyond 15.
int32_t magnitude(JpegArithDecoder& d, uint8_t*& st, uint8_t* more, bool first_decides_twice) {
  int32_t m = decode(d, st);
  if (m && first_decides_twice) {
    if (decode(d, st)) {
      m <<= 1;
      st = more;
      while (decode(d, st)) {
        m <<= 1;
        if (m == 0x8000) {
          d.corrupt = true;
          return 0;
        }
        ++st;
      }
    }
  } else if (m) {
    st = more;
    while (decode(d, st)) {
      m <<= 1;
      if (m == 0x8000) {
        d.corrupt = true;
        return 0;
      }
      ++st;
    }
  }
  int32_t v = m;
  st += 14;
  while (m >>= 1)
    if (decode(d, st)) v |= m;
  return v;
}

void start_interval(JpegArithDecoder& d) {
  std::memset(d.dc_stats, 0, sizeof d.dc_stats);
  std::memset(d.ac_stats, 0, sizeof d.ac_stats);
  std::memset(d.dc_context, 0, sizeof d.dc_context);
  d.c = 0;
  d.ct = 0;
  byte_in(d);
  d.c <<= 8;
  byte_in(d);
  d.c <<= 8;
  d.a = 0x10000;
}

}  // namespace

JpegArithConditioning jpeg_arith_default_conditioning() {
  JpegArithConditioning k{};
  for (int i = 0; i < 4; ++i) {
    k.dc_low[i] = 0;
    k.dc_high[i] = 1;
    k.ac_split[i] = 5;
  }
  return k;
}

void jpeg_arith_start(JpegArithDecoder& d, const uint8_t* data, int64_t size, int64_t pos) {
  d.data = data;
  d.size = size;
  d.pos = pos;
  d.corrupt = false;
  start_interval(d);
}

void jpeg_arith_restart(JpegArithDecoder& d) {
  // The encoder flushed its last bytes before the marker; whatever the
  // decoder has not read of them is skipped.
  while (d.pos + 1 < d.size) {
    if (d.data[d.pos] == 0xFF && d.data[d.pos + 1] >= 0xD0 && d.data[d.pos + 1] <= 0xD7) {
      d.pos += 2;
      break;
    }
    if (d.data[d.pos] == 0xFF && d.data[d.pos + 1] != 0 && d.data[d.pos + 1] != 0xFF) break;
    ++d.pos;
  }
  start_interval(d);
}

int32_t jpeg_arith_dc_diff(JpegArithDecoder& d, const JpegArithConditioning& k, int table, int comp) {
  uint8_t* stats = d.dc_stats[table];
  uint8_t* s0 = stats + d.dc_context[comp];
  if (!decode(d, s0)) {
    d.dc_context[comp] = 0;
    return 0;
  }
  const int sign = decode(d, s0 + 1);
  uint8_t* st = s0 + 2 + sign;
  const int32_t v = magnitude(d, st, stats + kDcMagnitude, false);
  if (d.corrupt) return 0;
  // The next difference is conditioned on this one's size: |v| + 1 up to
  // 2^L / 2 is "zero", beyond 2^U "large", else "small"; negative ones use
  // the second context of each pair.
  const int32_t low = int32_t(1) << k.dc_low[table] >> 1, high = int32_t(1) << k.dc_high[table] >> 1;
  int32_t m = 1;
  while (m <= v) m <<= 1;
  m >>= 1;  // the highest power of two in v, 0 for v = 0
  if (m < low)
    d.dc_context[comp] = 0;
  else if (m > high)
    d.dc_context[comp] = 12 + 4 * sign;
  else
    d.dc_context[comp] = 4 + 4 * sign;
  return sign ? -(v + 1) : v + 1;
}

void jpeg_arith_ac_first(JpegArithDecoder& d, const JpegArithConditioning& k, int table, int ss, int se, int al,
                         int16_t* coef) {
  uint8_t* stats = d.ac_stats[table];
  if (ss < 1 || se > 63) return;
  for (int i = ss; i <= se; ++i) {
    uint8_t* st = stats + 3 * (i - 1);
    if (decode(d, st)) return;  // end of block
    while (!decode(d, st + 1)) {
      st += 3;
      if (++i > se) {
        d.corrupt = true;
        return;
      }
    }
    const int sign = decode_fixed(d);
    st += 2;
    const int32_t v = magnitude(d, st, stats + (i <= k.ac_split[table] ? kAcLowMagnitude : kAcHighMagnitude), true);
    if (d.corrupt) return;
    const int32_t value = sign ? -(v + 1) : v + 1;
    coef[i] = int16_t(uint32_t(value) << al);
  }
}

void jpeg_arith_dc_refine(JpegArithDecoder& d, int al, int16_t* coef) {
  if (decode_fixed(d)) coef[0] = int16_t(coef[0] | (1 << al));
}

void jpeg_arith_ac_refine(JpegArithDecoder& d, int table, int ss, int se, int al, int16_t* coef) {
  uint8_t* stats = d.ac_stats[table];
  if (ss < 1 || se > 63) return;
  const int p1 = 1 << al, m1 = -(1 << al);
  // Past the last coefficient earlier scans made non-zero, an end of block
  // may come at each index.
  int last_known = se;
  while (last_known >= ss && coef[last_known] == 0) --last_known;
  for (int i = ss; i <= se; ++i) {
    uint8_t* st = stats + 3 * (i - 1);
    if (i > last_known && decode(d, st)) return;
    for (;;) {
      if (coef[i] != 0) {
        if (decode(d, st + 2)) coef[i] = int16_t(coef[i] + (coef[i] < 0 ? m1 : p1));
        break;
      }
      if (decode(d, st + 1)) {
        coef[i] = int16_t(decode_fixed(d) ? m1 : p1);
        break;
      }
      st += 3;
      if (++i > se) {
        d.corrupt = true;
        return;
      }
    }
  }
}

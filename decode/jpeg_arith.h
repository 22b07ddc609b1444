#pragma once
#include <cstdint>

// Entropy decoding of arithmetic-coded JPEG scans: the adaptive binary
// decoder and the statistical models of DC and AC coefficients, sequential
// and progressive. Coefficients land in zigzag order, as the Huffman
// progressive decoder leaves them.

// Conditioning a frame's DAC segments set, per table id.
struct JpegArithConditioning {
  uint8_t dc_low[4];   // L: differences up to 2^L / 2 count as zero
  uint8_t dc_high[4];  // U: differences beyond 2^U count as large
  uint8_t ac_split[4]; // Kx: bands up to Kx and beyond it have their own statistics
};

// The defaults that stand until a DAC segment says otherwise.
JpegArithConditioning jpeg_arith_default_conditioning();

struct JpegArithDecoder {
  const uint8_t* data;
  int64_t size;
  int64_t pos;      // next byte to read; it stops at a marker, which reads as zero bytes
  uint32_t c;       // code register: bits 16..31 compare with the interval
  uint32_t a;       // interval size, 0x8000..0x10000 between decisions
  int32_t ct;       // bits left in the low byte of c before the next byte is read
  bool corrupt;     // a decoded value made no sense; the scan should stop
  // Statistics per table id; each byte is the MPS sense (bit 7) and the
  // index into the probability estimates.
  uint8_t dc_stats[4][64];
  uint8_t ac_stats[4][256];
  int32_t dc_context[4];  // per scan component: conditioning by the previous difference
};

// Starts decoding at data[pos] with fresh statistics, as a scan or a restart
// interval does.
void jpeg_arith_start(JpegArithDecoder& d, const uint8_t* data, int64_t size, int64_t pos);

// Moves past the next restart marker and starts again.
void jpeg_arith_restart(JpegArithDecoder& d);

// The next DC difference for scan component `comp` with DC table `table`.
int32_t jpeg_arith_dc_diff(JpegArithDecoder& d, const JpegArithConditioning& k, int table, int comp);

// AC coefficients ss..se of a first (or the only) scan, scaled by 2^al.
void jpeg_arith_ac_first(JpegArithDecoder& d, const JpegArithConditioning& k, int table, int ss, int se, int al,
                         int16_t* coef);

// One more bit of the DC coefficient at 2^al.
void jpeg_arith_dc_refine(JpegArithDecoder& d, int al, int16_t* coef);

// One more bit of AC coefficients ss..se at 2^al.
void jpeg_arith_ac_refine(JpegArithDecoder& d, int table, int ss, int se, int al, int16_t* coef);

#include "decode/dds_bc7.h"

// A BC7 block holds one to three subsets of its 16 pixels, each with two
// endpoint colours and per-pixel weights between them. The block's first bits
// name one of eight modes, and the mode fixes every field width that follows;
// fields are read least significant bit first, in the order of the mode
// table's columns.
namespace {

struct Mode {
  uint8_t subsets;
  uint8_t partition_bits;
  uint8_t rotation_bits;
  uint8_t selector_bits;  // swaps which index set drives colour and which alpha
  uint8_t colour_bits;
  uint8_t alpha_bits;  // 0: the mode has no alpha, which is then 255
  uint8_t endpoint_pbits;
  uint8_t shared_pbits;  // one low bit per subset, shared by both endpoints
  uint8_t index_bits;
  uint8_t second_index_bits;
};

constexpr Mode kModes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0}, {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0}, {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

// Two-subset shapes: bit i is the subset of pixel i (row-major).
constexpr uint16_t kTwoSubsets[64] = {
    0xCCCC, 0x8888, 0xEEEE, 0xECC8, 0xC880, 0xFEEC, 0xFEC8, 0xEC80, 0xC800, 0xFFEC, 0xFE80, 0xE800, 0xFFE8,
    0xFF00, 0xFFF0, 0xF000, 0xF710, 0x008E, 0x7100, 0x08CE, 0x008C, 0x7310, 0x3100, 0x8CCE, 0x088C, 0x3110,
    0x6666, 0x366C, 0x17E8, 0x0FF0, 0x718E, 0x399C, 0xAAAA, 0xF0F0, 0x5A5A, 0x33CC, 0x3C3C, 0x55AA, 0x9696,
    0xA55A, 0x73CE, 0x13C8, 0x324C, 0x3BDC, 0x6996, 0xC33C, 0x9966, 0x0660, 0x0272, 0x04E4, 0x4E40, 0x2720,
    0xC936, 0x936C, 0x39C6, 0x639C, 0x9336, 0x9CC6, 0x817E, 0xE718, 0xCCF0, 0x0FCC, 0x7744, 0xEE22,
};

// Three-subset shapes: bits 2i and 2i + 1 are the subset of pixel i.
constexpr uint32_t kThreeSubsets[64] = {
    0xAA685050, 0x6A5A5040, 0x5A5A4200, 0x5450A0A8, 0xA5A50000, 0xA0A05050, 0x5555A0A0, 0x5A5A5050,
    0xAA550000, 0xAA555500, 0xAAAA5500, 0x90909090, 0x94949494, 0xA4A4A4A4, 0xA9A59450, 0x2A0A4250,
    0xA5945040, 0x0A425054, 0xA5A5A500, 0x55A0A0A0, 0xA8A85454, 0x6A6A4040, 0xA4A45000, 0x1A1A0500,
    0x0050A4A4, 0xAAA59090, 0x14696914, 0x69691400, 0xA08585A0, 0xAA821414, 0x50A4A450, 0x6A5A0200,
    0xA9A58000, 0x5090A0A8, 0xA8A09050, 0x24242424, 0x00AA5500, 0x24924924, 0x24499224, 0x50A50A50,
    0x500AA550, 0xAAAA4444, 0x66660000, 0xA5A0A5A0, 0x50A050A0, 0x69286928, 0x44AAAA44, 0x66666600,
    0xAA444444, 0x54A854A8, 0x95809580, 0x96969600, 0xA85454A8, 0x80959580, 0xAA141414, 0x96960000,
    0xAAAA1414, 0xA05050A0, 0xA0A5A5A0, 0x96000000, 0x40804080, 0xA9A8A9A8, 0xAAAAAA44, 0x2A4A5254,
};

// The pixel of each later subset whose index is stored one bit short (its
// top bit is implied zero); the first subset's is always pixel 0.
constexpr uint8_t kAnchorOfTwo[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 2,  8, 2,  2, 8,
    8,  15, 2,  8,  2,  2,  8,  8,  2,  2,  15, 15, 6,  8,  2,  8,  15, 15, 2, 8,  2, 2,
    2,  15, 15, 6,  6,  2,  6,  8,  15, 15, 2,  2,  15, 15, 15, 15, 15, 2,  2, 15,
};
constexpr uint8_t kSecondAnchorOfThree[64] = {
    3, 3,  15, 15, 8,  3,  15, 15, 8,  8,  6, 6, 6,  5, 3,  3,  3,  3,  8,  15, 3,  3,
    6, 10, 5,  8,  8,  6,  8,  5,  15, 15, 8, 15, 3, 5, 6,  10, 8,  15, 15, 3,  15, 5,
    15, 15, 15, 15, 3, 15, 5,  5,  5,  8,  5, 10, 5, 10, 8, 13, 15, 12, 3,  3,
};
constexpr uint8_t kThirdAnchorOfThree[64] = {
    15, 8,  8,  3,  15, 15, 3,  8,  15, 15, 15, 15, 15, 15, 15, 8,  15, 8,  15, 3,  15, 8,
    15, 8,  3,  15, 6,  10, 15, 15, 10, 8,  15, 3,  15, 10, 10, 8,  9,  10, 6,  15, 8,  15,
    3,  6,  6,  8,  15, 3,  15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3,  15, 15, 8,
};

// Weights out of 64 for 2-, 3- and 4-bit indices.
constexpr uint8_t kWeights2[4] = {0, 21, 43, 64};
constexpr uint8_t kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
constexpr uint8_t kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

const uint8_t* weights_for(int bits) { return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4; }

// The 128 block bits, consumed from the least significant end. Reads never
// exceed 128 bits in total for any mode, which the mode table guarantees.
struct BlockBits {
  uint64_t low, high;
  uint32_t take(int n) {
    if (n == 0) return 0;
    const uint32_t v = uint32_t(low & ((uint64_t(1) << n) - 1));
    low = low >> n | high << (64 - n);
    high >>= n;
    return v;
  }
};

// Widens a value of `bits` bits (4 to 8) by repeating its top bits below it.
uint32_t widen(uint32_t v, int bits) { return bits >= 8 ? v : (v << (8 - bits)) | (v >> (2 * bits - 8)); }

uint32_t mix(uint32_t e0, uint32_t e1, uint32_t w) { return ((64 - w) * e0 + w * e1 + 32) >> 6; }

}  // namespace

void decode_bc7_block(const uint8_t* block, uint32_t pixels[16]) {
  BlockBits bits{0, 0};
  for (int i = 7; i >= 0; --i) bits.low = bits.low << 8 | block[i];
  for (int i = 15; i >= 8; --i) bits.high = bits.high << 8 | block[i];
  int mode_number = 0;
  while (mode_number < 8 && !(block[0] & (1 << mode_number))) ++mode_number;
  if (mode_number == 8) {
    for (int k = 0; k < 16; ++k) pixels[k] = 0;
    return;
  }
  const Mode& m = kModes[mode_number];
  bits.take(mode_number + 1);
  const uint32_t partition = bits.take(m.partition_bits);
  const uint32_t rotation = bits.take(m.rotation_bits);
  const uint32_t selector = bits.take(m.selector_bits);

  // endpoint[subset * 2 + end][channel], channels r, g, b, a.
  uint32_t endpoint[6][4];
  const int ends = 2 * m.subsets;
  for (int c = 0; c < 3; ++c)
    for (int e = 0; e < ends; ++e) endpoint[e][c] = bits.take(m.colour_bits);
  for (int e = 0; e < ends; ++e) endpoint[e][3] = bits.take(m.alpha_bits);
  int colour_bits = m.colour_bits, alpha_bits = m.alpha_bits;
  if (m.endpoint_pbits || m.shared_pbits) {
    uint32_t pbit[6];
    if (m.endpoint_pbits) {
      for (int e = 0; e < ends; ++e) pbit[e] = bits.take(1);
    } else {
      for (int s = 0; s < m.subsets; ++s) pbit[2 * s] = pbit[2 * s + 1] = bits.take(1);
    }
    for (int e = 0; e < ends; ++e)
      for (int c = 0; c < 4; ++c) endpoint[e][c] = endpoint[e][c] << 1 | pbit[e];
    ++colour_bits;
    if (alpha_bits) ++alpha_bits;
  }
  for (int e = 0; e < ends; ++e) {
    for (int c = 0; c < 3; ++c) endpoint[e][c] = widen(endpoint[e][c], colour_bits);
    endpoint[e][3] = alpha_bits ? widen(endpoint[e][3], alpha_bits) : 255;
  }

  int subset[16];
  for (int k = 0; k < 16; ++k) {
    if (m.subsets == 1)
      subset[k] = 0;
    else if (m.subsets == 2)
      subset[k] = (kTwoSubsets[partition] >> k) & 1;
    else
      subset[k] = int(kThreeSubsets[partition] >> (2 * k)) & 3;
  }
  auto is_anchor = [&](int k) {
    if (k == 0) return true;
    if (m.subsets == 2) return k == kAnchorOfTwo[partition];
    if (m.subsets == 3) return k == kSecondAnchorOfThree[partition] || k == kThirdAnchorOfThree[partition];
    return false;
  };
  uint32_t first[16], second[16] = {};
  for (int k = 0; k < 16; ++k) first[k] = bits.take(m.index_bits - (is_anchor(k) ? 1 : 0));
  if (m.second_index_bits)
    for (int k = 0; k < 16; ++k) second[k] = bits.take(m.second_index_bits - (k == 0 ? 1 : 0));

  // With two index sets the selector picks which one weights the colour; the
  // other weights the alpha.
  const bool swapped = m.second_index_bits && selector;
  const uint32_t* colour_index = swapped ? second : first;
  const uint32_t* alpha_index = m.second_index_bits && !selector ? second : first;
  const uint8_t* colour_weights = weights_for(swapped ? m.second_index_bits : m.index_bits);
  const uint8_t* alpha_weights =
      weights_for(m.second_index_bits && !selector ? m.second_index_bits : m.index_bits);

  for (int k = 0; k < 16; ++k) {
    const uint32_t* e0 = endpoint[2 * subset[k]];
    const uint32_t* e1 = endpoint[2 * subset[k] + 1];
    const uint32_t wc = colour_weights[colour_index[k]], wa = alpha_weights[alpha_index[k]];
    uint32_t v[4] = {mix(e0[0], e1[0], wc), mix(e0[1], e1[1], wc), mix(e0[2], e1[2], wc),
                     mix(e0[3], e1[3], wa)};
    if (rotation) {
      const uint32_t t = v[3];
      v[3] = v[rotation - 1];
      v[rotation - 1] = t;
    }
    pixels[k] = v[3] << 24 | v[0] << 16 | v[1] << 8 | v[2];
  }
}

#pragma once
#include <cstdint>

// Blocks of one MCU: ten is the most an interleaved scan may carry.
constexpr int kJpegMcuBlocks = 10;

// Where and how jpeg_store_mcu writes. The decoder rewrites it at the frame
// header and at every scan.
struct JpegOutput {
  uint32_t* pixels;
  int32_t pitch;     // bytes
  int32_t x_offset;  // target position of picture pixel (0, 0)
  int32_t y_offset;
  int32_t clip_left;  // first target column / row that may be written (>= 0)
  int32_t clip_top;
  int32_t clip_width;  // min(target width, x offset + picture width): columns below it may be written
  int32_t clip_height;
  int32_t h_blocks;  // first-component (luma) blocks per MCU, horizontally and vertically
  int32_t v_blocks;
  // Cb (index 0) and Cr (index 1): the first block of each in the MCU, or -1
  // when the data has no such component (its chroma is then zero); blocks
  // per row in the MCU; and log2 of the luma samples per chroma sample.
  int32_t chroma_block[2];
  int32_t chroma_h_blocks[2];
  int32_t chroma_shift_h[2];
  int32_t chroma_shift_v[2];
};

// Inverse transform of one block of dequantised coefficients (natural order),
// in place. Bit r of row_mask says row r may hold non-zero coefficients; the
// row pass skips the others. The dequantisation multipliers set the output
// scale: luma blocks come out as (sample - 128) << 22, chroma blocks as
// (sample - 128) << 16.
void jpeg_idct(int32_t* block, uint32_t row_mask);

// Converts the transformed MCU in mcu (blocks in decoding order) to opaque
// pixels and writes the part inside the clip rectangle. mcu_x and mcu_y are
// picture pixels.
void jpeg_store_mcu(const JpegOutput& out, const int32_t* mcu, int32_t mcu_x, int32_t mcu_y);

// The same with only the general per-pixel loop, never the 8-wide shortcuts.
void jpeg_store_mcu_general(const JpegOutput& out, const int32_t* mcu, int32_t mcu_x, int32_t mcu_y);

#pragma once
// Decoding a whole file the way the driver does, for the format decoder tests.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/oracle.h"

namespace decodecheck {

using Bytes = std::vector<uint8_t>;

// What every target pixel holds before a decode, so that untouched pixels show.
constexpr uint32_t kUntouched = 0x5A5A5A5Au;

struct Decoded {
  int32_t result = -2;
  int32_t width = 0, height = 0;
  int32_t colour_type = -1;  // source_info after the decode
  int32_t incomplete = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, top row first
};

// Decodes into a target of the given size at the given offset, prefilled with
// kUntouched, with the colour type preset to 2. The input is copied into a
// buffer of its exact size so that the sanitizers catch any read past it. A
// target of no size is a single guarded pixel that must stay untouched.
Decoded decode_at(const Bytes& file, int32_t width, int32_t height, int32_t x_offset = 0,
                  int32_t y_offset = 0);
// The same into a target of the probed size; a probe of no size, or of more
// than 2^26 pixels, decodes into an empty target.
Decoded decode_file(const Bytes& file);

// Decodes at each offset into a width x height target and expects the
// picture decoded at (0, 0) moved by the offset and clipped, every other
// pixel untouched.
void expect_offsets_clip(const Bytes& file, int32_t width, int32_t height,
                         const std::vector<std::pair<int32_t, int32_t>>& offsets);

// Pixels whose bits under `mask` differ from the rendering; with
// `opaque_only` the rendering's translucent pixels are skipped. -1 when the
// sizes differ.
int64_t mismatches(const Decoded& d, const OraclePicture& ref, uint32_t mask, bool opaque_only = false);
// The same against a PNG rendering read with libpng; -1 when libpng refuses it.
int64_t rendering_mismatches(const Decoded& d, const std::string& png_path, uint32_t mask,
                             bool opaque_only = false);
// The same against stb_image's decode of the file; -1 when stb_image refuses it.
int64_t stb_mismatches(const Decoded& d, const Bytes& file, uint32_t mask);

// How a decode is held against a reference that may differ from it in ways
// that change nothing visible or that follow a documented rounding: the bits
// compared, how far each compared 8-bit channel may stray (a reference that
// widens narrow channels by rounding differs by 1 from bit repetition),
// whether two fully transparent pixels match whatever their colours, and
// whether the reference's translucent pixels are skipped.
struct Likeness {
  uint32_t mask = 0xFFFFFFFF;
  int tolerance = 0;
  bool clear_matches_clear = false;
  bool opaque_only = false;
};
int64_t mismatches(const Decoded& d, const OraclePicture& ref, const Likeness& like);
int64_t rendering_mismatches(const Decoded& d, const std::string& png_path, const Likeness& like);
int64_t stb_mismatches(const Decoded& d, const Bytes& file, const Likeness& like);

// n pseudo-random values below `modulo` (0: any 32-bit value); each value is
// repeated `repeat` times in a row, so that run-length coders find runs.
std::vector<uint32_t> random_values(size_t n, uint32_t modulo, uint32_t seed, int repeat = 1);

// One little-endian field of 1, 2 or 4 bytes changed in a good file.
struct Patch {
  const char* what;
  size_t at;
  uint32_t value;
  int bytes = 1;
};
// Expects the good file to decode and every patched copy to be refused.
void expect_refused(const Bytes& good, const std::vector<Patch>& patches);

void put_le16(Bytes& b, size_t at, uint32_t v);
void put_le32(Bytes& b, size_t at, uint32_t v);

}  // namespace decodecheck

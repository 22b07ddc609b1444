// The encoder's promise, checked on pictures and options drawn from the
// fuzzer's bytes: whatever PNG it returns decodes to exactly the pixels it was
// given. A refusal is fine; a lossy or unreadable PNG aborts, and the
// sanitizers judge every read and write on the way.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/png_decode.h"
#include "encode/encode_options.h"
#include "encode/encode_png.h"

namespace {

// Pictures stay small so that a run of several passes takes milliseconds.
constexpr int32_t kMaxSide = 40;

struct ByteSource {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  // Past the end the source repeats itself, so short inputs still fill a picture.
  uint8_t next() {
    const uint8_t b = data[at % size];
    at += 1;
    return b;
  }
  uint32_t next32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | next();
    return v;
  }
};

// Pixels in one of a few shapes, so that every colour type and bit depth can
// be reached: raw colours, a few colours (palette), grays with alpha, one
// colour under full transparency in several colours (the key cases).
void fill_pixels(ByteSource& in, uint8_t shape, std::vector<uint32_t>& pixels) {
  uint32_t palette[8];
  const int32_t colours = 1 + in.next() % 8;
  for (int32_t i = 0; i < colours; ++i) palette[i] = in.next32();
  for (uint32_t& p : pixels) {
    switch (shape % 5) {
      case 0: p = in.next32(); break;
      case 1: p = palette[in.next() % colours]; break;
      case 2: {
        const uint32_t g = in.next() & (0xFFu >> (in.at % 8));
        p = uint32_t(in.next() | 0x80) << 24 | g * 0x010101u;
        break;
      }
      case 3: p = palette[in.next() % colours] | 0xFF000000u; break;
      default: p = (in.next() & 1) ? palette[0] & 0x00FFFFFFu : palette[1] | 0xFF000000u; break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  ByteSource in{data, size};
  const int32_t width = 1 + in.next() % kMaxSide;
  const int32_t height = 1 + in.next() % kMaxSide;
  static const int32_t kColourTypes[5] = {0, 2, 3, 4, 6};
  static const int32_t kDepths[5] = {0, 1, 2, 4, 8};
  static const double kThresholds[4] = {0.0, 1.0, 16.0, 256.0};
  const uint8_t mode = in.next();
  const uint8_t split = in.next();
  const uint8_t shape = in.next();

  std::vector<uint32_t> pixels(size_t(width) * size_t(height));
  fill_pixels(in, shape, pixels);
  const std::vector<uint32_t> original = pixels;

  EncodeOptions o{};
  o.pixels = pixels.data();
  o.pitch = width * 4;
  o.width = width;
  o.height = height;
  o.colour_type = kColourTypes[mode % 5];
  o.bit_depth = (o.colour_type == 0 || o.colour_type == 3) ? kDepths[(mode / 5) % 5] : 8;
  o.filter = int32_t((mode / 25) % 7) - 1;  // -1 lets the encoder pick
  o.strategy = int32_t(split % 5);
  o.block_threshold = kThresholds[(split / 5) % 4];
  o.exact_block_count = (split & 0x80) ? int32_t(shape % 12) : 0;
  o.randomize = (shape >> 5) & 1;
  o.zl121_mode = (shape >> 6) & 1;
  const int32_t result = encode_png(&o);
  if (result != kNoPng) {
    // The whole file must be in the buffer: the encoder sized it.
    if (result > o.kbuf_capacity) std::abort();
    std::vector<uint32_t> decoded(pixels.size(), 0);
    const DecodeTarget target = {decoded.data(), width * 4, width, height, 0, 0};
    if (decode_png_verify(o.kbuf, result, target) != 0) std::abort();
    if (std::memcmp(decoded.data(), original.data(), original.size() * 4) != 0) std::abort();
  }
  // The picture is the caller's: the encoder reads it and never writes it.
  if (pixels != original) std::abort();
  std::free(o.kbuf);
  return 0;
}

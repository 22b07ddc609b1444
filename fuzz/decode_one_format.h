// One decoder behind its own target: inputs that another format would claim
// are passed over at once, so the fuzzer's time and corpus serve this one.
// The picture is decoded whole and again at an offset that clips it, into a
// target sized as the header promises, as the driver does.
#include <cstdint>
#include <cstring>
#include <vector>

#include "decode/picture.h"
#include "decode/png_decode.h"

namespace {

constexpr int64_t kMaxPixels = int64_t(1) << 22;

enum class Format { png, jpeg, gif, cel, bmp, pcx, dds, tga };

// The recognition order of the dispatcher, by the first bytes alone.
Format format_of(const uint8_t* d, size_t size) {
  if (size >= 2 && d[0] == 0x89 && d[1] == 'P') return Format::png;
  if (size >= 2 && d[0] == 0xFF && d[1] == 0xD8) return Format::jpeg;
  if (size >= 3 && std::memcmp(d, "GIF", 3) == 0) return Format::gif;
  if (size >= 2 && d[0] == 0x19 && d[1] == 0x91) return Format::cel;
  if (size >= 2 && d[0] == 'B' && (d[1] == 'M' || d[1] == 'A')) return Format::bmp;
  if (size >= 4 && d[0] == 0x0A && d[1] == 0x05 && d[2] == 0x01 && d[3] == 0x08) return Format::pcx;
  if (size >= 4 && std::memcmp(d, "DDS ", 4) == 0) return Format::dds;
  return Format::tga;
}

int decode_one(const uint8_t* data, size_t size, Format wanted) {
  if (size > 0x7FFFFFFF || format_of(data, size) != wanted) return 0;
  // A private copy, so that a read one byte past the end is caught.
  std::vector<uint8_t> input(data, data + size);
  const uint8_t* bytes = input.empty() ? nullptr : input.data();
  int32_t width = 0, height = 0;
  probe_picture(bytes, int32_t(size), &width, &height);
  if (width < 1 || height < 1 || int64_t(width) * height > kMaxPixels) {
    uint32_t none = 0;
    SourceInfo info{};
    decode_picture(bytes, int32_t(size), DecodeTarget{&none, 0, 0, 0, 0, 0}, info);
    return 0;
  }
  std::vector<uint32_t> pixels(size_t(width) * size_t(height), 0);
  SourceInfo info{};
  decode_picture(bytes, int32_t(size), DecodeTarget{pixels.data(), width * 4, width, height, 0, 0}, info);
  decode_picture(bytes, int32_t(size), DecodeTarget{pixels.data(), width * 4, width, height, -3, 2}, info);
  // Interpolated chroma ("-u") renders the whole frame its own way.
  if (wanted == Format::jpeg)
    decode_picture(bytes, int32_t(size), DecodeTarget{pixels.data(), width * 4, width, height, 1, -2, true}, info);
  if (wanted == Format::png || wanted == Format::jpeg) {
    // The 16-bit decode, with its own wide target.
    std::vector<uint16_t> wide(size_t(width) * size_t(height) * 4, 0);
    const DecodeTarget target{nullptr, width * 4, width, height, 0, 0};
    decode_picture_wide(bytes, int32_t(size), target, wide.data(), info);
    decode_picture_wide(bytes, int32_t(size), DecodeTarget{nullptr, width * 4, width, height, 2, -3},
                        wide.data(), info);
  }
  return 0;
}

}  // namespace

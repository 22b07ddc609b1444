// Every decoder behind one entry: probe, allocate what the probe promises (as
// the driver does), decode. The sanitizers judge every read and write.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/picture.h"

namespace {
// Large enough for every real picture in the seeds, small enough that the
// fuzzer never spends its time filling gigabytes.
constexpr int64_t kMaxPixels = int64_t(1) << 22;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  // A private copy, so that a read one byte past the end is caught.
  std::vector<uint8_t> input(data, data + size);
  const uint8_t* bytes = input.empty() ? nullptr : input.data();
  int32_t width = 0, height = 0;
  probe_picture(bytes, int32_t(size), &width, &height);
  if (width < 1 || height < 1 || int64_t(width) * height > kMaxPixels) {
    // Decoding into an empty target must be safe too: everything is clipped.
    uint32_t none = 0;
    SourceInfo info{};
    decode_picture(bytes, int32_t(size), DecodeTarget{&none, 0, 0, 0, 0, 0}, info);
    return 0;
  }
  std::vector<uint32_t> pixels(size_t(width) * size_t(height), 0);
  SourceInfo info{};
  decode_picture(bytes, int32_t(size), DecodeTarget{pixels.data(), width * 4, width, height, 0, 0}, info);
  // The same picture at an offset, cut by the target's edges.
  decode_picture(bytes, int32_t(size), DecodeTarget{pixels.data(), width * 4, width, height, -3, 2}, info);
  return 0;
}

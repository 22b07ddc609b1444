#include "driver/verify.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "decode/picture.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

bool verify_png_output(const uint8_t* png, int32_t size, const uint32_t* pixels, int32_t width,
                       int32_t height) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (png == nullptr || size < 8 || width < 1 || height < 1) return false;
  if (std::memcmp(png, kSignature, 8) != 0) return false;
  int32_t probed_width = 0, probed_height = 0;
  probe_picture(png, size, &probed_width, &probed_height);
  // A larger picture would be clipped to the target and could still compare
  // equal, so the stored size must match first.
  if (probed_width != width || probed_height != height) return false;

  const size_t count = size_t(width) * size_t(height);
  std::unique_ptr<uint32_t, FreeDeleter> decoded(static_cast<uint32_t*>(std::calloc(count, 4)));
  if (!decoded) return false;
  const SourceInfo saved = source_info;
  const int32_t result = decode_picture(png, size, decoded.get(), width * 4, width, height, 0, 0);
  const bool complete = source_info.incomplete == 0;
  source_info = saved;
  return result == 0 && complete && std::memcmp(decoded.get(), pixels, count * 4) == 0;
}

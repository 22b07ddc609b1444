#include "driver/verify.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "decode/picture.h"
#include "decode/png_decode.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

bool verify_png_output(const uint8_t* png, int32_t size, const uint32_t* pixels, int32_t width,
                       int32_t height) {
  return verify_png_output(png, size, pixels, width, height, false);
}

bool verify_png_output(const uint8_t* png, int32_t size, const uint32_t* pixels, int32_t width, int32_t height,
                       bool clear_colour_free) {
  if (png == nullptr || size < 8 || width < 1 || height < 1) return false;
  int32_t stored_width = 0, stored_height = 0;
  probe_picture(png, size, &stored_width, &stored_height);
  // A larger picture would be clipped to the target and could still compare
  // equal, so the stored size must match first.
  if (stored_width != width || stored_height != height) return false;

  const size_t count = size_t(width) * size_t(height);
  // Zero-filled, so pixels the decode never reaches cannot match by chance
  // of leftover memory.
  std::unique_ptr<uint32_t, FreeDeleter> decoded(static_cast<uint32_t*>(std::calloc(count, 4)));
  if (!decoded) return false;
  const DecodeTarget target = {decoded.get(), width * 4, width, height, 0, 0};
  if (decode_png_verify(png, size, target) != 0) return false;
  if (!clear_colour_free) return std::memcmp(decoded.get(), pixels, count * 4) == 0;
  const uint32_t* d = decoded.get();
  for (size_t i = 0; i < count; ++i) {
    if (d[i] != pixels[i] && ((d[i] | pixels[i]) >> 24) != 0) return false;
  }
  return true;
}

bool verify_png_output_wide(const uint8_t* png, int32_t size, const uint16_t* samples, int32_t width,
                            int32_t height) {
  if (png == nullptr || size < 8 || width < 1 || height < 1) return false;
  int32_t stored_width = 0, stored_height = 0;
  probe_picture(png, size, &stored_width, &stored_height);
  if (stored_width != width || stored_height != height) return false;
  const size_t count = size_t(width) * size_t(height) * 4;
  std::unique_ptr<uint16_t, FreeDeleter> decoded(static_cast<uint16_t*>(std::calloc(count, 2)));
  if (!decoded) return false;
  const DecodeTarget target = {nullptr, width * 4, width, height, 0, 0};
  if (decode_png_verify_wide(png, size, target, decoded.get()) != 0) return false;
  return std::memcmp(decoded.get(), samples, count * 2) == 0;
}

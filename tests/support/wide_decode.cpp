#include "tests/support/wide_decode.h"

#include <algorithm>
#include <filesystem>

#include "decode/picture.h"
#include "decode/png_decode.h"
#include "tests/support/oracle.h"
#include "tests/support/oracle16.h"

std::string suite_path(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/pngsuite/" + name; }

std::vector<std::string> wide_suite_files() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/pngsuite")) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() != ".png" || name[0] == 'x') continue;
    OraclePicture16 p;
    if (libpng_decode16(read_file(e.path().string()), &p) && p.bit_depth == 16) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

WideDecode decode_wide(const std::vector<uint8_t>& file, int32_t width, int32_t height, int32_t x, int32_t y,
                       bool png_only) {
  WideDecode d;
  d.samples.assign(size_t(width) * size_t(height) * 4, 0);
  const DecodeTarget target{nullptr, width * 4, width, height, x, y};
  if (png_only) {
    reset_decode_fields(d.info);
    d.result = decode_png_wide(file.data(), int32_t(file.size()), target, d.samples.data(), d.info);
  } else {
    d.result = decode_picture_wide(file.data(), int32_t(file.size()), target, d.samples.data(), d.info);
  }
  return d;
}

// Pinned decodes: for every fuzz seed and every PngSuite file, the probed
// size, the decode's result, the CRC-32 of the pixels and of what the decoder
// reported about its input, once into a target of the probed size and once
// shifted and clipped. Refactors of the decoders run against this table; when
// a change is meant to alter a decode, TESSEL_REPIN=1 prints the new table.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "decode/picture.h"

namespace {

namespace fs = std::filesystem;

struct Pin {
  int32_t width, height;
  int32_t result, shifted_result;
  uint32_t pixel_crc, info_crc, shifted_crc;
};

uint32_t crc_of(uint32_t crc, const void* p, size_t n) {
  return uint32_t(crc32(crc, static_cast<const Bytef*>(p), uInt(n)));
}

template <typename T>
uint32_t fold(uint32_t crc, T value) {
  return crc_of(crc, &value, sizeof value);
}

// Field by field, so that padding never enters the hash.
uint32_t info_hash(const SourceInfo& s) {
  uint32_t h = 0;
  h = fold(h, s.source_color_type);
  h = fold(h, s.source_bit_depth);
  h = crc_of(h, s.palette, sizeof s.palette);
  h = fold(h, s.palette_count);
  h = fold(h, s.background);
  h = fold(h, s.source_filter);
  h = fold(h, s.zlib_header);
  h = fold(h, s.deflate_block_count);
  h = fold(h, s.incomplete);
  return h;
}

std::vector<fs::path> pinned_files() {
  std::vector<fs::path> files;
  const fs::path seeds = fs::path(TESSEL_SOURCE_DIR) / "fuzz" / "seeds";
  for (const char* format : {"bmp", "dds", "gif", "jpeg", "pcx", "png", "tga"})
    for (const auto& e : fs::directory_iterator(seeds / format)) files.push_back(e.path());
  const fs::path suite = fs::path(TESSEL_CORPUS_DIR) / "pngsuite";
  if (fs::is_directory(suite))
    for (const auto& e : fs::directory_iterator(suite))
      if (e.path().extension() == ".png") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string pin_name(const fs::path& p) { return p.parent_path().filename().string() + "/" + p.filename().string(); }

// Every decode starts from the same record, as the driver's does.
SourceInfo fresh_info() {
  SourceInfo s{};
  s.source_color_type = 2;
  return s;
}

Pin decode_file(const std::vector<uint8_t>& bytes) {
  Pin pin{};
  const int32_t size = int32_t(bytes.size());
  probe_picture(bytes.data(), size, &pin.width, &pin.height);
  const int64_t w = std::clamp(pin.width, 1, 4096), h = std::clamp(pin.height, 1, 4096);
  std::vector<uint32_t> pixels(size_t(w * h), 0);
  source_info = fresh_info();
  pin.result = decode_picture(bytes.data(), size, pixels.data(), int32_t(w) * 4, int32_t(w), int32_t(h), 0, 0);
  pin.pixel_crc = crc_of(0, pixels.data(), pixels.size() * 4);
  pin.info_crc = info_hash(source_info);
  // Shifted left by 3 and down by 2 into a target 5 pixels narrower: every
  // decoder's clipping on the left, right and top.
  const int32_t sw = int32_t(std::max<int64_t>(1, w - 5));
  std::vector<uint32_t> shifted(size_t(sw) * size_t(h), 0);
  source_info = fresh_info();
  pin.shifted_result = decode_picture(bytes.data(), size, shifted.data(), sw * 4, sw, int32_t(h), -3, 2);
  pin.shifted_crc = crc_of(info_hash(source_info), shifted.data(), shifted.size() * 4);
  return pin;
}

const std::map<std::string, Pin>& pins() {
  static const std::map<std::string, Pin> table = {
#include "tests/decode/pinned_decodes.inc"
  };
  return table;
}

TEST(PinnedDecodes, EveryFileDecodesAsPinned) {
  const bool repin = std::getenv("TESSEL_REPIN") != nullptr;
  std::string table;
  int32_t seen = 0;
  for (const fs::path& path : pinned_files()) {
    const std::string name = pin_name(path);
    SCOPED_TRACE(name);
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Pin got = decode_file(bytes);
    char line[200];
    std::snprintf(line, sizeof line, "    {\"%s\", {%d, %d, %d, %d, 0x%08xu, 0x%08xu, 0x%08xu}},\n", name.c_str(),
                  got.width, got.height, got.result, got.shifted_result, got.pixel_crc, got.info_crc,
                  got.shifted_crc);
    table += line;
    if (repin) continue;
    const auto it = pins().find(name);
    ASSERT_NE(it, pins().end()) << "no pin; run with TESSEL_REPIN=1";
    ++seen;
    const Pin& want = it->second;
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.shifted_result, want.shifted_result);
    EXPECT_EQ(got.pixel_crc, want.pixel_crc) << line;
    EXPECT_EQ(got.info_crc, want.info_crc) << line;
    EXPECT_EQ(got.shifted_crc, want.shifted_crc) << line;
  }
  if (repin) std::printf("%s", table.c_str());
  if (!repin) {
    EXPECT_EQ(size_t(seen), pins().size()) << "pinned files are missing";
  }
}

}  // namespace

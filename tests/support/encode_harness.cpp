#include "tests/support/encode_harness.h"

#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "encode/encode_png.h"

EncodeOptions default_options(const TestPicture& picture, int32_t colour_type) {
  EncodeOptions o{};
  o.pixels = const_cast<uint32_t*>(picture.pixels.data());
  o.pitch = picture.width * 4;
  o.width = picture.width;
  o.height = picture.height;
  o.filter = -1;
  o.colour_type = colour_type;
  o.bit_depth = 0;
  o.strategy = 0;
  o.block_threshold = 256.0;
  o.print = capture_print;
  return o;
}

EncodeRun run_encoder(const TestPicture& picture, int32_t colour_type,
                      const std::function<void(EncodeOptions&)>& tweak) {
  EncodeRun run;
  run.options = default_options(picture, colour_type);
  if (tweak) tweak(run.options);
  captured_messages().clear();
  run.result = encode_png(&run.options);
  run.messages = captured_messages();
  if (run.result != kNoPng && run.options.kbuf) {
    const int32_t stored = run.result < run.options.kbuf_capacity ? run.result : run.options.kbuf_capacity;
    run.png.assign(run.options.kbuf, run.options.kbuf + stored);
  }
  if (run.options.chosen_palette) {
    run.chosen_palette.assign(run.options.chosen_palette,
                              run.options.chosen_palette + run.options.chosen_palette_count);
  }
  std::free(run.options.kbuf);
  run.options.kbuf = nullptr;
  return run;
}

std::vector<PngChunk> split_chunks(const std::vector<uint8_t>& png, bool* ok) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<PngChunk> chunks;
  bool good = png.size() >= 8 && std::memcmp(png.data(), kSignature, 8) == 0;
  size_t at = 8;
  while (good && at < png.size()) {
    if (png.size() - at < 12) {
      good = false;
      break;
    }
    const uint8_t* p = png.data() + at;
    const uint32_t n = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    if (png.size() - at - 12 < n) {
      good = false;
      break;
    }
    PngChunk c;
    c.offset = at;
    c.type.assign(reinterpret_cast<const char*>(p + 4), 4);
    c.data.assign(p + 8, p + 8 + n);
    const uint32_t stored =
        uint32_t(p[8 + n]) << 24 | uint32_t(p[9 + n]) << 16 | uint32_t(p[10 + n]) << 8 | p[11 + n];
    const uint32_t crc = uint32_t(crc32(crc32(0, p + 4, 4), p + 8, n));
    c.crc_ok = crc == stored;
    chunks.push_back(std::move(c));
    at += 12 + size_t(n);
  }
  if (ok) *ok = good;
  return chunks;
}

std::string chunk_sequence(const std::vector<PngChunk>& chunks) {
  std::string s;
  for (const PngChunk& c : chunks) {
    if (!s.empty()) s += ",";
    s += c.type;
  }
  return s;
}

std::vector<uint8_t> make_chunk(const std::string& type, const std::vector<uint8_t>& data) {
  const uint32_t n = uint32_t(data.size());
  std::vector<uint8_t> out(12 + size_t(n), 0);
  out[0] = uint8_t(n >> 24);
  out[1] = uint8_t(n >> 16);
  out[2] = uint8_t(n >> 8);
  out[3] = uint8_t(n);
  for (size_t i = 0; i < 4 && i < type.size(); ++i) out[4 + i] = uint8_t(type[i]);
  if (n > 0) std::memcpy(out.data() + 8, data.data(), n);
  const uint32_t crc = uint32_t(crc32(0, out.data() + 4, uInt(4 + n)));
  out[8 + n] = uint8_t(crc >> 24);
  out[9 + n] = uint8_t(crc >> 16);
  out[10 + n] = uint8_t(crc >> 8);
  out[11 + n] = uint8_t(crc);
  return out;
}

#include "tests/support/encode_harness.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "decode/png_chunk_walk.h"
#include "encode/encode_png.h"
#include "tests/support/oracle.h"

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
  o.print = capture_printer();
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
  run.chosen_palette.assign(run.options.chosen_palette,
                            run.options.chosen_palette + run.options.chosen_palette_count);
  std::free(run.options.kbuf);
  run.options.kbuf = nullptr;
  return run;
}

std::string without_timing(const std::string& messages) {
  std::string out;
  size_t at = 0;
  while (at < messages.size()) {
    size_t end = messages.find('\n', at);
    end = end == std::string::npos ? messages.size() : end + 1;
    const std::string line = messages.substr(at, end - at);
    if (line.rfind("Took ", 0) != 0) out += line;
    at = end;
  }
  return out;
}

::testing::AssertionResult lossless(const TestPicture& picture, const EncodeRun& run) {
  if (run.result == kNoPng) return ::testing::AssertionFailure() << "no PNG: " << run.messages;
  if (size_t(run.result) != run.png.size())
    return ::testing::AssertionFailure()
           << "size " << run.result << " but " << run.png.size() << " bytes kept";
  bool ok = false;
  for (const PngChunk& c : split_chunks(run.png, &ok))
    if (!c.crc_ok) return ::testing::AssertionFailure() << "bad CRC on " << c.type;
  if (!ok) return ::testing::AssertionFailure() << "chunks cut short";
  return png_shows(run.png, picture.width, picture.height, picture.pixels);
}

std::vector<PngChunk> split_chunks(const std::vector<uint8_t>& png, bool* ok) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<PngChunk> chunks;
  bool good = png.size() >= 8 && std::memcmp(png.data(), kSignature, 8) == 0;
  PngChunkWalk walk = png_chunk_walk(png.data(), good ? int64_t(png.size()) : 0);
  PngChunkView v;
  while (good && png_chunk_next(&walk, &v)) {
    if (!v.complete) break;
    PngChunk c;
    c.type.assign(reinterpret_cast<const char*>(v.type), 4);
    c.data.assign(v.data, v.data + v.length);
    c.whole.assign(png.data() + v.position, v.data + v.length + 4);
    // zlib's CRC, not the walk's own, so that the check stays independent.
    c.crc_ok = uint32_t(crc32(crc32(0, v.type, 4), v.data, v.length)) == v.stored_crc;
    chunks.push_back(std::move(c));
  }
  if (walk.end != PngWalkEnd::kClean) good = false;
  if (ok) *ok = good;
  return chunks;
}

std::string chunk_sequence(const std::vector<PngChunk>& chunks) {
  std::string s;
  for (const PngChunk& c : chunks) s += (s.empty() ? "" : ",") + c.type;
  return s;
}

const PngChunk* find_chunk(const std::vector<PngChunk>& chunks, const std::string& type, int nth) {
  for (const PngChunk& c : chunks)
    if (c.type == type && nth-- == 0) return &c;
  return nullptr;
}

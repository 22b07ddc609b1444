#pragma once
// Drives whole compression passes through the public stream interface for the
// deflate tests and reads the result back with zlib.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "deflate/deflate_stream.h"
#include "tests/support/oracle.h"

struct StreamDeleter {
  void operator()(DeflateStream* s) const { deflate_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<DeflateStream, StreamDeleter>;

// One block, the strategy's fixed starting tables.
inline StreamPtr make_stream(int32_t strategy) {
  StreamPtr s(deflate_stream_create());
  s->strategy = strategy;
  set_single_block(s.get());
  set_initial_lengths(s.get(), 0, 0);
  return s;
}

// The stream knows nothing of chunks; these hooks put its bytes in an IDAT
// chunk the way the PNG writer does (zlib's CRC, not the encoder's), so that
// a run's bytes are a whole chunk. The output buffer is large enough for all.
inline int open_idat(void* user) {
  BitWriter* w = static_cast<BitWriter*>(user);
  const uint8_t head[8] = {0, 0, 0, 0, 'I', 'D', 'A', 'T'};
  emit_bytes(w, head, 8);
  return 1;
}

inline void close_idat(void* user) {
  BitWriter* w = static_cast<BitWriter*>(user);
  const uint32_t length = uint32_t(w->out_count - 8);
  emit_be32(w, uint32_t(crc32(0, w->kbuf + 4, uInt(length + 4))));
  for (int i = 0; i < 4; ++i) w->kbuf[i] = uint8_t(length >> (24 - 8 * i));
}

inline void set_ends(DeflateStream* s, const std::vector<int32_t>& ends) {
  s->block_count = int32_t(ends.size());
  for (size_t i = 0; i < ends.size(); ++i) s->blocks[i].end = ends[i];
}

struct StreamRun {
  std::vector<uint8_t> png;  // IDAT length, tag, zlib stream, CRC
  int32_t size = 0;
  int32_t invalid = 0;
  int32_t excess_bits = 0;
  const uint8_t* zlib() const { return png.data() + 8; }
  size_t zlib_size() const { return size_t(size) - 12; }
};

// One pass over data with the stream's current blocks and lengths, fed one
// byte at a time or, with pieces, in runs of (k * 337) % 1000 bytes (some
// empty, some ending right at a block end), the way whole rows arrive.
inline StreamRun run_pass(DeflateStream* s, const std::vector<uint8_t>& data, bool pieces = false) {
  StreamRun run;
  run.png.assign(data.size() * 2 + 65536, 0);
  BitWriter w{};
  w.kbuf = run.png.data();
  w.kbuf_capacity = int32_t(run.png.size());
  s->out = &w;
  s->hooks = StreamHooks{&w, open_idat, close_idat, nullptr};
  deflate_begin(s);
  for (size_t at = 0, k = 0; at < data.size(); ++k) {
    const size_t n = pieces ? std::min(data.size() - at, (k * 337) % 1000) : 1;
    if (pieces) deflate_feed_bytes(s, data.data() + at, int32_t(n));
    if (!pieces) deflate_feed(s, data[at]);
    at += n;
  }
  deflate_finish(s);
  run.size = w.out_count;
  run.invalid = s->invalid;
  run.excess_bits = s->excess_bits;
  run.png.resize(size_t(w.out_count));
  s->out = nullptr;
  return run;
}

inline bool inflates_to(const StreamRun& run, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> back;
  return run.invalid == 0 && zlib_inflate(run.zlib(), run.zlib_size(), &back) && back == data;
}

// Uncompressed offsets at which zlib finds the end of each block but the last.
inline std::vector<size_t> block_ends(const StreamRun& run) {
  std::vector<size_t> ends;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return ends;
  std::vector<uint8_t> out(1 << 22);
  zs.next_in = const_cast<uint8_t*>(run.zlib());
  zs.avail_in = uInt(run.zlib_size());
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  // The first return comes after the zlib header, before any block.
  for (bool header = true;; header = false) {
    const int r = inflate(&zs, Z_BLOCK);
    if (r != Z_OK && r != Z_STREAM_END) break;
    if ((zs.data_type & 128) && !(zs.data_type & 64) && !header) ends.push_back(zs.total_out);
    if (r == Z_STREAM_END) break;
  }
  inflateEnd(&zs);
  return ends;
}

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed | 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x >> 24);
  }
  return v;
}

inline std::vector<uint8_t> text_bytes(size_t n) {
  static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog.\n"};
  std::vector<uint8_t> v;
  uint32_t x = 12345;
  while (v.size() < n) {
    x = x * 1103515245u + 12345u;
    const char* w = words[(x >> 16) % 8];
    v.insert(v.end(), w, w + std::strlen(w));
  }
  v.resize(n);
  return v;
}

// Filtered rows of an RGBA picture: a filter byte, then small differences with
// flat patches and occasional edges, like the filter stage's output.
inline std::vector<uint8_t> filtered_picture(int32_t width, int32_t height, uint32_t seed) {
  std::vector<uint8_t> v;
  uint32_t x = seed | 1;
  for (int32_t y = 0; y < height; ++y) {
    v.push_back(uint8_t(y % 5));
    for (int32_t i = 0; i < width; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      const bool edge = (x & 0x3F) == 0;
      const bool flat = ((i / 37 + y / 11) & 3) == 0;
      for (int32_t c = 0; c < 3; ++c)
        v.push_back(edge ? uint8_t(x >> (8 + c * 5)) : flat ? 0 : uint8_t((x >> (c * 3)) & 3));
      v.push_back(0);
    }
  }
  return v;
}

// Long runs with specks: long matches, shared lists, the walks' run skips.
inline std::vector<uint8_t> runs_and_specks(size_t size) {
  std::vector<uint8_t> v;
  uint32_t x = 3;
  while (v.size() < size) {
    x = x * 1103515245u + 12345u;
    v.insert(v.end(), (x >> 8) % 2000, uint8_t((x >> 20) % 3 == 0 ? (x >> 24) & 3 : 0));
    v.push_back(uint8_t(x >> 16));
  }
  v.resize(size);
  return v;
}

#include "tests/support/picture_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace testpic {

namespace {

void put_be32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(v >> (24 - 8 * i));
}

}  // namespace

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes png_chunk(const std::string& type, const Bytes& data) {
  const uint32_t n = uint32_t(data.size());
  Bytes out(12 + size_t(n), 0);
  put_be32(out.data(), n);
  // Byte by byte: GCC misreads a four-byte range copy from a short string.
  for (size_t i = 0; i < 4 && i < type.size(); ++i) out[4 + i] = uint8_t(type[i]);
  if (n > 0) std::memcpy(out.data() + 8, data.data(), n);
  put_be32(out.data() + 8 + n, uint32_t(crc32(0, out.data() + 4, uInt(4 + n))));
  return out;
}

Bytes ihdr_chunk(uint32_t width, uint32_t height, uint8_t bit_depth, uint8_t colour_type) {
  Bytes data(13, 0);
  put_be32(data.data(), width);
  put_be32(data.data() + 4, height);
  data[8] = bit_depth;
  data[9] = colour_type;
  return png_chunk("IHDR", data);
}

Bytes idat_chunk(const Bytes& rows, int level) {
  uLongf size = compressBound(uLong(rows.size()));
  Bytes packed(size);
  compress2(packed.data(), &size, rows.data(), uLong(rows.size()), level);
  packed.resize(size);
  return png_chunk("IDAT", packed);
}

Bytes png_file(const std::vector<Bytes>& chunks) {
  Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  for (const Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
  return out;
}

Bytes rgb_png(uint32_t width, uint32_t height, int level, const std::vector<Bytes>& before_idat,
              const std::vector<Bytes>& after_idat) {
  Bytes rows;
  for (uint32_t y = 0; y < height; ++y) {
    rows.push_back(0);
    for (uint32_t x = 0; x < width; ++x) {
      rows.push_back(uint8_t(x * 4));
      rows.push_back(uint8_t(y * 4));
      rows.push_back(uint8_t((x + y) * 2));
    }
  }
  std::vector<Bytes> chunks = {ihdr_chunk(width, height, 8, 2)};
  chunks.insert(chunks.end(), before_idat.begin(), before_idat.end());
  chunks.push_back(idat_chunk(rows, level));
  chunks.insert(chunks.end(), after_idat.begin(), after_idat.end());
  chunks.push_back(png_chunk("IEND", {}));
  return png_file(chunks);
}

Bytes cel_file(uint16_t width, uint16_t height, const Bytes& palette_768, const Bytes& indices) {
  Bytes out(800, 0);
  out[0] = 0x19;
  out[1] = 0x91;
  out[2] = uint8_t(width);
  out[3] = uint8_t(width >> 8);
  out[4] = uint8_t(height);
  out[5] = uint8_t(height >> 8);
  out[10] = 8;
  for (size_t i = 0; i < 768 && i < palette_768.size(); ++i) out[32 + i] = palette_768[i];
  out.insert(out.end(), indices.begin(), indices.end());
  return out;
}

Bytes smooth_cel(uint16_t width, uint16_t height) {
  Bytes palette(768);
  for (int i = 0; i < 256; ++i) {
    palette[size_t(i) * 3] = uint8_t(i / 4);
    palette[size_t(i) * 3 + 1] = uint8_t(63 - i / 4);
    palette[size_t(i) * 3 + 2] = uint8_t((i * 7) & 63);
  }
  Bytes indices(size_t(width) * height);
  for (size_t y = 0; y < height; ++y)
    for (size_t x = 0; x < width; ++x) indices[y * width + x] = uint8_t((x / 4 + y / 4) & 15);
  return cel_file(width, height, palette, indices);
}

Bytes lzw_run(uint8_t index, int64_t count) {
  constexpr int kClear = 4;
  Bytes out;
  uint64_t bits = 0;
  int pending = 0, width = 3, limit = 8, next = kClear + 2;
  auto put = [&](uint32_t code) {
    bits |= uint64_t(code) << pending;
    for (pending += width; pending >= 8; pending -= 8, bits >>= 8) out.push_back(uint8_t(bits));
  };
  // What the reader does after every code but the clear and end codes.
  auto send = [&](uint32_t code) {
    put(code);
    if (next == limit && width < 12) {
      ++width;
      limit *= 2;
    }
    if (next <= 4096) ++next;
  };
  put(kClear);
  int64_t done = 0, last = 0, full_length = 0;
  if (count > 0) {
    send(index);
    done = last = 1;
  }
  for (;;) {
    const bool growing = next <= 4096;
    const int64_t length = growing ? last + 1 : full_length;
    if (done + length > count) break;
    send(growing ? uint32_t(next - 1) : 4095u);
    if (growing && next > 4096) full_length = length;
    done += length;
    last = length;
  }
  for (; done < count; ++done) send(index);
  put(kClear + 1);
  if (pending > 0) out.push_back(uint8_t(bits));
  return out;
}

Bytes gif_file(uint16_t screen_width, uint16_t screen_height, const std::vector<GifImage>& images) {
  auto le16 = [](Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); };
  Bytes b = bytes_of("GIF89a");
  le16(b, screen_width);
  le16(b, screen_height);
  b.insert(b.end(), {0x81, 0, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255});
  if (images.size() > 1) {
    const Bytes loop = bytes_of("NETSCAPE2.0");
    b.insert(b.end(), {0x21, 0xFF, 11});
    b.insert(b.end(), loop.begin(), loop.end());
    b.insert(b.end(), {3, 1, 0, 0, 0});
  }
  for (const GifImage& image : images) {
    if (images.size() > 1) b.insert(b.end(), {0x21, 0xF9, 4, 0, 10, 0, 0, 0});
    b.push_back(0x2C);
    le16(b, image.left);
    le16(b, image.top);
    le16(b, image.width);
    le16(b, image.height);
    b.insert(b.end(), {uint8_t(image.interlaced ? 0x40 : 0), 2});
    for (size_t at = 0; at < image.data.size(); at += 255) {
      const size_t n = std::min<size_t>(255, image.data.size() - at);
      b.push_back(uint8_t(n));
      b.insert(b.end(), image.data.begin() + std::ptrdiff_t(at), image.data.begin() + std::ptrdiff_t(at + n));
    }
    b.push_back(0);
  }
  b.push_back(0x3B);
  return b;
}

}  // namespace testpic

#include "tests/support/png_build.h"

#include <zlib.h>

#include <cstdlib>

void DeflateBits::put(uint32_t value, int bits) {
  for (int i = 0; i < bits; ++i) {
    pending |= ((value >> i) & 1u) << count;
    if (++count == 8) {
      bytes.push_back(uint8_t(pending));
      pending = 0;
      count = 0;
    }
  }
}

void DeflateBits::put_code(uint32_t code, int length) {
  for (int i = length - 1; i >= 0; --i) put((code >> i) & 1u, 1);
}

void DeflateBits::align() {
  if (count > 0) put(0, 8 - count);
}

Bytes DeflateBits::finish() {
  align();
  return bytes;
}

void DeflateBits::zlib_header(uint8_t cmf, uint8_t flg) {
  put(cmf, 8);
  put(flg, 8);
}

void DeflateBits::block_header(bool final, int type) {
  put(final ? 1 : 0, 1);
  put(uint32_t(type), 2);
}

void DeflateBits::put_fixed(int symbol) {
  uint32_t code;
  int length;
  fixed_code(symbol, &code, &length);
  put_code(code, length);
}

std::vector<uint32_t> canonical_codes(const std::vector<int>& lengths) {
  int count[32] = {};
  for (int l : lengths) count[l] += 1;
  count[0] = 0;
  uint32_t next[32] = {};
  uint32_t code = 0;
  for (int l = 1; l < 32; ++l) {
    code = (code + uint32_t(count[l - 1])) << 1;
    next[l] = code;
  }
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] > 0) codes[s] = next[lengths[s]]++;
  return codes;
}

void put_dynamic_header(DeflateBits* w, bool final, const std::vector<int>& litlen,
                        const std::vector<int>& dist, std::vector<uint32_t>* litlen_codes,
                        std::vector<uint32_t>* dist_codes) {
  w->put(final ? 1 : 0, 1);
  w->put(2, 2);
  w->put(uint32_t(litlen.size() - 257), 5);
  w->put(uint32_t(dist.size() - 1), 5);
  w->put(19 - 4, 4);
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (int symbol : order) w->put(symbol < 16 ? 4 : 0, 3);
  // Sixteen symbols of 4 bits: symbol v has code v.
  for (int l : litlen) w->put_code(uint32_t(l), 4);
  for (int l : dist) w->put_code(uint32_t(l), 4);
  *litlen_codes = canonical_codes(litlen);
  *dist_codes = canonical_codes(dist);
}

void fixed_code(int s, uint32_t* code, int* length) {
  if (s < 144) {
    *code = 0x30u + uint32_t(s);
    *length = 8;
  } else if (s < 256) {
    *code = 0x190u + uint32_t(s - 144);
    *length = 9;
  } else if (s < 280) {
    *code = uint32_t(s - 256);
    *length = 7;
  } else {
    *code = 0xC0u + uint32_t(s - 280);
    *length = 8;
  }
}

namespace {

void append_be32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

}  // namespace

Bytes png_chunk(const std::string& type, const Bytes& payload) {
  Bytes out;
  append_be32(out, uint32_t(payload.size()));
  // Byte by byte: GCC misreads a four-byte range insert from a short string.
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(type[size_t(i)]));
  out.insert(out.end(), payload.begin(), payload.end());
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
  if (!payload.empty()) crc = crc32(crc, payload.data(), uInt(payload.size()));
  append_be32(out, uint32_t(crc));
  return out;
}

Bytes ihdr_payload(uint32_t width, uint32_t height, int depth, int colour_type, int interlace) {
  Bytes out;
  append_be32(out, width);
  append_be32(out, height);
  out.insert(out.end(), {uint8_t(depth), uint8_t(colour_type), 0, 0, uint8_t(interlace)});
  return out;
}

Bytes build_png(const Bytes& ihdr, const std::vector<Bytes>& chunks_before, const Bytes& stream,
                size_t idat_size) {
  Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto append = [&out](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); };
  append(png_chunk("IHDR", ihdr));
  for (const Bytes& c : chunks_before) append(c);
  if (idat_size == 0) {
    append(png_chunk("IDAT", stream));
  } else {
    for (size_t at = 0; at < stream.size(); at += idat_size) {
      const size_t n = std::min(idat_size, stream.size() - at);
      append(png_chunk("IDAT", Bytes(stream.begin() + long(at), stream.begin() + long(at + n))));
    }
  }
  append(png_chunk("IEND", {}));
  return out;
}

Bytes zlib_compress(const Bytes& data, int level) {
  uLongf n = compressBound(uLong(data.size()));
  Bytes out(n);
  compress2(out.data(), &n, data.data(), uLong(data.size()), level);
  out.resize(n);
  return out;
}

Bytes filter_rows(const Bytes& rows, size_t row_bytes, size_t stride, const std::vector<int>& filters) {
  Bytes out;
  const size_t height = rows.size() / row_bytes;
  for (size_t y = 0; y < height; ++y) {
    const int f = filters[y % filters.size()];
    out.push_back(uint8_t(f));
    const uint8_t* cur = rows.data() + y * row_bytes;
    const uint8_t* up = y > 0 ? cur - row_bytes : nullptr;
    for (size_t i = 0; i < row_bytes; ++i) {
      const int a = i >= stride ? cur[i - stride] : 0;
      const int b = up ? up[i] : 0;
      const int c = up && i >= stride ? up[i - stride] : 0;
      // Filter byte 5 predicts as Paeth does.
      const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int paeth = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
      const int predictor = f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : f == 4 || f == 5 ? paeth : 0;
      out.push_back(uint8_t(cur[i] - predictor));
    }
  }
  return out;
}

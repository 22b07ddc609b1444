#pragma once
// Small writers for hand-made PNG files and deflate streams, so tests can
// build exactly the (often hostile) inputs they need.
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// LSB-first bit writer, as deflate packs its fields.
struct DeflateBits {
  Bytes bytes;
  uint32_t pending = 0;
  int count = 0;
  void put(uint32_t value, int bits);
  // Huffman codes go most significant bit first.
  void put_code(uint32_t code, int length);
  void align();
  Bytes finish();
  // A zlib header (its two bytes in file order), a block header, and a
  // symbol of the fixed literal/length code.
  void zlib_header(uint8_t cmf, uint8_t flg);
  void block_header(bool final, int type);
  void put_fixed(int symbol);
};

// Canonical codes for a set of code lengths (0 = absent).
std::vector<uint32_t> canonical_codes(const std::vector<int>& lengths);

// Writes a dynamic block header for the given literal/length and distance
// code lengths, each length sent as itself with a complete 4-bit code-length
// code (no repeat codes). Returns the canonical codes of both alphabets.
void put_dynamic_header(DeflateBits* w, bool final, const std::vector<int>& litlen,
                        const std::vector<int>& dist, std::vector<uint32_t>* litlen_codes,
                        std::vector<uint32_t>* dist_codes);
// The fixed literal/length code of symbol s (7 to 9 bits) and its length.
void fixed_code(int symbol, uint32_t* code, int* length);

Bytes png_chunk(const std::string& type, const Bytes& payload);
Bytes ihdr_payload(uint32_t width, uint32_t height, int depth, int colour_type, int interlace);
// Signature, the given chunks before the image data, the stream cut into IDAT
// chunks of idat_size bytes (0 = one chunk), IEND.
Bytes build_png(const Bytes& ihdr, const std::vector<Bytes>& chunks_before, const Bytes& stream,
                size_t idat_size = 0);
// zlib stream of the data (compress2 at the given level).
Bytes zlib_compress(const Bytes& data, int level = 9);
// Raw image data for a picture: each row gets the filter byte of filters[row %
// filters.size()] and is filtered with it from the unfiltered rows given.
Bytes filter_rows(const Bytes& rows, size_t row_bytes, size_t stride, const std::vector<int>& filters);

#pragma once
#include <cstdint>

#include "deflate/bitstream.h"
#include "deflate/callbacks.h"
#include "encode/encode_options.h"

// The picture form the chunks before IDAT describe.
struct PngHeader {
  int32_t width;
  int32_t height;
  int32_t colour_type;
  int32_t bit_depth;
  uint32_t* palette;  // 256 entries; palette[palette_count] may receive the background
  int32_t palette_count;
  uint32_t transparent_key;  // 0xFFFFFFFF = none
  const uint16_t* key16 = nullptr;  // bit_depth 16: the transparent R, G, B (gray in [0]); null = none
};

// Restarts the PNG at offset 0 and writes the signature, IHDR, the kept
// chunks that stood before the input's IDAT, PLTE, tRNS and bKGD. Returns 1,
// or 0 after printing why when the background can't be given a palette index.
int32_t write_header_chunks(BitWriter* w, const EncodeOptions* options, PrintFn print,
                            const PngHeader* header);
// A chunk whose data length is known only at its end, such as the IDAT a
// compression pass writes: open_chunk writes a length placeholder and the
// type and returns where the chunk starts; close_chunk writes the CRC over
// type and data, read back from kbuf, and patches the length. A chunk with
// bytes past kbuf's capacity is only counted, and so is its CRC.
int32_t open_chunk(BitWriter* w, const char* type);
void close_chunk(BitWriter* w, int32_t start);

// The kept chunks that stood after the input's IDAT, then IEND.
void write_trailer_chunks(BitWriter* w, const EncodeOptions* options);

// Bytes a kept chunk occupies (length field, type, data, CRC), read from its
// length field; 0 for a length no PNG chunk can have.
int64_t kept_chunk_size(const uint8_t* chunk);

#pragma once
#include <cstdint>

// Where decompressed bytes go. take() receives the stream in order, in pieces
// of at most 16 KiB plus one match; complete() lets the consumer end the
// decompression early once further data cannot change its result.
struct InflateSink {
  void* context;
  void (*take)(void* context, const uint8_t* bytes, int32_t count);
  bool (*complete)(void* context);
};

// Facts about the stream that the encoder may reuse, and how it ended.
struct InflateReport {
  uint16_t zlib_header;         // first two stream bytes, CMF in the low byte
  int32_t deflate_block_count;  // block headers read
  int32_t ran_out;              // 1 when the data ended before the final block did
  int32_t stopped_early;        // 1 when complete() ended the decompression
  int32_t chunk_cut;            // 1 when an IDAT chunk read ran past the end of the file
};

// Decompresses the zlib stream held in the payloads of consecutive IDAT
// chunks of a PNG file image, starting with the chunk whose length field is
// at first_idat. Chunk CRCs, the zlib header and the Adler-32 are not checked.
// Returns 0 when the stream ended, ran out or was stopped by the sink, and -1
// for a stream that cannot be decoded (the report then tells how far it got).
int32_t inflate_idat(const uint8_t* file, int32_t file_size, int32_t first_idat, const InflateSink& sink,
                     InflateReport* report);

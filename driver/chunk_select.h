#pragma once
#include <cstdint>

#include "deflate/callbacks.h"

// The ancillary chunks of a PNG input that are carried into the output, in
// three groups by where they stood: after IHDR and before PLTE (or before
// IDAT when there is no PLTE), before IDAT, and after IDAT.
struct ChunkSelection {
  const uint8_t* kept[256];  // each at a kept chunk's length field inside the file image
  int32_t kept_before_plte;  // kept[0, this) stood before PLTE
  int32_t kept_before_idat;  // kept[kept_before_plte, this) stood before IDAT
  int32_t kept_count;        // kept[kept_before_idat, this) stood after IDAT
};

constexpr int32_t kMaxKeptChunks = 256;

// Walks the chunks of a PNG file image once, decides for each whether it is
// rebuilt by the encoder, kept or removed, and with verbose lists them through
// print. list is the text after "-k" ("" = keep nothing), requested_colour_type
// the "-c" value or -1. *background keeps its colour with the top byte set to
// 0xFF when a bKGD chunk is kept, and becomes 0 otherwise. A chunk whose data
// runs past the end of the image is never kept and ends the walk.
void select_chunks(const uint8_t* data, int32_t size, const char* list, int32_t requested_colour_type,
                   int32_t verbose, PrintFn print, ChunkSelection* selection, uint32_t* background);

// True for a PNG file image with an acTL chunk before its first IDAT: an
// animation, whose frames a rewrite would lose.
bool is_animated_png(const uint8_t* data, int32_t size);

// True when the image starts with the full 8-byte PNG signature.
bool has_png_signature_bytes(const uint8_t* data, int32_t size);

#pragma once
#include <cstdint>

#include "deflate/callbacks.h"

// Everything the driver tells the encoder, and what the encoder tells back
// (fields marked out). The driver clears it, fills it and passes its address
// to encode_png.
struct EncodeOptions {
  uint32_t* pixels;               // 0xAARRGGBB, rows top to bottom; owned by the driver
  // Set when the picture needs 16 bits per sample: R, G, B, A per pixel,
  // width * 4 per row, owned by the driver. The encoder then writes it at 16
  // bits from these samples (pixels still holds their high bytes), taking
  // colour_type -1 and bit_depth -1 as no request.
  const uint16_t* wide_pixels;
  const uint16_t* background16;   // with wide_pixels: bKGD samples R, G, B, or null to widen background
  int32_t pitch;                  // bytes per row, width * 4
  int32_t width;
  int32_t height;
  uint8_t* kbuf;                  // out: the PNG file image, allocated by the encoder, freed by the driver
  int32_t kbuf_capacity;          // in: 0 = encoder sizes it, else an upper bound; out: size used
  const uint32_t* source_palette; // 256 entries from the decoder
  int32_t source_palette_count;   // entries of source_palette the encoder may reuse (0 = none)
  int32_t filter;                 // 0..4, 5 = mixed (chosen per row), 6 = least magnitude sum, 7 = trial parse
  int32_t colour_type;            // requested: 0, 2, 3, 4 or 6
  int32_t bit_depth;              // requested: 0 = smallest that fits, 1, 2, 4 or 8
  int32_t keep_palette;           // "-kp": keep the input's palette order
  uint32_t background;            // 0 = no bKGD; else 0xFF000000 | 0x00RRGGBB
  int32_t zl121_mode;             // an unused Huffman alphabet still gets one code for symbol 0
  uint32_t chosen_palette[256];   // out: entries [0, chosen_palette_count) are the palette written
  int32_t chosen_palette_count;   // out
  int32_t chosen_filter;          // out
  int32_t parallel_passes;        // out: passes whose blocks were parsed on parse_threads threads
  int32_t parallel_lists;         // out: recording passes whose match lists were found on parse_threads threads
  int32_t kept_passes;            // out: passes fed the bytes the pass before filtered, not filtering them again
  int32_t kept_best;              // out: 1 when the run ended on the PNG kept of its best pass, not writing it again
  int32_t chosen_colour_type;     // out
  int32_t chosen_bit_depth;       // out
  int32_t strategy;               // 0 Xtreme, 1 Intense, 2 Longest Match, 3 Huffman Only, 4 Uncompressed
  int32_t randomize;              // randomized initial code tables
  uint32_t random_seed;           // seed of the randomized tables; the driver takes it from the clock
  int32_t exact_block_count;      // <= 0: split by threshold; else the number of blocks (capped at 1023)
  double block_threshold;         // split threshold, default 256.0
  int32_t kept_first;             // always 0
  int32_t kept_before_plte;       // kept chunks [kept_first, this) go between IHDR and PLTE
  int32_t kept_before_idat;       // [kept_before_plte, this) go between PLTE and IDAT
  int32_t kept_count;             // [kept_before_idat, this) go after IDAT
  const uint8_t* const* kept_chunks; // each points at a kept chunk's length field in the input image
  PrintFn print;                  // fn null = print nothing
  KeyCheckFn key_check;           // fn null = never stop
  int32_t verbose;
  int32_t max_passes;             // 0 = until a pass gains nothing; else at most this many compressing passes
  int32_t parse_threads;          // threads a pass that replays kept match lists parses its blocks on: 0 or 1 = in order
  int64_t match_store_limit;      // bytes the match lists kept between passes may take: 0 = the encoder's own
                                  // bound, < 0 = keep none (every pass finds its matches itself)
  int32_t deep_level;             // 0 = off; 1..3 (the search levels) or kDeepRankLevel: the passes'
                                  // stream is compressed again by the whole-stream engine of that
                                  // effort, the smaller IDAT kept
};

// Returned by encode_png when no PNG was produced.
constexpr int32_t kNoPng = 0x7FFFFFFF;

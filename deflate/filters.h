#pragma once
#include <cstddef>
#include <cstdint>

#include "deflate/callbacks.h"
#include "deflate/filter_heuristics.h"

// The PNG scanline filter stage: turns each picture row into its filter-type
// byte and filtered bytes and hands them to the installed sink. With filter 5
// each row is filtered five times into a histogram and the filter whose bytes
// have the lowest order-0 entropy is used.

// Palette index of a pixel for colour types 0 and 3 (-1 when absent). The
// encoder owns the palette, so it hands the lookup down.
using PaletteLookup = int32_t (*)(void* user, uint32_t pixel);

struct RowFormat {
  const uint32_t* pixels;  // 0xAARRGGBB
  int32_t pitch;           // bytes per picture row
  int32_t width;
  int32_t height;
  int32_t colour_type;   // 0, 2, 3, 4 or 6
  int32_t bit_depth;     // 1, 2, 4 or 8 for types 0 and 3; 8 otherwise
  PaletteLookup lookup;  // types 0 and 3
  void* lookup_user;
  // Set for bit_depth 16 (types 0, 2, 4, 6): four samples R, G, B, A per
  // pixel, width * 4 per row, which rows are packed from instead of pixels.
  const uint16_t* wide = nullptr;
};

// Bytes of one packed row without the filter-type byte, and the distance in
// bytes to the corresponding byte of the unit to the left (at 8 bits or less
// per sample; 16 bits double it).
int64_t row_byte_count(int32_t colour_type, int32_t bit_depth, int32_t width);
int32_t unit_byte_count(int32_t colour_type);
// Packs row y as PNG scanline bytes (R G B A, R G B, gray alpha, or palette
// indexes most significant bits first, the last byte padded with zero bits;
// at 16 bits each sample big-endian).
void pack_row(const RowFormat* format, int32_t y, uint8_t* out);

// Where a compressing pass sends the filtered bytes; finish closes the stream
// once the last row has been fed.
struct CompressSink {
  void* user;
  void (*feed)(void* user, const uint8_t* bytes, int32_t n);
  void (*finish)(void* user);
};

enum class SinkKind { collect, histogram, compress };

struct FilterStage {
  RowFormat format;
  int32_t unit_bytes;
  int32_t row_bytes;  // filtered bytes per row, filter-type byte excluded
  int32_t filter;     // 0..4 for every row, 5 = chosen per row by entropy, 6 by magnitude sum, 7 by trial parse
  PrintFn print;

  // Two raw rows, each after unit_bytes zero guard bytes so that the left and
  // upper-left neighbours of the first unit read as 0; even rows are written to
  // the second half, odd rows to the first, and the other half is the row
  // above. Then two filtered rows (filter-type byte first): the one sent and
  // the best trial so far.
  uint8_t* olinbuf;
  size_t olinbuf_size;
  int32_t row_index;  // rows sent to the compressing sink in this pass
  int32_t rows_total;
  int32_t filter_choice;  // filter asked for the next row
  int32_t row_filter;     // filter actually applied (Average on the first row is Sub)

  SinkKind sink;
  uint8_t* collect;
  int64_t collect_count;
  int64_t collect_capacity;
  int32_t histogram[256];
  int32_t histogram_total;
  CompressSink compress;

  // x ln x scaled so that a row whose bytes are all equal costs 2^31 - 1;
  // rebuilt only when the row length changes, released at the end of a run.
  int32_t* entropylut;
  int32_t entropylut_n;

  FilterTrials* trials;  // filter 7 only, made on first use
};

void filter_stage_init(FilterStage* st);
// Frees every buffer the stage holds.
void filter_stage_free(FilterStage* st);
// Starts a pass over the picture: sizes the line buffers and clears the row
// above the first row. Returns 0, or -1 after "\rmalloc failed (olinbuf)\n".
int32_t filter_stage_begin(FilterStage* st, const RowFormat* format, int32_t filter, PrintFn print);
// Releases the entropy table (end of an encoder run).
void filter_stage_end_run(FilterStage* st);

// The collecting sink keeps row_index at 0, so every row is filtered as a
// first row. capacity must hold (row_bytes + 1) bytes per row.
void install_sink_collect(FilterStage* st, uint8_t* buffer, int64_t capacity);
void install_sink_compress(FilterStage* st, const CompressSink* sink);

// Filters row y (choosing its filter when filter is 5) and hands the bytes to
// the installed sink; a compressing sink gets finish after the last row.
// Returns 0, or -1 when the entropy table could not be allocated.
int32_t filter_row(FilterStage* st, int32_t y);

// Cost of a row whose filtered bytes (filter-type byte excluded) have this
// histogram of total bytes: lower means fewer bits. 0x80000000 (INT32_MIN)
// after "\rmalloc failed (entropylut)\n".
int32_t entropy_cost(FilterStage* st, const int32_t* histogram, int32_t total);

uint8_t paeth(int32_t a, int32_t b, int32_t c);
// Filters n row bytes with filter f (0..4); raw and up have unit bytes of
// zero guard before them.
void apply_filter(int32_t f, const uint8_t* raw, const uint8_t* up, int32_t n, int32_t unit, uint8_t* out);

// A buffer of row_bytes + 1 bytes that stays valid until the next filter_row
// or filter_stage_begin; writers of unfiltered rows pack into it.
uint8_t* filter_stage_scratch(FilterStage* st);

#pragma once
#include <cstdint>

#include "deflate/callbacks.h"
#include "encode/encode_options.h"

// The search mode: many candidate encodes of one picture (colour form,
// palette order, filters, deflate settings), ranked first by a quick estimate
// of their filtered bytes, the best few finished with real passes; the
// smallest PNG that passes the caller's check is the result. The choice
// depends on sizes and the fixed order of the candidates only, never on the
// thread count or timing.

// The caller's decode-and-compare check of a finished PNG: true to accept.
using VerifyFn = bool (*)(void* user, const uint8_t* png, int32_t size);

struct SearchRequest {
  int32_t level;       // 1 quick, 2 thorough, 3 exhaustive
  int32_t threads;     // workers, >= 1
  int32_t alpha_free;  // fully transparent pixels may take any colour
  // Dimensions the user fixed; the options' own fields hold the values.
  int32_t fixed_colour_type;  // -c
  int32_t fixed_bit_depth;    // -d
  int32_t fixed_filter;       // -f
  int32_t fixed_blocks;       // -b or -n
  int32_t fixed_strategy;     // -s
  int32_t fixed_palette;      // -kp
  VerifyFn verify;            // null = accept every PNG
  void* verify_user;
  PrintFn print;       // the -v listing and progress; fn null = silent
  int32_t verbose;     // list every finished candidate
  int32_t progress;    // show the stage and candidates done on one line
  KeyCheckFn key_check;  // polled with code 0 between candidates; nonzero stops the search
};

// Searches with options as the base of every candidate and leaves the best
// PNG in options->kbuf (allocated here, freed by the caller), its size in
// options->kbuf_capacity and the chosen form in the chosen_* fields.
// Returns the size, or kNoPng when no candidate produced a PNG that passed
// the check. A stop keeps the best PNG finished so far.
int32_t search_png(EncodeOptions* options, const SearchRequest* request);

// Search levels and candidate budgets, exposed for the tests and the usage text.
constexpr int32_t kMaxSearchLevel = 3;

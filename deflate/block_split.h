#pragma once
#include <cstdint>

#include "deflate/callbacks.h"

// The best single split of a byte range by an order-0 entropy estimate.
// Returns the split index s (1..n-1: [0, s) and [s, n)) and stores in *gain
// the estimated saving in bytes (negative when splitting costs). Returns 0 for
// n <= 1 (then *gain is 0), and -1 when key_check(1) asks to stop; key_check
// may be null.
int32_t split_gain(const uint8_t* bytes, int32_t n, double* gain, KeyCheckFn key_check);

#pragma once
#include <cstdint>
#include <vector>

#include "deflate/callbacks.h"

// Block boundaries for a finished parse, chosen by the exact size of each
// block written with its own best code. A layout is the list of the item
// indexes where blocks start, the first 0.

// Bits of items[0, m) cut at starts, every block with its own best code.
int64_t layout_bits(const uint32_t* items, int32_t m, const std::vector<int32_t>& starts);

// Splits items[0, m) in two wherever that saves bits, again in each half,
// then merges neighbours while a merge saves bits, and with refine set moves
// each boundary to its best place between its neighbours. Leaves the layout
// in *starts and returns its size in bits. key_check (may be null) is polled
// now and then; a nonzero answer ends the search with the layout so far.
int64_t split_search(const uint32_t* items, int32_t m, int32_t refine, std::vector<int32_t>* starts,
                     KeyCheckFn key_check);

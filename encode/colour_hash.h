#pragma once
#include <cstdint>

// Colour value -> palette index for at most 256 keys. The keys are the
// palette itself (the hash only links indexes), so reordering the palette
// means rebuilding the hash, never copying values.
constexpr int32_t kColourHashBuckets = 2048;
constexpr int32_t kColourHashKeys = 256;

struct ColourHash {
  int32_t heads[kColourHashBuckets];  // first index of each bucket's chain, -1 = empty
  int32_t next[kColourHashKeys];      // chain link per palette index, -1 = end
  const uint32_t* keys;               // the palette the indexes refer to
  int32_t inserted;
};

void hash_reset(ColourHash* h, const uint32_t* keys);
// Links index i (0..255) in front of v's chain. No duplicate check: of equal
// values the one inserted last is found first.
void hash_insert(ColourHash* h, uint32_t v, int32_t i);
// The first index on v's chain whose key equals v, or -1.
int32_t hash_find(const ColourHash* h, uint32_t v);
// Rebuilds the lookup for palette[0..count) so that of equal entries the
// lowest index is found.
void hash_fill(ColourHash* h, const uint32_t* palette, int32_t count);

#include "encode/colour_hash.h"

#include <cassert>

namespace {

// The shifts are arithmetic on the signed value so that the alpha byte, which
// is 0xFF for most pixels, spreads into the bucket bits instead of vanishing.
inline int32_t bucket_of(uint32_t v) {
  const int32_t s = int32_t(v);
  const uint32_t mixed = uint32_t((s >> 22) ^ (s >> 11)) - v;
  return int32_t(mixed & (kColourHashBuckets - 1));
}

}  // namespace

void hash_reset(ColourHash* h, const uint32_t* keys) {
  for (int32_t& head : h->heads) head = -1;
  for (int32_t& link : h->next) link = -1;
  h->keys = keys;
  h->inserted = 0;
}

void hash_insert(ColourHash* h, uint32_t v, int32_t i) {
  assert(i >= 0 && i < kColourHashKeys);
  const int32_t b = bucket_of(v);
  h->next[i] = h->heads[b];
  h->heads[b] = i;
  h->inserted += 1;
}

int32_t hash_find(const ColourHash* h, uint32_t v) {
  for (int32_t i = h->heads[bucket_of(v)]; i >= 0; i = h->next[i]) {
    if (h->keys[i] == v) return i;
  }
  return -1;
}

void hash_fill(ColourHash* h, const uint32_t* palette, int32_t count) {
  hash_reset(h, palette);
  if (count > kColourHashKeys) count = kColourHashKeys;
  for (int32_t i = count - 1; i >= 0; --i) hash_insert(h, palette[i], i);
}

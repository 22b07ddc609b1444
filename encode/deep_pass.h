#pragma once
#include <cstdint>

struct EncoderContext;

// After the passes of a run with options->deep_level set: filters the picture
// once more exactly as the last pass did, compresses the filtered stream with
// the whole-stream engine of that effort and, when its IDAT is smaller,
// writes it in place of the passes' IDAT (the chunks before it are the same,
// the ones after it are written again). Returns 0, or -1 when stopped or
// short of memory (the passes' PNG is then left as it was).
int32_t deep_recompress(EncoderContext* ctx);

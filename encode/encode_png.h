#pragma once
#include <cstdint>

#include "encode/encode_options.h"

// Builds the smallest PNG it finds for the picture in options into
// options->kbuf and returns its size in bytes, or kNoPng when no PNG was
// produced (a refusal or failure already reported, or a stop through
// key_check). The size may exceed kbuf_capacity: the bytes past it were
// counted, not stored.
int32_t encode_png(EncodeOptions* options);

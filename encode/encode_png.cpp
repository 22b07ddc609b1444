#include "encode/encode_png.h"

// The encoder arrives with the colour analysis and the stored layout; until
// then no PNG is produced.
int32_t encode_png(EncodeOptions*) { return kNoPng; }

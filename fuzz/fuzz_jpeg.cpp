// The jpeg decoder alone (see decode_one_format.h).
#include "fuzz/decode_one_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return decode_one(data, size, Format::jpeg);
}

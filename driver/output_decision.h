#pragma once
#include <cstdint>

// What to do with the encoder's result.
enum OutputAction {
  kOutputWrite,   // write the new PNG
  kOutputNoPng,   // the encoder built nothing; its reason is already reported
  kOutputCopy,    // copy the input PNG unchanged to the explicit output
  kOutputRefuse,  // write nothing: "Unable to compress further"
};

struct OutputFacts {
  bool input_is_png;  // starts with the full PNG signature
  bool force;         // "-force"
  bool may_copy;      // an output was named, it differs from the input, and the input is not empty
  bool animated;      // an animated PNG, never rewritten
  int32_t result;     // encode_png's result
  int32_t input_size;
  int32_t kbuf_capacity;  // as the encoder left it
};

OutputAction decide_output(const OutputFacts& facts);

#include "driver/output_decision.h"

#include "encode/encode_options.h"

OutputAction decide_output(const OutputFacts& f) {
  if (!f.animated) {
    if (f.result == kNoPng) return kOutputNoPng;
    // A result larger than the buffer was only counted, never stored: there
    // is nothing whole to write, whatever "-force" says.
    const bool complete = f.result >= 0 && f.result <= f.kbuf_capacity;
    if (complete) {
      if (f.input_is_png && f.result < f.input_size) return kOutputWrite;
      if (!f.input_is_png) return kOutputWrite;
      if (f.force) return kOutputWrite;
    }
  }
  if (f.input_is_png && f.may_copy && f.input_size != 0) return kOutputCopy;
  return kOutputRefuse;
}

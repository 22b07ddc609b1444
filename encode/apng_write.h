#pragma once
#include <cstdint>

#include "encode/encode_options.h"

// One frame to write: its own pixels (0xAARRGGBB, width * 4 bytes a row) and
// the frame control fields, kept with their meaning.
struct ApngFrameIn {
  const uint32_t* pixels;
  int32_t width, height;
  int32_t x_offset, y_offset;
  uint16_t delay_num, delay_den;
  uint8_t dispose_op, blend_op;
  // Set for a 16-bit animation (every frame then has it): R, G, B, A per
  // pixel, width * 4 samples a row; pixels still holds their high bytes.
  const uint16_t* wide = nullptr;
};

struct ApngRequest {
  const ApngFrameIn* frames;
  int32_t frame_count;
  uint32_t play_count;          // 0 = forever
  bool default_image_is_frame;  // false: frames[0] is the default image only, shown by no fcTL
  bool per_frame_filters;       // base has no filter: each frame keeps the smallest of filters 0..5
  bool per_frame_blocks;        // base has no block count: each frame also tries other block settings
  bool try_forms;               // every shared form is encoded and the smallest kept
  bool* refused = nullptr;      // set (when given) if base's requested form can't hold every frame
};

// Encodes every frame with the engine and settings of base (filter, strategy,
// block splitting, passes; its kept chunks and background go with the first
// image), all in one colour type, depth and palette chosen over all frames
// together: a palette when the frames have at most 256 colours, else gray
// when every pixel is, else RGB or RGBA; with try_forms each of these forms
// that holds every pixel is encoded with the plain engine and the smallest
// kept (the earlier of equal ones), the per-frame trials and base's
// whole-stream engine then run on it alone. The frames make an animated PNG: the first image in IDAT, the
// others in fdAT, acTL and one fcTL a frame, sequence numbers from 0.
// Returns the size of the file placed in *out (malloc'd, freed by the
// caller), or kNoPng when no file was made (a stop or a failure).
int32_t encode_apng(const EncodeOptions* base, const ApngRequest* request, uint8_t** out);

// A colour type (base->colour_type >= 0) or bit depth (base->bit_depth 1,
// 2, 4 or 8) asked for makes the shared form the one requested, under the
// still picture's rules: the depth applies to gray and palette, a type with
// no depth given takes the least that holds every frame, a depth with no
// type keeps only the forms that take it. No file is made (and
// request->refused is set) when the frames don't fit it; transparency in
// gray or RGB has no shared key and is refused too.
bool apng_request_given(const EncodeOptions* base);
// Whether the request fits every frame; prints why not with print.
bool apng_request_fits(const EncodeOptions* base, const ApngRequest* request, PrintFn print);

// Frames with 16-bit samples (frames[i].wide) share a 16-bit form: gray
// when every pixel of every frame is, with alpha unless every frame is
// opaque (frames share no transparent key). A palette or a depth below 16
// asked for is refused: they would not hold the samples exactly.

// How many shared forms hold every pixel of the frames (1 to 3): the ones
// try_forms weighs.
int32_t apng_form_count(const ApngRequest* request);

#pragma once
#include <cstdint>

#include "decode/decoder.h"

// The screen size of a GIF file; a screen dimension stored as 0 is taken
// from the first image's extent, as the decoder does. Leaves both outputs
// untouched when the header is cut short.
void probe_gif(const uint8_t* data, int32_t size, int32_t* width, int32_t* height);

// Decodes a GIF file image into the target. 0 = success, -1 = refused.
int32_t decode_gif(const uint8_t* data, int32_t size, const DecodeTarget& target, SourceInfo& info);

// Images stored in a GIF file (each a frame of an animation), counted up to
// the trailer or the end of the data; 0 when the header is cut short. An
// image whose data is cut short still counts.
int32_t gif_image_count(const uint8_t* data, int32_t size);

// One image of a GIF animation as its blocks describe it.
struct GifFrame {
  int32_t left, top, width, height;  // on the screen
  int32_t delay;                     // hundredths of a second
  int32_t disposal;                  // 0..7 as stored; 2 background, 3 previous
  int32_t transparent;               // index, or -1
  int64_t descriptor;                // offset of the image descriptor's 0x2C
};

struct GifAnimation {
  int32_t frame_count;  // images found whole (their data ends inside the file)
  int32_t loop_count;   // NETSCAPE2.0 repeat count (0 = forever), -1 when absent
  uint32_t background;  // 0xAARRGGBB the screen shows around the first image, as decode_gif
                        // fills it: the global table's background entry, else transparent black
};

// Reads the frames, up to capacity of them (frames may be null to count).
// Returns 0, or -1 when the header is cut short.
int32_t read_gif_frames(const uint8_t* data, int32_t size, GifAnimation* animation, GifFrame* frames,
                        int32_t capacity);

// Decodes one frame's image rectangle (width x height pixels of its own, not
// composed) into the target: colours from its local table or the file's
// global one, the transparent index as alpha 0. 0, or -1 when refused; a cut
// image sets info.incomplete.
int32_t decode_gif_frame(const uint8_t* data, int32_t size, const GifFrame& frame, const DecodeTarget& target,
                         SourceInfo& info);

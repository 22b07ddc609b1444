#include "driver/encode_setup.h"

void fill_encode_options(const CommandLine& cmd, const SourceInfo& info, const ChunkSelection& chunks,
                         uint32_t* pixels, int32_t width, int32_t height, EncodeOptions* options) {
  options->pixels = pixels;
  options->width = width;
  options->height = height;
  options->pitch = width * 4;

  options->source_palette = info.palette;
  options->kept_first = 0;
  options->kept_before_plte = chunks.kept_before_plte;
  options->kept_before_idat = chunks.kept_before_idat;
  options->kept_count = chunks.kept_count;
  options->kept_chunks = chunks.kept;

  // Asking for a palette without "-kp" lets the encoder order it afresh.
  if (cmd.colour_type == 3)
    options->source_palette_count = options->keep_palette ? info.palette_count : 0;
  else
    options->source_palette_count = info.palette_count;

  options->colour_type = cmd.colour_type >= 0 ? cmd.colour_type : info.source_color_type;

  if (cmd.filter >= 0)
    options->filter = cmd.filter;
  else if (info.source_filter >= 0 && info.source_color_type == options->colour_type)
    options->filter = info.source_filter;
  else
    options->filter = options->colour_type == 3 ? 0 : 5;

  if (cmd.bit_depth >= 0)
    options->bit_depth = cmd.bit_depth;
  else if (info.source_color_type == 3 && options->colour_type == 0)
    options->bit_depth = 0;
  else
    options->bit_depth = info.source_bit_depth;

  // The input's block layout is only worth repeating when it came from the
  // same kind of encoder (the 0x78 0x5E header) and nothing else is copied in.
  if (!cmd.block_option && info.deflate_block_count > 0 && info.zlib_header == 0x5E78 &&
      chunks.kept_count == 0)
    options->exact_block_count = info.deflate_block_count;
}

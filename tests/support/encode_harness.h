#pragma once
// Runs the encoder on pictures built in memory and takes its PNGs apart:
// message capture, a chunk walker and the libpng check of the result.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "encode/encode_options.h"
#include "tests/support/print_capture.h"

struct TestPicture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, rows top to bottom
};

struct EncodeRun {
  int32_t result = 0;
  std::vector<uint8_t> png;  // the first min(result, capacity) bytes of kbuf
  std::string messages;      // everything print received, formatted
  EncodeOptions options{};   // as the encoder left it (kbuf already freed)
  std::vector<uint32_t> chosen_palette;
};

// Options as the driver would fill them for this picture: colour type as
// given, filter/bit depth/strategy as given, no kept chunks, threshold 256.
EncodeOptions default_options(const TestPicture& picture, int32_t colour_type);
// Encodes; tweak may adjust the options first. Captures the messages.
EncodeRun run_encoder(const TestPicture& picture, int32_t colour_type,
                      const std::function<void(EncodeOptions&)>& tweak = nullptr);
// The messages without the elapsed-time line, the one that differs from run
// to run.
std::string without_timing(const std::string& messages);
// The run made a whole PNG, every chunk CRC is right, and libpng reads it as the picture.
::testing::AssertionResult lossless(const TestPicture& picture, const EncodeRun& run);

struct PngChunk {
  std::string type;
  std::vector<uint8_t> data;
  std::vector<uint8_t> whole;  // length, type, data and CRC as stored
  bool crc_ok = false;
};
// Walks the chunks after the signature; stops at the end or at a chunk that
// runs past the data. ok is false when the signature is missing or a chunk is cut.
std::vector<PngChunk> split_chunks(const std::vector<uint8_t>& png, bool* ok = nullptr);
std::string chunk_sequence(const std::vector<PngChunk>& chunks);  // "IHDR,PLTE,IDAT,IEND"
// The nth chunk of that type, or null.
const PngChunk* find_chunk(const std::vector<PngChunk>& chunks, const std::string& type, int nth = 0);

// 16-bit animated PNGs: every frame re-encoded in one shared form that keeps
// every sample, judged frame by frame by libpng reading each frame as a PNG
// of its own at 16 bits.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/oracle16.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

struct Frame16 {
  uint32_t width, height, x, y;
  uint8_t dispose_op, blend_op;
  std::vector<uint16_t> samples;  // R, G, B, A per pixel
};

void put32(Bytes* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// The frame's rows in colour type 6 or 2 (alpha dropped) at 16 bits, stored
// without compression so the tool always shrinks them.
Bytes frame_stream(const Frame16& f, bool alpha) {
  Bytes rows;
  for (uint32_t y = 0; y < f.height; ++y) {
    rows.push_back(0);
    for (uint32_t x = 0; x < f.width; ++x)
      for (int c = 0; c < (alpha ? 4 : 3); ++c) {
        const uint16_t s = f.samples[(size_t(y) * f.width + x) * 4 + size_t(c)];
        rows.insert(rows.end(), {uint8_t(s >> 8), uint8_t(s)});
      }
  }
  const Bytes idat = idat_chunk(rows, 0);
  return Bytes(idat.begin() + 8, idat.end() - 4);
}

// An animation of these frames on a w x h canvas; with hidden_default, the
// first frame is a default image no fcTL shows.
Bytes apng16(uint32_t w, uint32_t h, const std::vector<Frame16>& frames, bool alpha, bool hidden_default = false) {
  std::vector<Bytes> chunks = {ihdr_chunk(w, h, 16, alpha ? 6 : 2)};
  const uint32_t shown = uint32_t(frames.size()) - (hidden_default ? 1 : 0);
  chunks.push_back(png_chunk("acTL", {uint8_t(shown >> 24), uint8_t(shown >> 16), uint8_t(shown >> 8),
                                      uint8_t(shown), 0, 0, 0, 0}));
  uint32_t sequence = 0;
  for (size_t k = 0; k < frames.size(); ++k) {
    const Frame16& f = frames[k];
    if (k > 0 || !hidden_default) {
      Bytes control(26, 0);
      put32(&control, 0, sequence++);
      put32(&control, 4, f.width);
      put32(&control, 8, f.height);
      put32(&control, 12, f.x);
      put32(&control, 16, f.y);
      control[21] = uint8_t(3 + k);
      control[23] = 100;
      control[24] = f.dispose_op;
      control[25] = f.blend_op;
      chunks.push_back(png_chunk("fcTL", control));
    }
    const Bytes stream = frame_stream(f, alpha);
    if (k == 0) {
      chunks.push_back(png_chunk("IDAT", stream));
    } else {
      // The sequence number first, then the stream (sized at once: GCC 12
      // takes an insert after four bytes for a write past them).
      Bytes data(4 + stream.size(), 0);
      put32(&data, 0, sequence++);
      std::copy(stream.begin(), stream.end(), data.begin() + 4);
      chunks.push_back(png_chunk("fdAT", data));
    }
  }
  chunks.push_back(png_chunk("IEND", {}));
  return png_file(chunks);
}

// Each image of an animated PNG (the default image first, then each fcTL's
// frame, a default image that is a frame only once) as libpng reads it at 16
// bits, with its frame control's fields after the sequence number.
struct ReadFrame {
  OraclePicture16 picture;
  Bytes control;
};

bool read_frames(const Bytes& png, std::vector<ReadFrame>* out) {
  const std::vector<PngChunk> chunks = split_chunks(png);
  const PngChunk* ihdr = find_chunk(chunks, "IHDR");
  if (ihdr == nullptr) return false;
  std::vector<Bytes> still;
  Bytes control;
  auto finish = [&]() {
    if (still.empty()) return true;
    still.push_back(png_chunk("IEND", {}));
    ReadFrame f;
    f.control = control;
    if (!libpng_decode16(png_file(still), &f.picture)) return false;
    out->push_back(f);
    still.clear();
    return true;
  };
  auto start = [&](const Bytes* fctl) {
    Bytes header = ihdr->data;
    control.clear();
    if (fctl != nullptr) {
      std::copy(fctl->begin() + 4, fctl->begin() + 12, header.begin());
      control.assign(fctl->begin() + 4, fctl->end());
    }
    still.push_back(png_chunk("IHDR", header));
    for (const PngChunk& t : chunks)
      if (t.type == "PLTE" || t.type == "tRNS") still.push_back(t.whole);
  };
  const Bytes* pending = nullptr;
  bool in_idat = false;
  for (const PngChunk& c : chunks) {
    if (c.type == "fcTL") {
      if (!finish()) return false;
      pending = &c.data;
    } else if (c.type == "IDAT") {
      if (!in_idat) start(pending);
      in_idat = true;
      pending = nullptr;
      still.push_back(c.whole);
    } else if (c.type == "fdAT") {
      if (pending != nullptr) start(pending);
      pending = nullptr;
      still.push_back(png_chunk("IDAT", Bytes(c.data.begin() + 4, c.data.end())));
    } else if (in_idat && !still.empty() && c.type != "IDAT") {
      if (!finish()) return false;
      in_idat = false;
    }
  }
  return finish();
}

// The frames of both files hold the same samples and the same controls.
::testing::AssertionResult same_frames(const Bytes& a, const Bytes& b) {
  std::vector<ReadFrame> fa, fb;
  if (!read_frames(a, &fa)) return ::testing::AssertionFailure() << "libpng refuses a frame of the first file";
  if (!read_frames(b, &fb)) return ::testing::AssertionFailure() << "libpng refuses a frame of the second file";
  if (fa.size() != fb.size()) return ::testing::AssertionFailure() << fa.size() << " frames against " << fb.size();
  for (size_t k = 0; k < fa.size(); ++k) {
    if (fa[k].control != fb[k].control) return ::testing::AssertionFailure() << "frame " << k << "'s controls differ";
    if (fa[k].picture.width != fb[k].picture.width || fa[k].picture.height != fb[k].picture.height ||
        fa[k].picture.samples != fb[k].picture.samples)
      return ::testing::AssertionFailure() << "frame " << k << "'s samples differ";
  }
  return ::testing::AssertionSuccess();
}

// A frame whose samples 8 bits cannot hold (low byte != high byte) unless
// eight_bit; gray when gray; alpha all 65535 unless translucent.
Frame16 frame(uint32_t w, uint32_t h, uint32_t x, uint32_t y, int seed, bool gray, bool translucent,
              bool eight_bit = false) {
  Frame16 f{w, h, x, y, 0, 0, {}};
  for (uint32_t i = 0; i < w * h; ++i) {
    uint16_t v[3];
    for (int c = 0; c < 3; ++c) {
      const uint16_t high = uint16_t((i * 37 + uint32_t(seed) * 11 + (gray ? 0 : uint32_t(c) * 70)) & 0xFF);
      v[c] = uint16_t(high << 8 | (eight_bit ? high : (high ^ 0x5A)));
    }
    const uint16_t a = translucent ? uint16_t((i * 999 + 1) & 0xFFFF) : 0xFFFF;
    f.samples.insert(f.samples.end(), {v[0], v[1], v[2], a});
  }
  return f;
}

int32_t ihdr_depth(const Bytes& png) { return png.size() > 24 ? png[24] : -1; }
int32_t ihdr_type(const Bytes& png) { return png.size() > 25 ? png[25] : -1; }

CommandResult convert(const Bytes& input, const std::vector<std::string>& options, Bytes* output) {
  TempFolder dir;
  write_file(dir.file("anim.png"), input);
  std::vector<std::string> args = options;
  args.insert(args.end(), {"anim.png", "out.png"});
  const CommandResult r = run_tool(dir, args);
  *output = read_file(dir.file("out.png"));
  return r;
}

// Each shared form, chosen over every frame together: a colour frame makes
// them all RGB, a translucent pixel anywhere gives them all alpha; frames
// at their offsets with their ops; the default image shown by no frame.
TEST(Apng16Tool, FramesKeepEverySampleInTheSharedForm) {
  struct Case {
    const char* what;
    std::vector<Frame16> frames;
    bool alpha_in, hidden;
    int32_t type;  // colour type written
  };
  Frame16 over = frame(5, 3, 2, 4, 3, false, true);
  over.blend_op = 1;
  over.dispose_op = 2;
  Frame16 cleared = frame(4, 4, 0, 0, 2, true, false);
  cleared.dispose_op = 1;
  const Case cases[] = {
      {"gray, opaque", {frame(8, 8, 0, 0, 1, true, false), cleared, frame(3, 2, 5, 6, 4, true, false)},
       false, false, 0},
      {"one colour frame among gray ones", {frame(8, 8, 0, 0, 1, true, false), frame(4, 4, 1, 1, 2, false, false)},
       false, false, 2},
      {"opaque frames stored with alpha", {frame(8, 8, 0, 0, 1, false, false), frame(4, 4, 1, 1, 2, false, false)},
       true, false, 2},
      {"translucent frame blended over", {frame(8, 8, 0, 0, 1, false, false), over}, true, false, 6},
      {"gray with alpha", {frame(8, 8, 0, 0, 1, true, true), frame(2, 2, 6, 6, 2, true, false)}, true, false, 4},
      {"hidden default image", {frame(8, 8, 0, 0, 1, false, false), frame(8, 8, 0, 0, 5, false, false),
                                frame(3, 3, 1, 2, 6, false, false)}, false, true, 2},
      {"default image 8-bit, the next frame not", {frame(8, 8, 0, 0, 1, true, false, true),
                                                   frame(8, 8, 0, 0, 2, true, false)}, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes input = apng16(8, 8, c.frames, c.alpha_in, c.hidden);
    Bytes output;
    const CommandResult r = convert(input, {}, &output);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Animated PNG: " + std::to_string(c.frames.size() - (c.hidden ? 1 : 0)) +
                         " frames, each re-encoded and checked"),
              std::string::npos)
        << r.out;
    EXPECT_LT(output.size(), input.size());
    EXPECT_EQ(ihdr_depth(output), 16);
    EXPECT_EQ(ihdr_type(output), c.type);
    EXPECT_TRUE(same_frames(output, input));
  }
}

// Frames whose every sample has equal bytes are written at 8 bits and still
// read back to the same 16-bit samples; a bit depth or palette asked for
// that would lose samples is refused and nothing written.
TEST(Apng16Tool, EightBitsOnlyWhereEverySampleFits) {
  const std::vector<Frame16> exact = {frame(8, 8, 0, 0, 1, false, false, true),
                                      frame(4, 4, 1, 1, 2, false, false, true)};
  const Bytes input = apng16(8, 8, exact, false);
  Bytes output;
  EXPECT_EQ(convert(input, {}, &output).status, 0);
  EXPECT_EQ(ihdr_depth(output), 8);
  EXPECT_TRUE(same_frames(output, input));

  const Bytes deep = apng16(8, 8, {frame(8, 8, 0, 0, 1, false, false), frame(4, 4, 1, 1, 2, false, false)}, false);
  struct Refusal {
    std::vector<std::string> options;
    const char* message;
  };
  const Refusal refusals[] = {
      {{"-d8"}, "16-bit samples that 8 bits would not hold exactly"},
      {{"-c3"}, "16-bit samples that a palette would not hold exactly"},
      {{"-c0"}, "is not grayscale"},
  };
  for (const Refusal& f : refusals) {
    SCOPED_TRACE(f.options[0]);
    const CommandResult r = convert(deep, f.options, &output);
    EXPECT_NE(r.out.find(f.message), std::string::npos) << r.out;
    EXPECT_TRUE(output.empty());
  }
  // A form that holds them is taken.
  const CommandResult r = convert(deep, {"-c6"}, &output);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ihdr_type(output), 6);
  EXPECT_TRUE(same_frames(output, deep));
}

}  // namespace

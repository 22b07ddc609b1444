// The tool's answer to an animated GIF: an animated PNG of every frame (the
// frames themselves are judged by Pillow in apng_pillow_compare.py); one whose
// frames can't all be read is not cut to its first frame and reported as a
// saving: it takes -force, and the report says what was dropped.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

std::string corpus_gif(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/gif/" + name; }

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

TEST(GifAnimationTool, EveryFrameIsWritten) {
  TempFolder dir;
  const std::vector<uint8_t> gif = read_file(corpus_gif("pillow/chi.gif"));
  ASSERT_TRUE(write_file(dir.file("chi.gif"), gif));
  const CommandResult r = run_tool(dir, {"chi.gif", "chi.png"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Animated GIF: 31 frames written\n"), std::string::npos) << r.out;
  // The line for animated PNG input is not printed as well (it said "0 frames").
  EXPECT_EQ(r.out.find("Animated PNG"), std::string::npos) << r.out;
  const std::vector<uint8_t> png = read_file(dir.file("chi.png"));
  const std::vector<PngChunk> chunks = split_chunks(png);
  ASSERT_NE(find_chunk(chunks, "acTL"), nullptr);
  EXPECT_EQ(find_chunk(chunks, "acTL")->data, (std::vector<uint8_t>{0, 0, 0, 31, 0, 0, 0, 0}));
  EXPECT_NE(find_chunk(chunks, "fcTL", 30), nullptr);
  EXPECT_EQ(find_chunk(chunks, "fcTL", 31), nullptr);
  // The default image is the first frame, as a still conversion gives it.
  ASSERT_TRUE(write_file(dir.file("first.gif"), gif));
  const CommandResult still = run_tool(dir, {"-force", "-s4", "chi.gif", "still.png"});
  EXPECT_EQ(still.status, 0);
  EXPECT_TRUE(same_png_pixels(png, read_file(dir.file("still.png"))));
}

// The search mode gives every frame its own filter and block settings and
// the whole-stream engine: a smaller file with the same frames (the tool
// checks every composed screen before writing), the same bytes for any
// thread count. A GIF of ten frames disposed to the background over
// transparency, at -o1: the animation code is the same at every level, and
// chi.gif at -o2 took 25 s of CPU here (minutes under the sanitizers).
TEST(GifAnimationTool, SearchModeShrinksTheAnimation) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("a.gif"), read_file(corpus_gif("pillow/dispose_bgnd_transparency.gif"))));
  ASSERT_EQ(run_tool(dir, {"a.gif", "plain.png"}).status, 0);
  const CommandResult r = run_tool(dir, {"-o1", "-j1", "a.gif", "o1.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Animated GIF: 10 frames written\n"), std::string::npos) << r.out;
  ASSERT_EQ(run_tool(dir, {"-o1", "-j2", "a.gif", "o1j2.png"}).status, 0);
  const std::vector<uint8_t> o1 = read_file(dir.file("o1.png"));
  EXPECT_LT(o1.size(), read_file(dir.file("plain.png")).size());
  EXPECT_EQ(o1, read_file(dir.file("o1j2.png")));
  EXPECT_TRUE(same_png_pixels(o1, read_file(dir.file("plain.png"))));
}

TEST(GifAnimationTool, DamagedAnimationIsNotSilentlyCut) {
  TempFolder dir;
  std::vector<uint8_t> gif = read_file(corpus_gif("pillow/chi.gif"));
  gif.resize(gif.size() * 7 / 10);
  ASSERT_TRUE(write_file(dir.file("cut.gif"), gif));
  const CommandResult plain = run_tool(dir, {"cut.gif", "cut.png"});
  EXPECT_EQ(plain.status, 0) << plain.out;
  const std::string said = plain.out + plain.err;
  EXPECT_NE(said.find("cut.gif is an animated GIF of "), std::string::npos) << said;
  EXPECT_NE(said.find(" frames; only the first would be kept"), std::string::npos) << said;
  EXPECT_NE(said.find("Nothing written; -force writes the first frame"), std::string::npos);
  EXPECT_EQ(said.find("Change:"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("cut.png")));

  const CommandResult forced = run_tool(dir, {"-force", "cut.gif", "cut.png"});
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_NE((forced.out + forced.err).find("Animated GIF: only the first of "), std::string::npos) << forced.out;
  EXPECT_TRUE(std::filesystem::exists(dir.file("cut.png")));
}

TEST(GifAnimationTool, StillGifStaysAPlainPng) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("one.gif"), read_file(corpus_gif("pillow/hopper.gif"))));
  const CommandResult still = run_tool(dir, {"one.gif", "one.png"});
  EXPECT_EQ(still.status, 0) << still.out;
  EXPECT_EQ((still.out + still.err).find("nimated"), std::string::npos) << still.out;
  const std::vector<PngChunk> chunks = split_chunks(read_file(dir.file("one.png")));
  EXPECT_EQ(find_chunk(chunks, "acTL"), nullptr);
}

// The screens of an animated PNG as its frame controls compose them: each
// frame becomes a PNG of its own (its size in IHDR, its data in IDAT) for
// libpng, is laid over the screen before (replacing its rectangle, or
// blending: transparent pixels keep the screen, opaque ones replace it;
// false for a translucent one), and then disposed (left, cleared to
// transparent, or restored to the screen it was drawn on).
bool composed_by_libpng(const std::vector<uint8_t>& png, std::vector<std::vector<uint32_t>>* screens) {
  const std::vector<PngChunk> chunks = split_chunks(png);
  const PngChunk* ihdr = find_chunk(chunks, "IHDR");
  if (ihdr == nullptr) return false;
  const uint32_t w = be32(ihdr->data, 0), h = be32(ihdr->data, 4);
  std::vector<uint32_t> screen(size_t(w) * h, 0), before;
  std::vector<Bytes> frame;
  uint32_t fx = 0, fy = 0;
  uint8_t dispose_op = 0, blend_op = 0;
  auto finish = [&]() {
    if (frame.empty()) return true;
    frame.push_back(testpic::png_chunk("IEND", {}));
    OraclePicture p;
    if (!libpng_decode(testpic::png_file(frame), &p)) return false;
    if (fx + p.width > w || fy + p.height > h) return false;
    before = screen;
    for (int32_t y = 0; y < p.height; ++y)
      for (int32_t x = 0; x < p.width; ++x) {
        const uint32_t v = p.pixels[size_t(y) * p.width + x];
        if (blend_op == 1 && (v >> 24) != 0 && (v >> 24) != 0xFF) return false;
        if (blend_op == 0 || (v >> 24) == 0xFF) screen[(fy + y) * w + fx + x] = v;
      }
    screens->push_back(screen);
    for (int32_t y = 0; y < p.height; ++y)
      for (int32_t x = 0; x < p.width; ++x) {
        const size_t i = (fy + y) * w + fx + x;
        if (dispose_op == 1) screen[i] = 0;
        if (dispose_op == 2) screen[i] = before[i];
      }
    frame.clear();
    return true;
  };
  for (const PngChunk& c : chunks) {
    if (c.type == "fcTL") {
      if (!finish() || c.data[24] > 2 || c.data[25] > 1) return false;
      dispose_op = c.data[24];
      blend_op = c.data[25];
      Bytes header = ihdr->data;
      std::copy(c.data.begin() + 4, c.data.begin() + 12, header.begin());
      fx = be32(c.data, 12);
      fy = be32(c.data, 16);
      frame.push_back(testpic::png_chunk("IHDR", header));
      for (const PngChunk& t : chunks)
        if (t.type == "PLTE" || t.type == "tRNS") frame.push_back(t.whole);
    } else if (c.type == "IDAT" && !frame.empty()) {
      frame.push_back(c.whole);
    } else if (c.type == "fdAT" && !frame.empty()) {
      frame.push_back(testpic::png_chunk("IDAT", Bytes(c.data.begin() + 4, c.data.end())));
    }
  }
  return finish();
}

// A frame may declare any size whatever the screen's; only its part on the
// screen is decoded (the rest was once allocated whole: 16 GB for this one,
// 65535 x 65535 pixels whose data covers the rows on the screen only;
// then an interlaced one, whose three first passes go far below it).
TEST(GifAnimationTool, FrameFarLargerThanTheScreenIsClippedToIt) {
  TempFolder dir;
  const Bytes gif =
      testpic::gif_file(64, 48,
                        {{0, 0, 64, 48, false, testpic::lzw_run(1, 64 * 48)},
                         {8, 4, 65535, 65535, false, testpic::lzw_run(2, 44 * 65535)},
                         {60, 40, 65535, 2000, true, testpic::lzw_run(3, 65535LL * 2000 / 2 + 65535 * 4)}});
  ASSERT_LT(gif.size(), 200000u);
  ASSERT_TRUE(write_file(dir.file("wide.gif"), gif));
  const CommandResult r = run_tool(dir, {"wide.gif", "wide.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Animated GIF: 3 frames written\n"), std::string::npos) << r.out;
  std::vector<std::vector<uint32_t>> screens;
  ASSERT_TRUE(composed_by_libpng(read_file(dir.file("wide.png")), &screens));
  ASSERT_EQ(screens.size(), 3u);
  for (int k = 0; k < 3; ++k)
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        uint32_t want = 0xFFFF0000u;
        if (k >= 1 && x >= 8 && y >= 4) want = 0xFF00FF00u;
        if (k >= 2 && x >= 60 && y >= 40) want = 0xFF0000FFu;
        ASSERT_EQ(screens[size_t(k)][size_t(y) * 64 + x], want) << k << " " << x << "," << y;
      }
}

struct MemoryGif {
  const std::vector<uint8_t>* bytes;
  size_t pos;
};

int read_gif_bytes(GifFileType* g, GifByteType* out, int n) {
  auto* m = static_cast<MemoryGif*>(g->UserData);
  const size_t take = std::min(size_t(n), m->bytes->size() - m->pos);
  std::memcpy(out, m->bytes->data() + m->pos, take);
  m->pos += take;
  return int(take);
}

// The screens of a GIF as giflib reads its images, composed here: an image
// draws its pixels but the transparent index; disposed to the background it
// leaves its rectangle transparent when it or the first image has a
// transparent index, else the global table's background colour; disposed
// to the previous state it restores the screen it was drawn on. Only for
// files whose first image covers the screen.
bool composed_by_giflib(const std::vector<uint8_t>& gif, int32_t* width,
                        std::vector<std::vector<uint32_t>>* screens) {
  MemoryGif m{&gif, 0};
  int error = 0;
  GifFileType* g = DGifOpen(&m, read_gif_bytes, &error);
  if (g == nullptr) return false;
  bool ok = DGifSlurp(g) == GIF_OK && g->ImageCount > 1;
  const int32_t w = g->SWidth, h = g->SHeight;
  *width = w;
  std::vector<uint32_t> screen(size_t(w) * h, 0), before;
  bool first_transparent = false;
  for (int i = 0; ok && i < g->ImageCount; ++i) {
    const SavedImage& im = g->SavedImages[i];
    const GifImageDesc& d = im.ImageDesc;
    GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    DGifSavedExtensionToGCB(g, i, &gcb);
    const ColorMapObject* map = d.ColorMap != nullptr ? d.ColorMap : g->SColorMap;
    if (map == nullptr || (i == 0 && (d.Left != 0 || d.Top != 0 || d.Width < w || d.Height < h))) {
      ok = false;
      break;
    }
    if (i == 0) first_transparent = gcb.TransparentColor != NO_TRANSPARENT_COLOR;
    before = screen;
    const int32_t x1 = std::min(w, d.Left + d.Width), y1 = std::min(h, d.Top + d.Height);
    for (int32_t y = d.Top; y < y1; ++y)
      for (int32_t x = d.Left; x < x1; ++x) {
        const int index = im.RasterBits[size_t(y - d.Top) * d.Width + (x - d.Left)];
        if (index == gcb.TransparentColor || index >= map->ColorCount) continue;
        const GifColorType c = map->Colors[index];
        screen[size_t(y) * w + x] = 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
      }
    screens->push_back(screen);
    uint32_t background = 0;
    if (!first_transparent && gcb.TransparentColor == NO_TRANSPARENT_COLOR && g->SColorMap != nullptr &&
        g->SBackGroundColor < g->SColorMap->ColorCount) {
      const GifColorType c = g->SColorMap->Colors[g->SBackGroundColor];
      background = 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
    }
    for (int32_t y = d.Top; y < y1; ++y)
      for (int32_t x = d.Left; x < x1; ++x) {
        const size_t at = size_t(y) * w + x;
        if (gcb.DisposalMode == DISPOSE_BACKGROUND) screen[at] = background;
        if (gcb.DisposalMode == DISPOSE_PREVIOUS) screen[at] = before[at];
      }
  }
  DGifCloseFile(g, &error);
  return ok;
}

// Every animated GIF of the test data (up to 64 KB, its first image covering
// the screen) becomes an animated PNG whose frames, decoded by libpng and
// composed as their dispose and blend ops say, are the screens giflib's
// images compose to; over the files, frames are written with every dispose
// op and with blending. (Pillow judges every file in apng_pillow_compare.py.)
TEST(GifAnimationTool, FramesComposeAsGiflibsImages) {
  TempFolder dir;
  int compared = 0;
  bool dispose_seen[3] = {}, blend_seen = false;
  for (const auto& e : std::filesystem::recursive_directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/gif")) {
    if (e.path().extension() != ".gif" || e.file_size() > 65536) continue;
    const std::vector<uint8_t> gif = read_file(e.path().string());
    std::vector<std::vector<uint32_t>> want, got;
    int32_t w = 0;
    if (!composed_by_giflib(gif, &w, &want)) continue;
    SCOPED_TRACE(e.path().filename().string());
    ASSERT_TRUE(write_file(dir.file("in.gif"), gif));
    // Huffman-only blocks: the frames are the same with any deflate strategy
    // (Pillow judges the default run), at a tenth of the time.
    const CommandResult r = run_tool(dir, {"-y", "-s3", "in.gif", "out.png"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    if (r.out.find("Animated GIF: " + std::to_string(want.size()) + " frames written\n") == std::string::npos)
      continue;  // one the tool can't take apart whole is kept (see DamagedAnimationIsNotSilentlyCut)
    const std::vector<uint8_t> png = read_file(dir.file("out.png"));
    ASSERT_TRUE(composed_by_libpng(png, &got));
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k)
      for (size_t i = 0; i < want[k].size(); ++i) {
        const uint32_t a = want[k][i], b = got[k][i];
        ASSERT_TRUE(a == b || ((a | b) >> 24) == 0)
            << "frame " << k << " at " << i % size_t(w) << "," << i / size_t(w) << ": " << std::hex << b << ", want " << a;
      }
    const std::vector<PngChunk> chunks = split_chunks(png);
    for (int32_t k = 0; find_chunk(chunks, "fcTL", k) != nullptr; ++k) {
      const std::vector<uint8_t>& f = find_chunk(chunks, "fcTL", k)->data;
      if (k == 0) {
        EXPECT_NE(f[24], 2) << "the first frame is restored to a screen before it";
      }
      dispose_seen[std::min<uint8_t>(f[24], 2)] = true;
      blend_seen = blend_seen || f[25] == 1;
    }
    compared += 1;
    std::printf("%s: %zu frames as giflib's\n", e.path().filename().c_str(), want.size());
  }
  EXPECT_GE(compared, 15);
  EXPECT_TRUE(dispose_seen[1] && dispose_seen[2] && blend_seen);
}

// Screens equal but where both are wholly transparent.
::testing::AssertionResult same_screens(const std::vector<std::vector<uint32_t>>& want,
                                        const std::vector<std::vector<uint32_t>>& got) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << got.size() << " frames";
  for (size_t k = 0; k < want.size(); ++k) {
    if (got[k].size() != want[k].size()) return ::testing::AssertionFailure() << "frame " << k << " size";
    for (size_t i = 0; i < want[k].size(); ++i)
      if (want[k][i] != got[k][i] && ((want[k][i] | got[k][i]) >> 24) != 0)
        return ::testing::AssertionFailure() << "frame " << k << " differs at " << i;
  }
  return ::testing::AssertionSuccess();
}

// A colour type or bit depth asked for binds every frame, of a GIF made an
// animation and of an animated PNG recompressed: the file has it and the same
// screens, or the request is refused as for a still picture (its words,
// status 1, nothing written). The frames share no transparent key, so
// transparency takes a type with alpha; a depth alone keeps the forms that
// take it.
TEST(GifAnimationTool, RequestedColourFormHoldsEveryFrameOrIsRefused) {
  struct Case {
    const char* input;  // a GIF of the test data, or "anim.png": the tool's APNG of missing_background.gif
    std::vector<std::string> args;
    int type, depth;      // of the written file
    const char* refusal;  // or the still picture's refusal
  };
  const char* const kNotGray = "\rImage is not grayscale; try /c3 (Pal) instead\n";
  const char* const kAlpha = "\rImage requires full alpha; try /c3 (Pal) instead\n";
  const char* const kDepth = "\rImage doesn't fit in selected bitdepth\n";
  const Case cases[] = {
      {"no_palette.gif", {"-c2"}, 2, 8, nullptr},
      {"no_palette.gif", {"-c0", "-d4"}, 0, 4, nullptr},
      {"no_palette.gif", {"-d2"}, 0, 2, nullptr},
      {"no_palette.gif", {"-c3", "-d8"}, 3, 8, nullptr},
      {"dispose_bgnd.gif", {"-c2"}, 2, 8, nullptr},
      {"missing_background.gif", {"-c6"}, 6, 8, nullptr},
      {"missing_background.gif", {"-d8"}, 3, 8, nullptr},
      {"missing_background.gif", {"-c2"}, 0, 0, kAlpha},
      {"missing_background.gif", {"-c3", "-d2"}, 0, 0, kDepth},
      {"missing_background.gif", {"-d2"}, 0, 0, kDepth},
      {"dispose_bgnd.gif", {"-c4"}, 0, 0, kNotGray},
      {"anim.png", {"-force", "-c6"}, 6, 8, nullptr},
      {"anim.png", {"-force", "-c3", "-d8"}, 3, 8, nullptr},
      {"anim.png", {"-c2"}, 0, 0, kAlpha},
      {"anim.png", {"-c0"}, 0, 0, "\rImage requires full alpha; is not grayscale; try /c3 (Pal) instead\n"},
      {"anim.png", {"-d1"}, 0, 0, kDepth},
  };
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("missing_background.gif"), read_file(corpus_gif("pillow/missing_background.gif"))));
  ASSERT_EQ(run_tool(dir, {"-s3", "missing_background.gif", "anim.png"}).status, 0);
  const std::vector<uint8_t> anim = read_file(dir.file("anim.png"));
  ASSERT_NE(find_chunk(split_chunks(anim), "acTL"), nullptr);
  std::vector<std::vector<uint32_t>> anim_screens;
  ASSERT_TRUE(composed_by_libpng(anim, &anim_screens));
  for (const Case& c : cases) {
    std::string name = c.input;
    for (const std::string& a : c.args) name += " " + a;
    SCOPED_TRACE(name);
    const bool apng = std::string(c.input) == "anim.png";
    std::vector<std::vector<uint32_t>> want;
    int32_t w = 0;
    if (apng) {
      want = anim_screens;
    } else {
      const std::vector<uint8_t> gif = read_file(corpus_gif(std::string("pillow/") + c.input));
      ASSERT_TRUE(write_file(dir.file(c.input), gif));
      // giflib gives no screens for a GIF without a colour table: the
      // default run's frames (checked by Pillow) stand in.
      if (!composed_by_giflib(gif, &w, &want)) {
        ASSERT_EQ(run_tool(dir, {"-y", "-s3", c.input, "plain.png"}).status, 0);
        ASSERT_TRUE(composed_by_libpng(read_file(dir.file("plain.png")), &want));
      }
    }
    std::filesystem::remove(dir.file("out.png"));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-s3", c.input, "out.png"});
    const CommandResult r = run_tool(dir, args);
    if (c.refusal != nullptr) {
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_NE(r.out.find(c.refusal), std::string::npos) << r.out;
      EXPECT_EQ(r.out.find("frames"), std::string::npos) << r.out;
      EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(std::to_string(want.size()) + " frames"), std::string::npos) << r.out;
    const std::vector<uint8_t> png = read_file(dir.file("out.png"));
    ASSERT_GT(png.size(), 25u);
    EXPECT_EQ(png[25], c.type);
    EXPECT_EQ(png[24], c.depth);
    std::vector<std::vector<uint32_t>> got;
    ASSERT_TRUE(composed_by_libpng(png, &got));
    EXPECT_TRUE(same_screens(want, got));
  }
  // Refused in place, the animation stays as it was.
  const CommandResult r = run_tool(dir, {"-c2", "anim.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(dir.file("anim.png")), anim);
}

}  // namespace

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

const Bytes kGama = png_chunk("gAMA", {0, 1, 0x86, 0xA0});
const Bytes kBkgd = png_chunk("bKGD", {0, 0x10, 0, 0x20, 0, 0x30});
const Bytes kText = png_chunk("tEXt", {'k', 0, 'v'});
const Bytes kZtxt = png_chunk("zTXt", {'c', 0, 0, 0x78, 0x9C, 0x03, 0, 0, 0, 0, 1});

// 32 x 32 RGB stored without compression, so the tool always shrinks it.
Bytes big_rgb(const std::vector<Bytes>& before = {}, const std::vector<Bytes>& after = {}) {
  return rgb_png(32, 32, 0, before, after);
}

// A palette picture with chunks before PLTE, before IDAT and after IDAT.
Bytes palette_png(const std::vector<Bytes>& before_plte, const std::vector<Bytes>& before_idat,
                  const std::vector<Bytes>& after_idat) {
  Bytes plte, rows;
  for (int i = 0; i < 4; ++i)
    plte.insert(plte.end(), {uint8_t(i * 60), uint8_t(200 - i * 40), uint8_t(i * 10)});
  for (int y = 0; y < 16; ++y) {
    rows.push_back(0);
    for (int x = 0; x < 16; ++x) rows.push_back(uint8_t((x / 4 + y / 4) & 3));
  }
  std::vector<Bytes> chunks = {ihdr_chunk(16, 16, 8, 3)};
  chunks.insert(chunks.end(), before_plte.begin(), before_plte.end());
  chunks.push_back(png_chunk("PLTE", plte));
  chunks.insert(chunks.end(), before_idat.begin(), before_idat.end());
  chunks.push_back(idat_chunk(rows, 0));
  chunks.insert(chunks.end(), after_idat.begin(), after_idat.end());
  chunks.push_back(png_chunk("IEND", {}));
  return png_file(chunks);
}

TEST(PngInput, RewrittenInPlaceWithoutAskingWhenSmaller) {
  TempFolder dir;
  // The long comment that is dropped makes any encoding smaller.
  const Bytes input = big_rgb({png_chunk("tEXt", Bytes(3000, 'x'))});
  write_file(dir.file("pic.png"), input);
  const CommandResult r = run_tool(dir, {"pic.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Bytes output = read_file(dir.file("pic.png"));
  EXPECT_LT(output.size(), input.size());
  EXPECT_TRUE(same_png_pixels(output, input));
  EXPECT_NE(r.out.find(" Input: pic.png coltype:2 (RGB) filter:0 (none)\nOutput: pic.png coltype:2 (RGB)"),
            std::string::npos)
      << r.out;
}

TEST(PngInput, NotSmallerIsLeftAloneOrCopied) {
  TempFolder dir;
  // A tiny picture whose zlib stream uses a fixed block: nothing the tool
  // writes for it can be smaller.
  const Bytes input = png_file({ihdr_chunk(1, 1, 8, 0), idat_chunk({0, 0x80}, 9), png_chunk("IEND", {})});
  write_file(dir.file("tiny.png"), input);
  CommandResult r = run_tool(dir, {"tiny.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.size() - 27), "Unable to compress further\n");
  EXPECT_EQ(read_file(dir.file("tiny.png")), input);

  r = run_tool(dir, {"tiny.png", "copy.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Unable to compress further: copying original file\n"), std::string::npos);
  EXPECT_EQ(read_file(dir.file("copy.png")), input);

  // Same name in another case is not a different output.
  r = run_tool(dir, {"tiny.png", "TINY.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("TINY.png")));

  r = run_tool(dir, {"tiny.png", "-"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), input);
  EXPECT_NE(r.err.find("Unable to compress further: copying original file\n"), std::string::npos);

  r = run_tool(dir, {"-force", "tiny.png"});
  EXPECT_EQ(r.status, 0) << r.out;
  const Bytes forced = read_file(dir.file("tiny.png"));
  EXPECT_NE(forced, input);
  EXPECT_TRUE(same_png_pixels(forced, input));
  EXPECT_NE(r.out.find("     Change:"), std::string::npos);
}

// Which chunks a "-k" list carries over, in which groups; every chunk carried
// over unchanged is byte for byte the input's, and the pixels stay.
struct KeepCase {
  std::vector<std::string> options;
  std::string sequence;
  bool palette = false;  // the palette picture with a chunk in every group
};

class KeepListTest : public ::testing::TestWithParam<KeepCase> {};

TEST_P(KeepListTest, OutputCarriesTheListedChunks) {
  const Bytes before_plte = png_chunk("tEXt", {'a', 0, '1'}), after_idat = png_chunk("tEXt", {'b', 0, '2'});
  const Bytes input = GetParam().palette ? palette_png({before_plte}, {kGama}, {after_idat})
                                         : big_rgb({kGama, kBkgd, kText}, {kZtxt});
  TempFolder dir;
  write_file(dir.file("in.png"), input);
  // "-force": the chunks, not the size, are what is looked at here.
  std::vector<std::string> args = GetParam().options;
  args.insert(args.end(), {"-force", "in.png", "out.png"});
  const CommandResult r = run_tool(dir, args);
  ASSERT_EQ(r.status, 0) << r.out;
  const Bytes output = read_file(dir.file("out.png"));
  EXPECT_TRUE(same_png_pixels(output, input));
  const std::vector<PngChunk> chunks = split_chunks(output), given = split_chunks(input);
  EXPECT_EQ(chunk_sequence(chunks), GetParam().sequence);
  for (size_t i = 0; i < chunks.size(); ++i) {
    const std::string& type = chunks[i].type;
    if (type == "IHDR" || type == "PLTE" || type == "IDAT" || type == "bKGD") continue;
    int nth = 0;
    for (size_t k = 0; k < i; ++k) nth += chunks[k].type == type;
    ASSERT_NE(find_chunk(given, type, nth), nullptr) << type;
    EXPECT_EQ(chunks[i].whole, find_chunk(given, type, nth)->whole) << type;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Chunks, KeepListTest, ::testing::Values(
    KeepCase{{}, "IHDR,IDAT,IEND"}, KeepCase{{"-k0"}, "IHDR,IDAT,IEND"}, KeepCase{{"-kgama"}, "IHDR,IDAT,IEND"},
    KeepCase{{"-kpx"}, "IHDR,IDAT,IEND"}, KeepCase{{"-kall"}, "IHDR,gAMA,tEXt,bKGD,IDAT,zTXt,IEND"},
    KeepCase{{"-kALL"}, "IHDR,gAMA,tEXt,bKGD,IDAT,zTXt,IEND"}, KeepCase{{"-k1"}, "IHDR,gAMA,tEXt,bKGD,IDAT,zTXt,IEND"},
    KeepCase{{"-kzTXt,,gAMA"}, "IHDR,gAMA,IDAT,zTXt,IEND"},
    KeepCase{{"-kgAMA,bKGD,tEXt"}, "IHDR,gAMA,tEXt,bKGD,IDAT,IEND"},
    KeepCase{{"-c3", "-kall"}, "IHDR,tEXt,PLTE,gAMA,IDAT,tEXt,IEND", true}));
// clang-format on

// The "-v" listing of a PNG input: what is required, kept, removed or broken.
TEST(PngInput, VerboseListing) {
  struct Listing {
    Bytes input;
    std::vector<std::string> args;
    std::vector<std::string> lines;  // each must appear in standard error
    std::string sequence = "";       // of the chunks written, when given
  };
  Bytes cut = big_rgb({kGama}, {kText});
  cut.resize(cut.size() - 12 - 5);  // inside the tEXt chunk after IDAT
  const Bytes palette = palette_png({}, {png_chunk("tRNS", {255, 255, 0})}, {});
  const std::string head =
      "                Name  Offset   Length     CRC\nRequired chunk: IHDR 00000010 0000000d ";
  const Listing listings[] = {
      {big_rgb({kGama}, {kText}),
       {"-v", "in.png", "out.png"},
       {head, "  Remove chunk: gAMA 00000029 00000004 ", "  Remove chunk: tEXt ", "Required chunk: IDAT ",
        "Required chunk: IEND 000"}},
      {palette, {"-v", "-c2", "in.png", "out.png"}, {"  Remove chunk: PLTE ", "Required chunk: tRNS "}},
      {palette, {"-v", "-c6", "in.png", "out.png"}, {"  Remove chunk: PLTE ", "  Remove chunk: tRNS "}},
      {palette, {"-v", "in.png", "out.png"}, {"Required chunk: PLTE "}},
      // A chunk past the end is listed and not kept.
      {cut, {"-force", "-v", "-kall", "in.png", "out.png"}, {"  Broken chunk: tEXt "}, "IHDR,gAMA,IDAT,IEND"},
  };
  for (const Listing& l : listings) {
    TempFolder dir;
    write_file(dir.file("in.png"), l.input);
    const CommandResult r = run_tool(dir, l.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(l.lines[0] != head || r.err.rfind(head, 0) == 0) << r.err;
    for (const std::string& line : l.lines) EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
    if (!l.sequence.empty()) {
      EXPECT_EQ(chunk_sequence(split_chunks(read_file(dir.file("out.png")))), l.sequence);
    }
  }
}

// An animation is rewritten with all its frames (the frames themselves are
// judged by Pillow in apng_pillow_compare.py); one whose frames can't be taken
// apart is never rewritten, since they would be lost.
TEST(PngInput, AnimationKeepsItsFramesOrIsLeftAlone) {
  const Bytes actl = png_chunk("acTL", {0, 0, 0, 2, 0, 0, 0, 0});
  Bytes fctl(26, 0);
  fctl[7] = fctl[11] = 32;
  const Bytes fctl0 = png_chunk("fcTL", fctl);
  fctl[3] = 1;
  Bytes frame = {0, 0, 0, 2};
  const Bytes idat = idat_chunk(Bytes(32 * 97, 0), 0);
  frame.insert(frame.end(), idat.begin() + 8, idat.end() - 4);
  const Bytes input = big_rgb({actl, fctl0}, {png_chunk("fcTL", fctl), png_chunk("fdAT", frame)});
  for (const std::vector<std::string>& args : {std::vector<std::string>{"anim.png"},
                                               {"-force", "-kall", "anim.png"},
                                               {"anim.png", "copy.png"}}) {
    TempFolder dir;
    write_file(dir.file("anim.png"), input);
    const CommandResult r = run_tool(dir, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Animated PNG: 2 frames, each re-encoded and checked\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("frames would be lost"), std::string::npos) << r.out;
    const Bytes output = read_file(dir.file(args.back()));
    EXPECT_LT(output.size(), input.size());
    EXPECT_TRUE(same_png_pixels(output, input));
    // Framing chunks are written afresh, never copied, even with -kall.
    EXPECT_EQ(chunk_sequence(split_chunks(output)), "IHDR,acTL,fcTL,IDAT,fcTL,fdAT,IEND");
  }
  // Written only when smaller: the tool's own result, given again, is left as it is.
  {
    TempFolder dir;
    write_file(dir.file("anim.png"), input);
    ASSERT_EQ(run_tool(dir, {"anim.png"}).status, 0);
    const Bytes once = read_file(dir.file("anim.png"));
    const CommandResult again = run_tool(dir, {"anim.png"});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("Animated PNG: 2 frames, each re-encoded and checked\nUnable to compress further\n"),
              std::string::npos)
        << again.out;
    EXPECT_EQ(read_file(dir.file("anim.png")), once);
  }

  // A frame count that disagrees with the frames: kept as it is.
  const Bytes wrong_count = big_rgb({png_chunk("acTL", {0, 0, 0, 3, 0, 0, 0, 0}), fctl0},
                                    {png_chunk("fcTL", fctl), png_chunk("fdAT", frame)});
  TempFolder dir;
  write_file(dir.file("anim.png"), wrong_count);
  const std::string refused = "Animated PNG: frames would be lost\nUnable to compress further";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"anim.png"},
                                               {"-force", "-kall", "anim.png"},
                                               {"-y", "anim.png", "anim.png"},
                                               {"anim.png", "copy.png"}}) {
    const CommandResult r = run_tool(dir, args);
    EXPECT_EQ(r.status, 0);
    const bool copy = args.back() == "copy.png";
    EXPECT_NE(r.out.find(refused + (copy ? ": copying original file\n" : "\n")), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir.file("anim.png")), wrong_count);
  }
  EXPECT_EQ(read_file(dir.file("copy.png")), wrong_count);
}

// Frame controls as a hostile or careless writer leaves them. Values that
// keep a meaning keep it: a delay denominator of 0 (read as 100), the first
// frame disposed to the previous state, a frame blending over nothing; the
// file is rewritten with the same fields. Values that leave the frame
// without one (offset and size wrapping at 32 bits, unknown ops, a frame of
// no pixels, sequence numbers out of order) leave the file as it is.
TEST(PngInput, HostileFrameControlsKeepTheirMeaningOrTheFile) {
  const Bytes actl = png_chunk("acTL", {0, 0, 0, 2, 0, 0, 0, 0});
  // Frame 0 is the default image; frame 1 covers the lower half.
  auto animation = [&](const std::function<void(Bytes&, Bytes&, uint32_t&)>& edit) {
    Bytes first(26, 0), second(26, 0);
    first[7] = first[11] = 32;
    second[3] = 1;
    second[7] = 32;
    second[11] = 16;
    second[19] = 16;
    second[21] = 1;
    second[23] = 10;
    uint32_t data_sequence = 2;
    edit(first, second, data_sequence);
    Bytes frame = {uint8_t(data_sequence >> 24), uint8_t(data_sequence >> 16), uint8_t(data_sequence >> 8),
                   uint8_t(data_sequence)};
    Bytes rows(16 * 97, 0x40);
    for (size_t y = 0; y < 16; ++y) rows[y * 97] = 0;
    const Bytes half = idat_chunk(rows, 0);
    frame.insert(frame.end(), half.begin() + 8, half.end() - 4);
    return big_rgb({actl, png_chunk("fcTL", first)}, {png_chunk("fcTL", second), png_chunk("fdAT", frame)});
  };
  auto controls = [](const Bytes& png) {
    std::vector<Bytes> out;
    for (const PngChunk& c : split_chunks(png))
      if (c.type == "fcTL") out.emplace_back(c.data.begin() + 4, c.data.end());
    return out;
  };
  struct Case {
    const char* what;
    std::function<void(Bytes&, Bytes&, uint32_t&)> edit;
    bool kept_as_is;
  };
  const Case cases[] = {
      {"delay denominator 0", [](Bytes&, Bytes& b, uint32_t&) { b[23] = 0; }, false},
      {"first frame disposed to the previous state", [](Bytes& a, Bytes&, uint32_t&) { a[24] = 2; }, false},
      {"first frame blends over nothing", [](Bytes& a, Bytes&, uint32_t&) { a[25] = 1; }, false},
      {"x offset plus width wraps", [](Bytes&, Bytes& b, uint32_t&) { b[12] = b[13] = b[14] = 0xFF, b[15] = 0xF0; },
       true},
      {"y offset plus height wraps", [](Bytes&, Bytes& b, uint32_t&) { b[16] = b[17] = b[18] = b[19] = 0xFF; }, true},
      {"dispose op 3", [](Bytes&, Bytes& b, uint32_t&) { b[24] = 3; }, true},
      {"blend op 2", [](Bytes&, Bytes& b, uint32_t&) { b[25] = 2; }, true},
      {"frame of no pixels", [](Bytes&, Bytes& b, uint32_t&) { b[11] = 0; }, true},
      {"sequence numbers out of order", [](Bytes&, Bytes& b, uint32_t& d) { b[3] = 2, d = 1; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes input = animation(c.edit);
    TempFolder dir;
    write_file(dir.file("anim.png"), input);
    const CommandResult r = run_tool(dir, {"anim.png"});
    EXPECT_EQ(r.status, 0);
    const Bytes output = read_file(dir.file("anim.png"));
    if (c.kept_as_is) {
      EXPECT_NE(r.out.find("Animated PNG: frames would be lost"), std::string::npos) << r.out;
      EXPECT_EQ(output, input);
      continue;
    }
    EXPECT_NE(r.out.find("Animated PNG: 2 frames, each re-encoded and checked"), std::string::npos) << r.out;
    EXPECT_LT(output.size(), input.size());
    EXPECT_EQ(controls(output), controls(input));
  }
}

TEST(PngInput, DamagedPngIsNotReplaced) {
  TempFolder dir;
  Bytes input = big_rgb();
  // Cut inside the image data: the last rows are missing.
  input.resize(input.size() - 12 - 400);
  write_file(dir.file("cut.png"), input);
  const CommandResult r = run_tool(dir, {"cut.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(0, 41), "Warning: cut.png is damaged or incomplete");
  EXPECT_TRUE(r.err.ends_with(" of 32 rows decoded\nDamaged input left unchanged\n")) << r.err;
  EXPECT_EQ(read_file(dir.file("cut.png")), input);
}

TEST(PngInput, StandardInputPngGoesToStandardOutput) {
  TempFolder dir;
  const Bytes input = big_rgb();
  const CommandResult r = run_tool(dir, {"-q", "-", "-"}, std::string(input.begin(), input.end()));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Read " + std::to_string(input.size()) + " byte(s) from stdin\n");
  EXPECT_TRUE(same_png_pixels(Bytes(r.out.begin(), r.out.end()), input));
}

}  // namespace

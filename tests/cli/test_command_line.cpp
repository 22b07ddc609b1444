#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

const uint16_t kWidth = 24, kHeight = 10;

CommandResult tessel(const TempFolder& dir, const std::vector<std::string>& args,
                     const std::string& input = std::string()) {
  return run_command(TESSEL_BINARY, args, dir.path(), input);
}

std::string usage_start() { return "TESSEL [In:{PNG,JPG,GIF,TGA,PCX,BMP}] (Out:PNG) (options...)        "; }

bool exists(const std::string& path) { return std::filesystem::exists(path); }

// What the smooth cel picture decodes to.
std::vector<uint32_t> cel_pixels(const Bytes& cel, uint16_t width, uint16_t height) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < size_t(width) * height; ++i) {
    const uint8_t* rgb = &cel[32 + size_t(cel[800 + i]) * 3];
    out.push_back(0xFF000000u | uint32_t(rgb[0] * 4) << 16 | uint32_t(rgb[1] * 4) << 8 |
                  uint32_t(rgb[2] * 4));
  }
  return out;
}

void expect_png_of_cel(const Bytes& png, const Bytes& cel) {
  OraclePicture picture;
  std::string error;
  ASSERT_TRUE(libpng_decode(png, &picture, &error)) << error;
  EXPECT_EQ(picture.width, kWidth);
  EXPECT_EQ(picture.height, kHeight);
  EXPECT_EQ(picture.pixels, cel_pixels(cel, kWidth, kHeight));
}

struct Failure {
  std::vector<std::string> args;
  std::string message;  // what stands before the usage text ("" for none)
  bool usage;
};

class EarlyStopTest : public ::testing::TestWithParam<Failure> {};

TEST_P(EarlyStopTest, PrintsOnStandardErrorAndExitsWithOne) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), smooth_cel(kWidth, kHeight));
  const CommandResult r = tessel(dir, GetParam().args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.substr(0, GetParam().message.size()), GetParam().message);
  if (GetParam().usage) {
    EXPECT_EQ(r.err.substr(GetParam().message.size(), usage_start().size()), usage_start());
    EXPECT_NE(r.err.find("<- writes zorbex.png if smaller\n"), std::string::npos);
  } else {
    EXPECT_EQ(r.err, GetParam().message);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, EarlyStopTest,
    ::testing::Values(Failure{{}, "", true}, Failure{{"-?"}, "", true}, Failure{{"pic.cel", "-?"}, "", true},
                      Failure{{"-c1", "pic.cel"}, "Invalid coltype\n", true},
                      Failure{{"-c5", "pic.cel"}, "Invalid coltype\n", true},
                      Failure{{"-c7", "pic.cel"}, "Invalid coltype\n", true},
                      Failure{{"-cx", "pic.cel"}, "Invalid coltype\n", true},
                      Failure{{"-f6", "pic.cel"}, "Invalid filter\n", true},
                      Failure{{"a", "b", "c"}, "Too many filenames specified on cmdline\n", true},
                      Failure{{"-q", "-v"}, "Must specify a source or target image\n", true},
                      Failure{{"-zz", "-v"},
                              "Warning: unrecognized option: -zz\nMust specify a source or target image\n",
                              true},
                      Failure{{"nothing.bmp"}, "nothing.bmp not found\n", false},
                      Failure{{"-q", "nothing.bmp"}, "nothing.bmp not found\n", false},
                      Failure{{"pic"}, "pic.png not found\n", false},
                      Failure{{"pic.cel", "-", "x"}, "Too many filenames specified on cmdline\n", true}));

struct Naming {
  std::string input;
  std::vector<std::string> extra_args;
  std::string output;
};

class NamingTest : public ::testing::TestWithParam<Naming> {};

TEST_P(NamingTest, WritesTheExpectedFile) {
  TempFolder dir;
  std::filesystem::create_directory(dir.file("Dir"));
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file(GetParam().input), cel);
  std::vector<std::string> args = {GetParam().input};
  args.insert(args.end(), GetParam().extra_args.begin(), GetParam().extra_args.end());
  const CommandResult r = tessel(dir, args);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(exists(dir.file(GetParam().output))) << r.out;
  expect_png_of_cel(read_file(dir.file(GetParam().output)), cel);
  EXPECT_NE(r.out.find("Output: " + GetParam().output + " coltype:3 (Pal)"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, NamingTest,
    ::testing::Values(Naming{"photo.bmp", {}, "photo.png"}, Naming{"PHOTO.BMP", {}, "PHOTO.PNG"},
                      Naming{"Dir/photo.bmp", {}, "Dir/photo.PNG"}, Naming{"123.JPG", {}, "123.PNG"},
                      Naming{"1.jpeg", {}, "1.png"}, Naming{"a.gif", {}, "a.png"},
                      Naming{"pic.cel", {}, "pic.cel.png"}, Naming{"in.tga", {"out"}, "out.png"},
                      Naming{"in.tga", {"out.bmp"}, "out.bmp.png"}, Naming{"in.tga", {"OUT"}, "OUT.PNG"},
                      Naming{"in.tga", {"out.PNG"}, "out.PNG"}));

// A path longer than any fixed name buffer still gets its own output name
// and never replaces the original picture.
TEST(Cli, LongPathGetsTheExtension) {
  TempFolder dir;
  std::string folder = "d";
  for (int i = 0; i < 6; ++i) folder += "/" + std::string(60, char('a' + i));
  std::filesystem::create_directories(dir.file(folder));
  const std::string input = folder + "/" + std::string(40, 'p');
  ASSERT_GT(input.size(), 300u);
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file(input), cel);
  const CommandResult r = tessel(dir, {input});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.file(input)), cel);
  expect_png_of_cel(read_file(dir.file(input + ".png")), cel);
}

TEST(Cli, ReportAndChangeLine) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("pic.cel"), cel);
  const CommandResult r = tessel(dir, {"pic.cel", "out.png"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  char size_text[32];
  snprintf(size_text, sizeof size_text, "%8d", int(cel.size()));
  const std::string head =
      " Input: pic.cel coltype:3 (Pal)\nOutput: out.png coltype:3 (Pal) filter:0 (none)\n\n Input size:" +
      std::string(size_text) + " bytes";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  const long written = long(read_file(dir.file("out.png")).size());
  const long change = written - long(cel.size());
  char line[128];
  snprintf(line, sizeof line, "     Change:%+8ld bytes (%3d%% of original)\n", change,
           int(100.0 * double(written) / double(cel.size())));
  EXPECT_EQ(r.out.substr(r.out.size() - strlen(line)), line);
}

TEST(Cli, RetriedNameReadsPicPngAndAsks) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("pic.png"), cel);
  CommandResult r = tessel(dir, {"pic"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pic.png already exists. Overwrite? (y/n) n\nOperation cancelled.\n");
  EXPECT_EQ(read_file(dir.file("pic.png")), cel);

  r = tessel(dir, {"pic"}, "y");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "pic.png already exists. Overwrite? (y/n) y\n");
  expect_png_of_cel(read_file(dir.file("pic.png")), cel);
}

struct Answer {
  std::string keys;
  bool accepted;
};

class PromptTest : public ::testing::TestWithParam<Answer> {};

TEST_P(PromptTest, AnswersTheOverwriteQuestion) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("pic.cel"), cel);
  write_file(dir.file("out.png"), Bytes{'o', 'l', 'd'});
  const CommandResult r = tessel(dir, {"pic.cel", "out.png"}, GetParam().keys);
  const std::string question = "out.png already exists. Overwrite? (y/n) ";
  if (GetParam().accepted) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, question + "y\n");
    expect_png_of_cel(read_file(dir.file("out.png")), cel);
  } else {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, question + "n\nOperation cancelled.\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir.file("out.png")), (Bytes{'o', 'l', 'd'}));
  }
}

INSTANTIATE_TEST_SUITE_P(Cli, PromptTest,
                         ::testing::Values(Answer{"y", true}, Answer{"Y", true}, Answer{"n", false},
                                           Answer{"N", false}, Answer{"\x1b", false}, Answer{"", false},
                                           Answer{"\n\r q y", true}, Answer{"abc", false},
                                           Answer{std::string("\xe0n\0n", 4), false}, Answer{"\xe0ny", true},
                                           Answer{std::string("\0y", 2), true}, Answer{"\xe0", false}));

TEST(Cli, AssumeYesSkipsThePrompt) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("pic.cel"), cel);
  write_file(dir.file("out.png"), Bytes{'o', 'l', 'd'});
  chmod(dir.file("out.png").c_str(), 0600);
  const CommandResult r = tessel(dir, {"-y", "pic.cel", "out.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_png_of_cel(read_file(dir.file("out.png")), cel);
  struct stat st;
  ASSERT_EQ(stat(dir.file("out.png").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Only real PNG content is rewritten in place without asking.
TEST(Cli, OtherPictureNamedPngIsNotReplacedSilently) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("pic.png"), cel);
  const CommandResult r = tessel(dir, {"pic.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pic.png already exists. Overwrite? (y/n) n\nOperation cancelled.\n");
  EXPECT_EQ(read_file(dir.file("pic.png")), cel);
}

TEST(Cli, QuietShowsOnlyWhatComesBeforeTheSwitch) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("pic.cel"), cel);
  write_file(dir.file("out.png"), Bytes{'o', 'l', 'd'});
  const CommandResult r = tessel(dir, {"-q", "-zz", "pic.cel", "out.png"}, "y");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Warning: unrecognized option: -zz\nout.png already exists. Overwrite? (y/n) y\n");
  expect_png_of_cel(read_file(dir.file("out.png")), cel);
}

TEST(Cli, StandardInputToStandardOutput) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("stdin.png"), Bytes{'o', 'l', 'd'});
  const CommandResult r = tessel(dir, {"-", "-"}, std::string(cel.begin(), cel.end()));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head =
      "Read " + std::to_string(cel.size()) + " byte(s) from stdin\n Input: (stdin) coltype:3 (Pal)\n";
  EXPECT_EQ(r.err.substr(0, head.size()), head);
  EXPECT_NE(r.err.find("Output: (stdout) coltype:3"), std::string::npos);
  EXPECT_NE(r.err.find("Change:"), std::string::npos);
  expect_png_of_cel(Bytes(r.out.begin(), r.out.end()), cel);
  EXPECT_EQ(read_file(dir.file("stdin.png")), (Bytes{'o', 'l', 'd'}));
}

TEST(Cli, StandardInputToDefaultName) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  const CommandResult r = tessel(dir, {"-"}, std::string(cel.begin(), cel.end()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Read " + std::to_string(cel.size()) + " byte(s) from stdin\n");
  expect_png_of_cel(read_file(dir.file("stdin.png")), cel);
}

// A pipe delivers a large picture in many short reads; all of it must arrive.
TEST(Cli, StandardInputIsReadToTheEnd) {
  TempFolder dir;
  const uint16_t w = 1500, h = 1000;
  Bytes palette(768, 0);
  for (int i = 0; i < 256; ++i) palette[size_t(i) * 3] = uint8_t(i & 63);
  Bytes indices(size_t(w) * h);
  for (size_t i = 0; i < indices.size(); ++i)
    indices[i] = uint8_t(i / w % 2 + (i == indices.size() - 1 ? 5 : 0));
  const Bytes cel = cel_file(w, h, palette, indices);
  const CommandResult r = tessel(dir, {"-s4", "-", "-"}, std::string(cel.begin(), cel.end()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("damaged"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Read " + std::to_string(cel.size()) + " byte(s) from stdin\n"), std::string::npos);
  OraclePicture picture;
  ASSERT_TRUE(libpng_decode(Bytes(r.out.begin(), r.out.end()), &picture));
  EXPECT_EQ(picture.pixels.back(), 0xFF180000u);  // index 6, red 6 * 4
}

// The picture came from standard input, so no key can follow it: the
// question is answered no instead of waiting.
TEST(Cli, PromptAfterPictureFromStandardInputCancels) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("out.png"), Bytes{'o', 'l', 'd'});
  const CommandResult r = tessel(dir, {"-", "out.png"}, std::string(cel.begin(), cel.end()));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Read " + std::to_string(cel.size()) +
                " byte(s) from stdin\nout.png already exists. Overwrite? (y/n) n\nOperation cancelled.\n");
  EXPECT_EQ(read_file(dir.file("out.png")), (Bytes{'o', 'l', 'd'}));
}

// Standard input open but silent (not a terminal): the stop poll between
// passes must not wait for a key that never comes.
TEST(Cli, SilentOpenInputDoesNotHoldTheEncoder) {
  TempFolder dir;
  const Bytes cel = smooth_cel(kWidth, kHeight);
  write_file(dir.file("pic.cel"), cel);
  const CommandResult r = run_command(TESSEL_BINARY, {"pic.cel", "out.png"}, dir.path(), "", true);
  EXPECT_EQ(r.status, 0) << r.err;
  expect_png_of_cel(read_file(dir.file("out.png")), cel);
}

TEST(Cli, UnsupportedAndEmptyPictures) {
  TempFolder dir;
  write_file(dir.file("text.bmp"), bytes_of("just some words, not a picture at all"));
  CommandResult r = tessel(dir, {"text.bmp"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "text.bmp unsupported format\n");
  EXPECT_FALSE(exists(dir.file("text.png")));

  write_file(dir.file("zero.cel"), cel_file(0, 5, {}, Bytes(10)));
  r = tessel(dir, {"zero.cel"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zero.cel unsupported format\n");

  write_file(dir.file("empty.bmp"), {});
  r = tessel(dir, {"empty.bmp"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "empty.bmp not found\n");

  r = tessel(dir, {"-", "-"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Read 0 byte(s) from stdin\n(stdin) unsupported format\n");
}

TEST(Cli, PictureTooLargeForThirtyTwoBitSizes) {
  TempFolder dir;
  write_file(dir.file("huge.cel"), cel_file(65535, 65535, {}, Bytes(64)));
  const CommandResult r = tessel(dir, {"huge.cel"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Out of memory\n");
  EXPECT_FALSE(exists(dir.file("huge.cel.png")));
}

TEST(Cli, EncoderRefusalExitsWithOne) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), smooth_cel(kWidth, kHeight));
  const CommandResult r = tessel(dir, {"-c0", "pic.cel", "gray.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists(dir.file("gray.png")));
  EXPECT_EQ(r.out.find("Change:"), std::string::npos);
}

TEST(Cli, FailedOpenIsAFailure) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), smooth_cel(kWidth, kHeight));
  const CommandResult r = tessel(dir, {"pic.cel", "no/such/out.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: Unable to open no/such/out.png for writing!\n     Change:"), std::string::npos)
      << r.out;
}

TEST(Cli, ShortWriteIsAFailure) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), smooth_cel(kWidth, kHeight));
  ASSERT_EQ(symlink("/dev/full", dir.file("full.png").c_str()), 0);
  CommandResult r = tessel(dir, {"-y", "pic.cel", "full.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR writing to file!\n     Change:"), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("full.png")));

  r = run_command("/bin/sh", {"-c", std::string(TESSEL_BINARY) + " - - < pic.cel > /dev/full"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ERROR writing to file!\n"), std::string::npos) << r.err;
}

TEST(Cli, ExistingFifoIsAskedAboutWithoutOpeningIt) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), smooth_cel(kWidth, kHeight));
  ASSERT_EQ(mkfifo(dir.file("pipe.png").c_str(), 0600), 0);
  const CommandResult r = tessel(dir, {"pic.cel", "pipe.png"}, "n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pipe.png already exists. Overwrite? (y/n) n\nOperation cancelled.\n");
}

TEST(Cli, DamagedInputIsNeverReplaced) {
  TempFolder dir;
  Bytes cut = smooth_cel(kWidth, kHeight);
  cut.resize(cut.size() - 30);
  write_file(dir.file("cut.png"), cut);
  CommandResult r = tessel(dir, {"-y", "cut.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Warning: cut.png is damaged or incomplete\nDamaged input left unchanged\n");
  EXPECT_EQ(read_file(dir.file("cut.png")), cut);

  // Through another name for the same file.
  ASSERT_EQ(symlink("cut.png", dir.file("link.png").c_str()), 0);
  r = tessel(dir, {"-y", "cut.png", "link.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(dir.file("cut.png")), cut);

  // To another file the salvaged part is written.
  r = tessel(dir, {"cut.png", "salvaged.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Warning: cut.png is damaged or incomplete\n");
  // What the file no longer holds comes out as zero, never as leftover memory.
  OraclePicture picture;
  ASSERT_TRUE(libpng_decode(read_file(dir.file("salvaged.png")), &picture));
  const std::vector<uint32_t> whole = cel_pixels(smooth_cel(kWidth, kHeight), kWidth, kHeight);
  ASSERT_EQ(picture.pixels.size(), whole.size());
  for (size_t i = 0; i < whole.size(); ++i)
    EXPECT_EQ(picture.pixels[i], i < whole.size() - 30 ? whole[i] : 0u) << i;
}

// One row wider than 65536 bytes as RGB: beyond what the decoder takes from
// input files, yet the written file is checked and written like any other.
TEST(Cli, WideOutputIsVerifiedAndWritten) {
  TempFolder dir;
  const uint32_t width = 21846;
  const uint32_t row = (width * 3 + 3) & ~3u;
  Bytes bmp(54, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bmp[at + size_t(i)] = uint8_t(v >> (8 * i));
  };
  put32(2, 54 + row);
  put32(10, 54);
  put32(14, 40);
  put32(18, width);
  put32(22, 1);
  bmp[26] = 1;
  bmp[28] = 24;
  put32(34, row);
  std::vector<uint32_t> expected;
  for (uint32_t x = 0; x < width; ++x) {
    bmp.insert(bmp.end(), {7, uint8_t(x >> 8), uint8_t(x)});  // blue, green, red
    expected.push_back(0xFF000000u | (x & 255) << 16 | (x >> 8) << 8 | 7);
  }
  bmp.resize(54 + row, 0);
  write_file(dir.file("wide.bmp"), bmp);
  const CommandResult r = tessel(dir, {"-s4", "wide.bmp"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  OraclePicture picture;
  ASSERT_TRUE(libpng_decode(read_file(dir.file("wide.png")), &picture));
  EXPECT_EQ(picture.colour_type, 2);
  EXPECT_EQ(picture.pixels, expected);
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/options.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"
#include "tests/support/print_capture.h"

namespace {

namespace fs = std::filesystem;
using namespace testpic;

const uint16_t kWidth = 24, kHeight = 10;
const Bytes kCel = smooth_cel(kWidth, kHeight);
const Bytes kOld = {'o', 'l', 'd'};
const std::string kCelText(kCel.begin(), kCel.end());
const std::string kRead = "Read " + std::to_string(kCel.size()) + " byte(s) from stdin\n";

// What a cel picture decodes to.
std::vector<uint32_t> cel_pixels(const Bytes& cel, uint16_t width, uint16_t height) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < size_t(width) * height; ++i) {
    const uint8_t* rgb = &cel[32 + size_t(cel[800 + i]) * 3];
    out.push_back(0xFF000000u | uint32_t(rgb[0] * 4) << 16 | uint32_t(rgb[1] * 4) << 8 |
                  uint32_t(rgb[2] * 4));
  }
  return out;
}

::testing::AssertionResult shows_the_cel(const Bytes& png) {
  return png_shows(png, kWidth, kHeight, cel_pixels(kCel, kWidth, kHeight));
}

// One run in a folder laid out by files: "name" holds the cel picture,
// "name:old" three bytes of an older file, "name:text", ":empty", ":zero" (a
// cel zero pixels wide), ":huge" (65535 x 65535), ":cut" (the cel less its
// last 30 bytes), "name:fifo" a named pipe and "name->target" a symbolic link.
// Afterwards every file but the one written holds what it held, nothing else
// has appeared, and a replaced file keeps its permission bits.
struct CliRun {
  const char* name;
  std::vector<std::string> files;
  std::vector<std::string> args;
  std::string input;  // standard input
  int status;
  std::string err;            // standard error, exactly
  std::string written = "";   // the file that must show the cel picture
  const char* out = nullptr;  // in standard output ("" for nothing at all)
};

class RunTest : public ::testing::TestWithParam<CliRun> {};

TEST_P(RunTest, WritesOnlyWhatItShould) {
  const CliRun& c = GetParam();
  TempFolder dir;
  std::vector<std::pair<std::string, Bytes>> contents;
  for (const std::string& entry : c.files) {
    const size_t colon = entry.find(':'), arrow = entry.find("->");
    const std::string name = entry.substr(0, std::min(colon, arrow)),
                      kind = colon == std::string::npos ? "" : entry.substr(colon + 1);
    fs::create_directories(fs::path(dir.file(name)).parent_path());
    if (arrow != std::string::npos) {
      ASSERT_EQ(symlink(entry.substr(arrow + 2).c_str(), dir.file(name).c_str()), 0);
      continue;
    }
    if (kind == "fifo") {
      ASSERT_EQ(mkfifo(dir.file(name).c_str(), 0600), 0);
      continue;
    }
    Bytes data = kCel;
    if (kind == "old") data = kOld;
    if (kind == "text") data = bytes_of("just some words, not a picture at all");
    if (kind == "empty") data.clear();
    if (kind == "zero") data = cel_file(0, 5, {}, Bytes(10));
    if (kind == "huge") data = cel_file(65535, 65535, {}, Bytes(64));
    if (kind == "cut") data.resize(kCel.size() - 30);
    write_file(dir.file(name), data);
    chmod(dir.file(name).c_str(), 0600);
    contents.push_back({name, data});
  }
  const CommandResult r = run_tool(dir, c.args, c.input);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  if (c.out) {
    if (*c.out) {
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.out, "");
    }
  }
  // A failed run reports no change unless the failure came after writing began.
  if (c.status != 0 && !(c.out && std::string(c.out).find("Change:") != std::string::npos)) {
    EXPECT_EQ(r.out.find("Change:"), std::string::npos) << r.out;
  }
  if (!c.written.empty()) {
    EXPECT_TRUE(shows_the_cel(read_file(dir.file(c.written))));
  }
  for (const auto& [name, data] : contents) {
    if (name == c.written) {
      struct stat st;
      ASSERT_EQ(stat(dir.file(name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    } else {
      EXPECT_EQ(read_file(dir.file(name)), data) << name;
    }
  }
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    const std::string name = e.path().string().substr(dir.path().size() + 1);
    bool known = e.is_directory() || name == c.written;
    for (const std::string& entry : c.files) known = known || entry.rfind(name, 0) == 0;
    EXPECT_TRUE(known) << name;
  }
}

const std::string kLong = [] {
  std::string folder = "d";
  for (int i = 0; i < 6; ++i) folder += "/" + std::string(60, char('a' + i));
  return folder + "/" + std::string(40, 'p');
}();
const std::string kAsk = " already exists. Overwrite? (y/n) ";
const std::string kNo = "out.png" + kAsk + "n\nOperation cancelled.\n", kYes = "out.png" + kAsk + "y\n";
const std::vector<std::string> kCelToOld = {"pic.cel", "out.png:old"}, kCelToOut = {"pic.cel", "out.png"};
// Early stops print their message and the usage text on standard error.
const std::string kUsage = [] {
  captured_messages().clear();
  print_usage(capture_printer());
  return captured_messages();
}();
const std::string kBadType = "Invalid coltype\n" + kUsage,
                  kTooMany = "Too many filenames specified on cmdline\n" + kUsage;
const std::vector<std::string> kCel1 = {"pic.cel"};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cli, RunTest, ::testing::Values(
    CliRun{"no_arguments", kCel1, {}, "", 1, kUsage, "", ""},
    CliRun{"question", kCel1, {"-?"}, "", 1, kUsage, "", ""},
    CliRun{"question_after_a_name", kCel1, {"pic.cel", "-?"}, "", 1, kUsage, "", ""},
    CliRun{"colour_type_1", kCel1, {"-c1", "pic.cel"}, "", 1, kBadType, "", ""},
    CliRun{"colour_type_5", kCel1, {"-c5", "pic.cel"}, "", 1, kBadType, "", ""},
    CliRun{"colour_type_7", kCel1, {"-c7", "pic.cel"}, "", 1, kBadType, "", ""},
    CliRun{"colour_type_letter", kCel1, {"-cx", "pic.cel"}, "", 1, kBadType, "", ""},
    CliRun{"filter_6", kCel1, {"-f6", "pic.cel"}, "", 1, "Invalid filter\n" + kUsage, "", ""},
    CliRun{"three_names", kCel1, {"a", "b", "c"}, "", 1, kTooMany, "", ""},
    CliRun{"three_names_with_dashes", kCel1, {"pic.cel", "-", "x"}, "", 1, kTooMany, "", ""},
    CliRun{"no_input", kCel1, {"-q", "-v"}, "", 1, "Must specify a source or target image\n" + kUsage, "", ""},
    CliRun{"unknown_then_no_input", kCel1, {"-zz", "-v"}, "", 1,
        "Warning: unrecognized option: -zz\nMust specify a source or target image\n" + kUsage, "", ""},
    CliRun{"not_found", kCel1, {"nothing.bmp"}, "", 1, "nothing.bmp not found\n", "", ""},
    CliRun{"not_found_quiet", kCel1, {"-q", "nothing.bmp"}, "", 1, "nothing.bmp not found\n", "", ""},
    CliRun{"retried_not_found", kCel1, {"pic"}, "", 1, "pic.png not found\n", "", ""},
    // The output name follows the input's, or the output argument's, extension and case.
    CliRun{"bmp", {"photo.bmp"}, {"photo.bmp"}, "", 0, "", "photo.png", "Output: photo.png coltype:3 (Pal)"},
    CliRun{"upper", {"PHOTO.BMP"}, {"PHOTO.BMP"}, "", 0, "", "PHOTO.PNG", "Output: PHOTO.PNG coltype:3 (Pal)"},
    CliRun{"folder", {"Dir/photo.bmp"}, {"Dir/photo.bmp"}, "", 0, "", "Dir/photo.PNG", "Output: Dir/photo.PNG"},
    CliRun{"digits", {"123.JPG"}, {"123.JPG"}, "", 0, "", "123.PNG", "Output: 123.PNG coltype:3 (Pal)"},
    CliRun{"jpeg", {"1.jpeg"}, {"1.jpeg"}, "", 0, "", "1.png", "Output: 1.png coltype:3 (Pal)"},
    CliRun{"gif", {"a.gif"}, {"a.gif"}, "", 0, "", "a.png", "Output: a.png coltype:3 (Pal)"},
    CliRun{"cel", {"pic.cel"}, {"pic.cel"}, "", 0, "", "pic.cel.png", "Output: pic.cel.png coltype:3 (Pal)"},
    CliRun{"named", {"in.tga"}, {"in.tga", "out"}, "", 0, "", "out.png", "Output: out.png coltype:3 (Pal)"},
    CliRun{"named_bmp", {"in.tga"}, {"in.tga", "out.bmp"}, "", 0, "", "out.bmp.png", "Output: out.bmp.png"},
    CliRun{"named_upper", {"in.tga"}, {"in.tga", "OUT"}, "", 0, "", "OUT.PNG", "Output: OUT.PNG coltype:3"},
    CliRun{"named_png", {"in.tga"}, {"in.tga", "out.PNG"}, "", 0, "", "out.PNG", "Output: out.PNG coltype:3"},
    // A path longer than any fixed name buffer still gets its own output name.
    CliRun{"long_path", {kLong}, {kLong}, "", 0, "", kLong + ".png"},
    // "pic" is retried as pic.png, which exists as the output too.
    CliRun{"retried_refused", {"pic.png"}, {"pic"}, "", 1, "pic.png" + kAsk + "n\nOperation cancelled.\n"},
    CliRun{"retried_accepted", {"pic.png"}, {"pic"}, "y", 0, "pic.png" + kAsk + "y\n", "pic.png"},
    // The overwrite question: y or Y answers yes, anything else (or nothing) no.
    CliRun{"y", kCelToOld, kCelToOut, "y", 0, kYes, "out.png"},
    CliRun{"Y", kCelToOld, kCelToOut, "Y", 0, kYes, "out.png"},
    CliRun{"n", kCelToOld, kCelToOut, "n", 1, kNo, "", ""},
    CliRun{"N", kCelToOld, kCelToOut, "N", 1, kNo, "", ""},
    CliRun{"escape", kCelToOld, kCelToOut, "\x1b", 1, kNo, "", ""},
    CliRun{"end_of_input", kCelToOld, kCelToOut, "", 1, kNo, "", ""},
    CliRun{"blanks_then_y", kCelToOld, kCelToOut, "\n\r q y", 0, kYes, "out.png"},
    CliRun{"letters", kCelToOld, kCelToOut, "abc", 1, kNo, "", ""},
    CliRun{"extended_n", kCelToOld, kCelToOut, std::string("\xe0n\0n", 4), 1, kNo, "", ""},
    CliRun{"extended_then_y", kCelToOld, kCelToOut, "\xe0ny", 0, kYes, "out.png"},
    CliRun{"nul_then_y", kCelToOld, kCelToOut, std::string("\0y", 2), 0, kYes, "out.png"},
    CliRun{"extended_alone", kCelToOld, kCelToOut, "\xe0", 1, kNo, "", ""},
    CliRun{"fifo_not_opened", {"pic.cel", "out.png:fifo"}, kCelToOut, "n", 1, kNo},
    CliRun{"assume_yes", kCelToOld, {"-y", "pic.cel", "out.png"}, "", 0, "", "out.png"},
    CliRun{"quiet_after_the_switch", kCelToOld, {"-q", "-zz", "pic.cel", "out.png"}, "y", 0,
        "Warning: unrecognized option: -zz\n" + kYes, "out.png", ""},
    // Only real PNG content is rewritten in place without asking.
    CliRun{"other_picture_named_png", {"pic.png"}, {"pic.png"}, "", 1, "pic.png" + kAsk + "n\nOperation cancelled.\n"},
    CliRun{"stdin_to_default_name", {}, {"-"}, kCelText, 0, kRead, "stdin.png"},
    // The picture came from standard input, so no key can follow it.
    CliRun{"stdin_then_prompt", {"out.png:old"}, {"-", "out.png"}, kCelText, 1, kRead + kNo},
    CliRun{"unsupported", {"text.bmp:text"}, {"text.bmp"}, "", 1, "text.bmp unsupported format\n"},
    CliRun{"zero_width", {"zero.cel:zero"}, {"zero.cel"}, "", 1, "zero.cel unsupported format\n"},
    CliRun{"empty", {"empty.bmp:empty"}, {"empty.bmp"}, "", 1, "empty.bmp not found\n"},
    CliRun{"empty_stdin", {}, {"-", "-"}, "", 1, "Read 0 byte(s) from stdin\n(stdin) unsupported format\n"},
    // No limit, however high, takes a picture past the encoder's 32-bit sizes.
    CliRun{"too_large_for_32_bit_sizes", {"huge.cel:huge"}, {"-l20000", "huge.cel"}, "", 1,
        "huge.cel is 65535 x 65535 pixels and needs 49183 MiB, more than the memory limit of 6175 MiB (the most the "
        "encoder's 32-bit buffer sizes allow at this width)\n"},
    CliRun{"encoder_refusal", {"pic.cel"}, {"-c0", "pic.cel", "gray.png"}, "", 1, "", "",
        "\rImage is not grayscale; try /c3 (Pal) instead\n"},
    CliRun{"failed_open", {"pic.cel"}, {"pic.cel", "no/such/out.png"}, "", 1, "", "",
        "ERROR: Unable to open no/such/out.png for writing!\n     Change:"},
    CliRun{"short_write", {"pic.cel", "full.png->/dev/full"}, {"-y", "pic.cel", "full.png"}, "", 1, "", "",
        "ERROR writing to file!\n     Change:"},
    CliRun{"damaged_input_in_place", {"cut.png:cut"}, {"-y", "cut.png"}, "", 1,
        "Warning: cut.png is damaged or incomplete: 8 of 10 rows decoded\nDamaged input left unchanged\n"},
    CliRun{"damaged_input_through_a_link", {"cut.png:cut", "link.png->cut.png"}, {"-y", "cut.png", "link.png"}, "",
        1, "Warning: cut.png is damaged or incomplete: 8 of 10 rows decoded\nDamaged input left unchanged\n"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(Cli, ReportAndChangeLine) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), kCel);
  const CommandResult r = run_tool(dir, {"pic.cel", "out.png"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  char size_text[32];
  snprintf(size_text, sizeof size_text, "%8d", int(kCel.size()));
  const std::string head =
      " Input: pic.cel coltype:3 (Pal)\nOutput: out.png coltype:3 (Pal) filter:0 (none)\n\n Input size:" +
      std::string(size_text) + " bytes";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  const long written = long(read_file(dir.file("out.png")).size());
  char line[128];
  snprintf(line, sizeof line, "     Change:%+8ld bytes (%3d%% of original)\n", written - long(kCel.size()),
           int(100.0 * double(written) / double(kCel.size())));
  EXPECT_EQ(r.out.substr(r.out.size() - strlen(line)), line);
}

TEST(Cli, StandardInputToStandardOutput) {
  TempFolder dir;
  write_file(dir.file("stdin.png"), kOld);
  const CommandResult r = run_tool(dir, {"-", "-"}, kCelText);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head = kRead + " Input: (stdin) coltype:3 (Pal)\nOutput: (stdout) coltype:3";
  EXPECT_EQ(r.err.substr(0, head.size()), head);
  EXPECT_NE(r.err.find("Change:"), std::string::npos);
  EXPECT_TRUE(shows_the_cel(Bytes(r.out.begin(), r.out.end())));
  EXPECT_EQ(read_file(dir.file("stdin.png")), kOld);
  // A short write to standard output is a failure too.
  write_file(dir.file("pic.cel"), kCel);
  const CommandResult full =
      run_command("/bin/sh", {"-c", std::string(TESSEL_BINARY) + " - - < pic.cel > /dev/full"}, dir.path());
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("ERROR writing to file!\n"), std::string::npos) << full.err;
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
  const CommandResult r = run_tool(dir, {"-s4", "-", "-"}, std::string(cel.begin(), cel.end()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("damaged"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Read " + std::to_string(cel.size()) + " byte(s) from stdin\n"), std::string::npos);
  OraclePicture picture;
  ASSERT_TRUE(libpng_decode(Bytes(r.out.begin(), r.out.end()), &picture));
  EXPECT_EQ(picture.pixels.back(), 0xFF180000u);  // index 6, red 6 * 4
}

// Standard input open but silent (not a terminal): the stop poll between
// passes must not wait for a key that never comes.
TEST(Cli, SilentOpenInputDoesNotHoldTheEncoder) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), kCel);
  const CommandResult r = run_command(TESSEL_BINARY, {"pic.cel", "out.png"}, dir.path(), "", true);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(shows_the_cel(read_file(dir.file("out.png"))));
}

// With -force the salvaged part of a damaged input goes to another file; what
// the file no longer holds comes out as zero, never as leftover memory.
TEST(Cli, DamagedInputSalvagedToAnotherFile) {
  TempFolder dir;
  write_file(dir.file("cut.png"), Bytes(kCel.begin(), kCel.end() - 30));
  const CommandResult r = run_tool(dir, {"-force", "cut.png", "salvaged.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Warning: cut.png is damaged or incomplete: 8 of 10 rows decoded\n");
  std::vector<uint32_t> expected = cel_pixels(kCel, kWidth, kHeight);
  std::fill(expected.end() - 30, expected.end(), 0u);
  EXPECT_TRUE(png_shows(read_file(dir.file("salvaged.png")), kWidth, kHeight, expected));
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
  const CommandResult r = run_tool(dir, {"-s4", "wide.bmp"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  OraclePicture picture;
  ASSERT_TRUE(libpng_decode(read_file(dir.file("wide.png")), &picture));
  EXPECT_EQ(picture.colour_type, 2);
  EXPECT_TRUE(png_shows(read_file(dir.file("wide.png")), int32_t(width), 1, expected));
}

}  // namespace

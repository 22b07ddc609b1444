#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "driver/options.h"
#include "tests/support/print_capture.h"

namespace {

std::string& printed = captured_messages();
constexpr auto capture = capture_print;

struct Parsed {
  ParseResult result;
  CommandLine cmd;
  EncodeOptions options;
};

// The parsed record points into the arguments, so they live until the next parse.
std::vector<std::string> args;

Parsed parse(std::vector<std::string> given) {
  args = std::move(given);
  args.insert(args.begin(), "tessel");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  printed.clear();
  Parsed p;
  p.result = parse_command_line(int(args.size()), argv.data(), capture, &p.cmd, &p.options);
  return p;
}

struct ResultCase {
  std::vector<std::string> args;
  ParseResult expected;
};

class ParseResultTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(ParseResultTest, StopsOrGoesOn) { EXPECT_EQ(parse(GetParam().args).result, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Options, ParseResultTest,
    ::testing::Values(
        ResultCase{{}, kParseUsage}, ResultCase{{"-?"}, kParseUsage}, ResultCase{{"in", "-?"}, kParseUsage},
        ResultCase{{"-c1", "in"}, kParseBadColourType}, ResultCase{{"-c5", "in"}, kParseBadColourType},
        ResultCase{{"-c7", "in"}, kParseBadColourType}, ResultCase{{"-cx", "in"}, kParseBadColourType},
        ResultCase{{"-c2x", "in"}, kParseBadColourType}, ResultCase{{"-c-2", "in"}, kParseBadColourType},
        ResultCase{{"-c99999999999999999999", "in"}, kParseBadColourType},
        ResultCase{{"-f6", "in"}, kParseBadFilter}, ResultCase{{"-fx", "in"}, kParseBadFilter},
        ResultCase{{"-forcex", "in"}, kParseBadFilter}, ResultCase{{"a", "b", "c"}, kParseTooManyNames},
        ResultCase{{"-", "-", "-"}, kParseTooManyNames}, ResultCase{{"-v"}, kParseNoInput},
        ResultCase{{"-q", "-y"}, kParseNoInput}, ResultCase{{"in"}, kParseOk},
        ResultCase{{"-", "-"}, kParseOk}));

TEST(Options, ColourTypeAndFilterDigits) {
  for (const char* arg : {"-c0", "-c2", "-c3", "-c4", "-c6", "-C6", "-c006"}) {
    const Parsed p = parse({arg, "in"});
    ASSERT_EQ(p.result, kParseOk) << arg;
    EXPECT_EQ(p.cmd.colour_type, std::string(arg).back() - '0') << arg;
  }
  EXPECT_EQ(parse({"-c", "in"}).cmd.colour_type, 0);
  EXPECT_EQ(parse({"in"}).cmd.colour_type, -1);
  EXPECT_EQ(parse({"-f", "in"}).cmd.filter, 0);
  EXPECT_EQ(parse({"-F5", "in"}).cmd.filter, 5);
  EXPECT_EQ(parse({"in"}).cmd.filter, -1);
}

TEST(Options, ForceIsWholeWordAnyCase) {
  EXPECT_TRUE(parse({"-force", "in"}).cmd.force);
  EXPECT_TRUE(parse({"-FoRcE", "in"}).cmd.force);
  EXPECT_FALSE(parse({"in"}).cmd.force);
}

TEST(Options, StrategyIsClamped) {
  EXPECT_EQ(parse({"-s9", "in"}).options.strategy, 4);
  EXPECT_EQ(parse({"-s-2", "in"}).options.strategy, 0);
  EXPECT_EQ(parse({"-s2", "in"}).options.strategy, 2);
  EXPECT_EQ(parse({"-s3", "in"}).options.strategy, 3);
  EXPECT_EQ(parse({"-s", "in"}).options.strategy, 0);
  EXPECT_EQ(parse({"-s99999999999", "in"}).options.strategy, 4);
}

TEST(Options, BitDepthOutsideTheListIsDropped) {
  EXPECT_EQ(parse({"-d4", "in"}).cmd.bit_depth, 4);
  EXPECT_EQ(parse({"-d0", "in"}).cmd.bit_depth, 0);
  EXPECT_EQ(parse({"-d3", "in"}).cmd.bit_depth, -1);
  EXPECT_EQ(parse({"-d16", "in"}).cmd.bit_depth, -1);
  EXPECT_EQ(parse({"-d8", "-d3", "in"}).cmd.bit_depth, -1);
  EXPECT_TRUE(printed.empty());
}

TEST(Options, BlockOptions) {
  Parsed p = parse({"-b-128", "in"});
  EXPECT_EQ(p.options.strategy, 3);
  EXPECT_DOUBLE_EQ(p.options.block_threshold, 128.0);
  EXPECT_TRUE(p.cmd.block_option);

  p = parse({"-b", "in"});
  EXPECT_DOUBLE_EQ(p.options.block_threshold, 0.0);

  p = parse({"in"});
  EXPECT_DOUBLE_EQ(p.options.block_threshold, 256.0);
  EXPECT_FALSE(p.cmd.block_option);

  p = parse({"-b192.5x", "in"});
  EXPECT_DOUBLE_EQ(p.options.block_threshold, 192.5);

  p = parse({"-n7", "-b64", "in"});
  EXPECT_EQ(p.options.exact_block_count, 0);
  EXPECT_DOUBLE_EQ(p.options.block_threshold, 64.0);

  p = parse({"-b64", "-n7", "in"});
  EXPECT_EQ(p.options.exact_block_count, 7);
  EXPECT_DOUBLE_EQ(p.options.block_threshold, 64.0);

  p = parse({"-b-100", "-s1", "in"});
  EXPECT_EQ(p.options.strategy, 1);

  // Words that a general number reader would take as infinity or NaN are no
  // numbers here.
  EXPECT_DOUBLE_EQ(parse({"-binf", "in"}).options.block_threshold, 0.0);
  EXPECT_DOUBLE_EQ(parse({"-bnan", "in"}).options.block_threshold, 0.0);
  EXPECT_TRUE(std::isfinite(parse({"-b1e999", "in"}).options.block_threshold));
}

TEST(Options, FlagsAndKeyword) {
  const Parsed p = parse({"-rx", "-vfoo", "-qq", "-y", "-zl121", "-KP", "in", "out"});
  ASSERT_EQ(p.result, kParseOk);
  EXPECT_EQ(p.options.randomize, 1);
  EXPECT_EQ(p.options.verbose, 1);
  EXPECT_TRUE(p.cmd.quiet);
  EXPECT_TRUE(p.cmd.assume_yes);
  EXPECT_EQ(p.options.zl121_mode, 1);
  EXPECT_EQ(p.options.keep_palette, 1);
  EXPECT_STREQ(p.cmd.input_arg, "in");
  EXPECT_STREQ(p.cmd.output_arg, "out");
  EXPECT_TRUE(printed.empty());
}

TEST(Options, ChunkListsAndPalette) {
  Parsed p = parse({"-kgAMA,tEXt", "-kbKGD", "in"});
  EXPECT_STREQ(p.cmd.chunk_list, "bKGD");
  EXPECT_EQ(p.options.keep_palette, 0);

  p = parse({"-kpx", "in"});
  EXPECT_STREQ(p.cmd.chunk_list, "px");
  EXPECT_EQ(p.options.keep_palette, 0);

  p = parse({"-kP", "in"});
  EXPECT_EQ(p.cmd.chunk_list, nullptr);
  EXPECT_EQ(p.options.keep_palette, 1);

  p = parse({"-kall", "-k", "in"});
  EXPECT_STREQ(p.cmd.chunk_list, "all");
}

TEST(Options, UnrecognisedOptionsWarnAndGoOn) {
  const Parsed p = parse({"-yes", "-x", "--", "in"});
  EXPECT_EQ(p.result, kParseOk);
  EXPECT_FALSE(p.cmd.assume_yes);
  EXPECT_EQ(printed,
            "Warning: unrecognized option: -yes\n"
            "Warning: unrecognized option: -x\n"
            "Warning: unrecognized option: --\n");
}

TEST(Options, BareDashesAreStandardStreams) {
  Parsed p = parse({"-", "-"});
  EXPECT_TRUE(p.cmd.input_stdin);
  EXPECT_TRUE(p.cmd.output_stdout);
  p = parse({"-", "out.png"});
  EXPECT_TRUE(p.cmd.input_stdin);
  EXPECT_FALSE(p.cmd.output_stdout);
  p = parse({"in.bmp", "-"});
  EXPECT_FALSE(p.cmd.input_stdin);
  EXPECT_TRUE(p.cmd.output_stdout);
}

TEST(Options, UsageTextLines) {
  printed.clear();
  print_usage(capture);
  size_t lines = 0;
  for (char c : printed) lines += c == '\n';
  EXPECT_EQ(lines, 21u);
  const std::string first = printed.substr(0, printed.find('\n') + 1);
  EXPECT_TRUE(
      std::regex_match(first, std::regex("TESSEL \\[In:\\{PNG,JPG,GIF,TGA,PCX,BMP\\}\\] \\(Out:PNG\\) "
                                         "\\(options\\.\\.\\.\\)        [A-Z][a-z]{2} [0-9]{2} [0-9]{4}\n")))
      << first;
  EXPECT_NE(printed.find("0=none, 1=\x7Fx, 2=\x7Fy, 3=\x7Fx&y, 4=Paeth"), std::string::npos);
  EXPECT_NE(printed.find("5-10%. Options:"), std::string::npos);
}

}  // namespace

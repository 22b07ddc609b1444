#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "driver/options.h"
#include "tests/support/print_capture.h"

namespace {

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
  captured_messages().clear();
  Parsed p;
  p.result = parse_command_line(int(args.size()), argv.data(), capture_printer(), &p.cmd, &p.options);
  return p;
}

// A command line and everything it must leave behind; the defaults are what
// an option must not disturb.
struct OptionCase {
  std::vector<std::string> args;
  ParseResult result = kParseOk;
  int32_t colour_type = -1, filter = -1, bit_depth = -1, strategy = 0;
  double threshold = 256.0;
  int32_t exact_blocks = 0;
  bool block_option = false, force = false, quiet = false, assume_yes = false;
  int32_t randomize = 0, verbose = 0, zl121 = 0, keep_palette = 0;
  int32_t memory_limit = 0;
  const char* chunk_list = nullptr;
  int32_t search_level = 0, threads = 0;
  bool alpha_free = false, strategy_option = false, smooth_chroma = false;
  const char* input = "in";
  const char* output = nullptr;
  std::string printed = "";
};

class OptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionsTest, ParsedAsGiven) {
  const OptionCase& c = GetParam();
  const Parsed p = parse(c.args);
  ASSERT_EQ(p.result, c.result);
  if (c.result != kParseOk) return;
  EXPECT_EQ(p.cmd.colour_type, c.colour_type);
  EXPECT_EQ(p.cmd.filter, c.filter);
  EXPECT_EQ(p.cmd.bit_depth, c.bit_depth);
  EXPECT_EQ(p.cmd.memory_limit, c.memory_limit);
  EXPECT_EQ(p.options.strategy, c.strategy);
  EXPECT_DOUBLE_EQ(p.options.block_threshold, c.threshold);
  EXPECT_EQ(p.options.exact_block_count, c.exact_blocks);
  EXPECT_EQ(p.cmd.block_option, c.block_option);
  EXPECT_EQ(p.cmd.force, c.force);
  EXPECT_EQ(p.cmd.quiet, c.quiet);
  EXPECT_EQ(p.cmd.assume_yes, c.assume_yes);
  EXPECT_EQ(p.options.randomize, c.randomize);
  EXPECT_EQ(p.options.verbose, c.verbose);
  EXPECT_EQ(p.options.zl121_mode, c.zl121);
  EXPECT_EQ(p.options.keep_palette, c.keep_palette);
  EXPECT_EQ(std::string(p.cmd.chunk_list ? p.cmd.chunk_list : "(none)"),
            c.chunk_list ? c.chunk_list : "(none)");
  EXPECT_EQ(std::string(p.cmd.input_arg ? p.cmd.input_arg : "(none)"), c.input ? c.input : "(none)");
  EXPECT_EQ(std::string(p.cmd.output_arg ? p.cmd.output_arg : "(none)"), c.output ? c.output : "(none)");
  EXPECT_EQ(p.cmd.input_stdin, std::string(c.input) == "-");
  EXPECT_EQ(p.cmd.output_stdout, c.output && std::string(c.output) == "-");
  EXPECT_EQ(p.cmd.search_level, c.search_level);
  EXPECT_EQ(p.cmd.threads, c.threads);
  EXPECT_EQ(p.cmd.alpha_free, c.alpha_free);
  EXPECT_EQ(p.cmd.smooth_chroma, c.smooth_chroma);
  EXPECT_EQ(p.cmd.strategy_option, c.strategy_option);
  EXPECT_EQ(captured_messages(), c.printed);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Options, OptionsTest, ::testing::Values(
    OptionCase{.args = {}, .result = kParseUsage}, OptionCase{.args = {"-?"}, .result = kParseUsage},
    OptionCase{.args = {"in", "-?"}, .result = kParseUsage},
    OptionCase{.args = {"-c1", "in"}, .result = kParseBadColourType},
    OptionCase{.args = {"-c5", "in"}, .result = kParseBadColourType},
    OptionCase{.args = {"-c7", "in"}, .result = kParseBadColourType},
    OptionCase{.args = {"-cx", "in"}, .result = kParseBadColourType},
    OptionCase{.args = {"-c2x", "in"}, .result = kParseBadColourType},
    OptionCase{.args = {"-c-2", "in"}, .result = kParseBadColourType},
    OptionCase{.args = {"-c99999999999999999999", "in"}, .result = kParseBadColourType},
    OptionCase{.args = {"-f6", "in"}, .result = kParseBadFilter},
    OptionCase{.args = {"-fx", "in"}, .result = kParseBadFilter},
    OptionCase{.args = {"-forcex", "in"}, .result = kParseBadFilter},
    OptionCase{.args = {"a", "b", "c"}, .result = kParseTooManyNames},
    OptionCase{.args = {"-", "-", "-"}, .result = kParseTooManyNames},
    OptionCase{.args = {"-v"}, .result = kParseNoInput}, OptionCase{.args = {"-q", "-y"}, .result = kParseNoInput},
    OptionCase{.args = {"in"}},
    OptionCase{.args = {"-c0", "in"}, .colour_type = 0}, OptionCase{.args = {"-c2", "in"}, .colour_type = 2},
    OptionCase{.args = {"-c3", "in"}, .colour_type = 3}, OptionCase{.args = {"-c4", "in"}, .colour_type = 4},
    OptionCase{.args = {"-c6", "in"}, .colour_type = 6}, OptionCase{.args = {"-C6", "in"}, .colour_type = 6},
    OptionCase{.args = {"-c006", "in"}, .colour_type = 6}, OptionCase{.args = {"-c", "in"}, .colour_type = 0},
    OptionCase{.args = {"-f", "in"}, .filter = 0}, OptionCase{.args = {"-F5", "in"}, .filter = 5},
    OptionCase{.args = {"-force", "in"}, .force = true}, OptionCase{.args = {"-FoRcE", "in"}, .force = true},
    // The strategy is clamped.
    OptionCase{.args = {"-s9", "in"}, .strategy = 4, .strategy_option = true}, OptionCase{.args = {"-s-2", "in"}, .strategy = 0, .strategy_option = true},
    OptionCase{.args = {"-s2", "in"}, .strategy = 2, .strategy_option = true}, OptionCase{.args = {"-s3", "in"}, .strategy = 3, .strategy_option = true},
    OptionCase{.args = {"-s", "in"}, .strategy = 0, .strategy_option = true}, OptionCase{.args = {"-s99999999999", "in"}, .strategy = 4, .strategy_option = true},
    // A bit depth outside the list is dropped without a word.
    OptionCase{.args = {"-d4", "in"}, .bit_depth = 4}, OptionCase{.args = {"-d0", "in"}, .bit_depth = 0},
    OptionCase{.args = {"-d3", "in"}}, OptionCase{.args = {"-d16", "in"}}, OptionCase{.args = {"-d8", "-d3", "in"}},
    // "-b" sets the threshold (a negative one also Huffman-only); "-n" after "-b" counts blocks.
    OptionCase{.args = {"-b-128", "in"}, .strategy = 3, .threshold = 128.0, .block_option = true},
    OptionCase{.args = {"-b", "in"}, .threshold = 0.0, .block_option = true},
    OptionCase{.args = {"-b192.5x", "in"}, .threshold = 192.5, .block_option = true},
    OptionCase{.args = {"-n7", "-b64", "in"}, .threshold = 64.0, .block_option = true},
    OptionCase{.args = {"-b64", "-n7", "in"}, .threshold = 64.0, .exact_blocks = 7,
               .block_option = true},
    OptionCase{.args = {"-b-100", "-s1", "in"}, .strategy = 1, .threshold = 100.0, .block_option = true,
               .strategy_option = true},
    // Words that a general number reader would take as infinity or NaN are no numbers here.
    OptionCase{.args = {"-binf", "in"}, .threshold = 0.0, .block_option = true},
    OptionCase{.args = {"-bnan", "in"}, .threshold = 0.0, .block_option = true},
    OptionCase{.args = {"-rx", "-vfoo", "-qq", "-y", "-zl121", "-KP", "in", "out"}, .quiet = true,
               .assume_yes = true, .randomize = 1, .verbose = 1, .zl121 = 1, .keep_palette = 1, .output = "out"},
    OptionCase{.args = {"-kgAMA,tEXt", "-kbKGD", "in"}, .chunk_list = "bKGD"},
    OptionCase{.args = {"-kpx", "in"}, .chunk_list = "px"},
    OptionCase{.args = {"-kP", "in"}, .keep_palette = 1},
    OptionCase{.args = {"-kall", "-k", "in"}, .chunk_list = "all"},
    OptionCase{.args = {"-yes", "-x", "--", "in"}, .printed = "Warning: unrecognized option: -yes\n"
               "Warning: unrecognized option: -x\nWarning: unrecognized option: --\n"},
    // Search level, workers and transparent colours; a bare "-o" is the thorough level.
    OptionCase{.args = {"-o", "in"}, .search_level = 2}, OptionCase{.args = {"-o0", "in"}},
    OptionCase{.args = {"-O1", "in"}, .search_level = 1}, OptionCase{.args = {"-o3", "in"}, .search_level = 3},
    OptionCase{.args = {"-o9", "in"}, .search_level = 3},
    OptionCase{.args = {"-o3", "-o1", "in"}, .search_level = 1},
    OptionCase{.args = {"-j4", "-o", "in"}, .search_level = 2, .threads = 4},
    OptionCase{.args = {"-J", "in"}}, OptionCase{.args = {"-j99999999999", "in"}, .threads = kMaxThreads},
    OptionCase{.args = {"-a", "-o1", "in"}, .search_level = 1, .alpha_free = true},
    OptionCase{.args = {"-A", "in"}, .alpha_free = true},
    OptionCase{.args = {"-u", "-o1", "in"}, .search_level = 1, .smooth_chroma = true},
    OptionCase{.args = {"-U", "in"}, .smooth_chroma = true},
    OptionCase{.args = {"-u2", "in"}, .printed = "Warning: unrecognized option: -u2\n"},
    OptionCase{.args = {"-ox", "-j-1", "-ab", "in"}, .printed = "Warning: unrecognized option: -ox\n"
               "Warning: unrecognized option: -j-1\nWarning: unrecognized option: -ab\n"},
    OptionCase{.args = {"-l512", "in"}, .memory_limit = 512},
    OptionCase{.args = {"-L7", "-l99999999999", "in"}, .memory_limit = INT32_MAX},
    OptionCase{.args = {"-l", "in"}, .result = kParseBadMemoryLimit},
    OptionCase{.args = {"-l-1", "in"}, .result = kParseBadMemoryLimit},
    OptionCase{.args = {"-", "-"}, .input = "-", .output = "-"},
    OptionCase{.args = {"-", "out.png"}, .input = "-", .output = "out.png"},
    OptionCase{.args = {"in.bmp", "-"}, .input = "in.bmp", .output = "-"}));
// clang-format on

// The batch options: names in order, anywhere around "-i"; flags in either case.
struct BatchOptionCase {
  std::vector<std::string> args;
  ParseResult result = kParseOk;
  std::vector<std::string> names = {};
  bool batch = true, preserve_times = false, pretend = false;
  int32_t threads = 0;
};

class BatchOptionsTest : public ::testing::TestWithParam<BatchOptionCase> {};

TEST_P(BatchOptionsTest, ParsedAsGiven) {
  const BatchOptionCase& c = GetParam();
  const Parsed p = parse(c.args);
  ASSERT_EQ(p.result, c.result);
  if (c.result != kParseOk) return;
  EXPECT_EQ(p.cmd.batch, c.batch);
  EXPECT_EQ(p.cmd.preserve_times, c.preserve_times);
  EXPECT_EQ(p.cmd.pretend, c.pretend);
  EXPECT_EQ(p.cmd.threads, c.threads);
  EXPECT_FALSE(p.cmd.in_place);
  std::vector<std::string> names(p.cmd.batch_names.begin(), p.cmd.batch_names.end());
  EXPECT_EQ(names, c.names);
  if (c.batch) {
    EXPECT_EQ(std::string(p.cmd.input_arg), c.names.front());
  }
  EXPECT_EQ(captured_messages(), "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(BatchOptions, BatchOptionsTest, ::testing::Values(
    BatchOptionCase{.args = {"a", "b", "c", "-I"}, .names = {"a", "b", "c"}},
    BatchOptionCase{.args = {"-i", "d/", "-j3", "e.png", "-P", "-t"}, .names = {"d/", "e.png"},
                    .preserve_times = true, .pretend = true, .threads = 3},
    BatchOptionCase{.args = {"-J999999", "-i", "x"}, .names = {"x"}, .threads = kMaxThreads},
    BatchOptionCase{.args = {"-j", "-i", "x"}, .names = {"x"}},
    // Without "-i": the flags hold for the one file, and names stay two at most.
    BatchOptionCase{.args = {"-p", "-T", "in", "out"}, .batch = false, .preserve_times = true, .pretend = true},
    BatchOptionCase{.args = {"-i", "x", "-"}, .result = kParseBatchStdio},
    BatchOptionCase{.args = {"-i"}, .result = kParseNoInput},
    BatchOptionCase{.args = {"x", "-h", "-c9"}, .result = kParseHelp},
    BatchOptionCase{.args = {"--HELP"}, .result = kParseHelp},
    BatchOptionCase{.args = {"--version", "-?"}, .result = kParseVersion},
    // Only the exact letters: a longer word stays unknown.
    BatchOptionCase{.args = {"-ix", "a", "b", "c"}, .result = kParseTooManyNames}));
// clang-format on

TEST(Options, HugeThresholdStaysFinite) {
  EXPECT_TRUE(std::isfinite(parse({"-b1e999", "in"}).options.block_threshold));
}

TEST(Options, UsageTextLines) {
  captured_messages().clear();
  print_usage(capture_printer());
  const std::string& printed = captured_messages();
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 30);
  // The search options sit between "-force" and the file names, in that order.
  const size_t force = printed.find("   -force  Write file even if bigger.\n");
  const size_t o = printed.find("   -o# Search");
  const size_t j = printed.find("   -j# Worker threads");
  const size_t a = printed.find("   -a  Allow any color in fully transparent pixels\n");
  const size_t u = printed.find("   -u  Smooth chroma upsampling of JPEG");
  const size_t names = printed.find("The 1st filename is the input.");
  EXPECT_TRUE(force < o && o < j && j < a && a < u && u < names) << printed;
  const std::string first = printed.substr(0, printed.find('\n') + 1);
  EXPECT_TRUE(
      std::regex_match(first, std::regex("TESSEL \\[In:\\{PNG,JPG,GIF,TGA,PCX,BMP\\}\\] \\(Out:PNG\\) "
                                         "\\(options\\.\\.\\.\\)        [A-Z][a-z]{2} [0-9]{2} [0-9]{4}\n")))
      << first;
  EXPECT_NE(printed.find("0=none, 1=\x7Fx, 2=\x7Fy, 3=\x7Fx&y, 4=Paeth"), std::string::npos);
  EXPECT_NE(printed.find("5-10%. Options:"), std::string::npos);
  EXPECT_NE(printed.find("<- writes zorbex.png if smaller\n"), std::string::npos);
}

}  // namespace

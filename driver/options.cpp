#include "driver/options.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/console.h"

#ifndef TESSEL_BUILD_DATE
#define TESSEL_BUILD_DATE __DATE__
#endif
#ifndef TESSEL_VERSION
#define TESSEL_VERSION "0.0.0"
#endif

namespace {

bool equals_ignoring_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

// Digits only, nothing else: "" reads as 0. Returns false for any other
// character. Long digit strings saturate instead of wrapping.
bool read_plain_digits(const char* text, int32_t* value) {
  int64_t v = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
    if (v < INT32_MAX) v = v * 10 + (*text - '0');
  }
  *value = v > INT32_MAX ? INT32_MAX : int32_t(v);
  return true;
}

// Leading blanks, a sign and digits, the rest ignored; "" and text without
// digits read as 0. Clamped to the 32-bit range.
int32_t read_integer(const char* text) {
  errno = 0;
  const long long v = std::strtoll(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return int32_t(v);
}

// The longest prefix of the form [blanks][sign]digits[.digits][e[sign]digits]
// as a number; anything else (including "inf", "nan" and hex forms, which a
// threshold has no use for) reads as 0. Clamped to finite values.
double read_decimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  std::string number;
  if (*p == '+' || *p == '-') number += *p++;
  bool digits = false;
  while (std::isdigit(static_cast<unsigned char>(*p))) number += *p++, digits = true;
  if (*p == '.') {
    number += *p++;
    while (std::isdigit(static_cast<unsigned char>(*p))) number += *p++, digits = true;
  }
  if (!digits) return 0.0;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    std::string exponent = "e";
    if (*q == '+' || *q == '-') exponent += *q++;
    if (std::isdigit(static_cast<unsigned char>(*q))) {
      while (std::isdigit(static_cast<unsigned char>(*q))) exponent += *q++;
      number += exponent;
    }
  }
  double v = std::strtod(number.c_str(), nullptr);
  if (!std::isfinite(v)) v = v < 0 ? -DBL_MAX : DBL_MAX;
  return v;
}

}  // namespace

ParseResult parse_command_line(int argc, char** argv, PrintFn print, CommandLine* cmd,
                               EncodeOptions* options) {
  *cmd = CommandLine{};
  *options = EncodeOptions{};
  options->block_threshold = 256.0;
  if (argc < 2) return kParseUsage;
  options->filter = -1;
  options->colour_type = -1;
  cmd->colour_type = -1;
  cmd->filter = -1;
  cmd->bit_depth = -1;

  // A batch takes any number of names, wherever "-i" stands among them.
  for (int i = 1; i < argc; ++i)
    if (equals_ignoring_case(argv[i], "-i")) cmd->batch = true;

  int names = 0;
  int32_t number = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || std::strcmp(arg, "-") == 0) {
      const bool dash = arg[0] == '-';
      if (cmd->batch) {
        if (dash) return kParseBatchStdio;
        if (names == 0) cmd->input_arg = arg;
        cmd->batch_names.push_back(arg);
      } else if (names == 0) {
        cmd->input_arg = arg;
        cmd->input_stdin = dash;
      } else if (names == 1) {
        cmd->output_arg = arg;
        cmd->output_stdout = dash;
      } else {
        return kParseTooManyNames;
      }
      ++names;
      continue;
    }
    const char letter = char(std::tolower(static_cast<unsigned char>(arg[1])));
    const char* rest = arg + 2;
    if (letter == '?') {
      return kParseUsage;
    } else if (equals_ignoring_case(arg, "-h") || equals_ignoring_case(arg, "--help")) {
      return kParseHelp;
    } else if (equals_ignoring_case(arg, "--version")) {
      return kParseVersion;
    } else if (equals_ignoring_case(arg, "-i")) {
      // Seen before the loop.
    } else if (equals_ignoring_case(arg, "-p")) {
      cmd->preserve_times = true;
    } else if (equals_ignoring_case(arg, "-t")) {
      cmd->pretend = true;
    } else if (letter == 'c') {
      int32_t v = 0;
      if (!read_plain_digits(rest, &v) || !(v == 0 || v == 2 || v == 3 || v == 4 || v == 6))
        return kParseBadColourType;
      cmd->colour_type = v;
      options->colour_type = v;
    } else if (equals_ignoring_case(arg, "-force")) {
      cmd->force = true;
    } else if (letter == 'f') {
      int32_t v = 0;
      if (!read_plain_digits(rest, &v) || v > 5) return kParseBadFilter;
      cmd->filter = v;
      options->filter = v;
    } else if (letter == 'b') {
      cmd->block_option = true;
      options->exact_block_count = 0;
      const double threshold = read_decimal(rest);
      if (threshold < 0) {
        options->strategy = 3;
        options->block_threshold = -threshold;
      } else {
        options->block_threshold = threshold;
      }
    } else if (letter == 'n') {
      cmd->block_option = true;
      options->exact_block_count = read_integer(rest);
    } else if (letter == 'r') {
      options->randomize = 1;
    } else if (letter == 's') {
      cmd->strategy_option = true;
      const int32_t v = read_integer(rest);
      options->strategy = v <= 0 ? 0 : v > 3 ? 4 : v;
    } else if (letter == 'd') {
      const int32_t v = read_integer(rest);
      cmd->bit_depth = (v == 0 || v == 1 || v == 2 || v == 4 || v == 8) ? v : -1;
    } else if (letter == 'k' && (rest[0] == 'p' || rest[0] == 'P') && rest[1] == '\0') {
      options->keep_palette = 1;
    } else if (letter == 'k') {
      if (rest[0] != '\0') cmd->chunk_list = rest;
    } else if (letter == 'v') {
      options->verbose = 1;
    } else if (letter == 'q') {
      cmd->quiet = true;
    } else if (letter == 'y' && rest[0] == '\0') {
      cmd->assume_yes = true;
    } else if (letter == 'o' && read_plain_digits(rest, &number)) {
      // A bare "-o" is the thorough level; anything above the top level is the top level.
      cmd->search_level = rest[0] == '\0' ? 2 : number > 3 ? 3 : number;
    } else if (letter == 'j' && read_plain_digits(rest, &number)) {
      cmd->threads = number > kMaxThreads ? kMaxThreads : number;
    } else if (letter == 'u' && rest[0] == '\0') {
      cmd->smooth_chroma = true;
    } else if (letter == 'a' && rest[0] == '\0') {
      cmd->alpha_free = true;
    } else if (letter == 'l') {
      int32_t v = 0;
      if (!read_plain_digits(rest, &v) || v < 1) return kParseBadMemoryLimit;
      cmd->memory_limit = v;
    } else if (equals_ignoring_case(arg, "-ZL121")) {
      options->zl121_mode = 1;
    } else {
      print("Warning: unrecognized option: %s\n", arg);
    }
  }
  if (names == 0) return kParseNoInput;
  return kParseOk;
}

void print_usage(PrintFn print) {
  print("TESSEL [In:{PNG,JPG,GIF,TGA,PCX,BMP}] (Out:PNG) (options...)        %s\n", TESSEL_BUILD_DATE);
  print("TESSEL optimizes PNG size losslessly using my own deflate algorithm (not Zlib)\n");
  print("With the right options, it can often beat other programs by 5-10%%. Options:\n");
  print("   -c# PNG output color type: 0=Gray, 2=RGB, 3=Pal, 4=Gray+Alpha, 6=RGB+Alpha\n");
  print("   -f# PNG output filter type: 0=none, 1=\x7Fx, 2=\x7Fy, 3=\x7Fx&y, 4=Paeth, 5=mixed\n");
  print("   -d# Override default bitdepth: 0(min),1,2,4,8 (valid only in /c0,/c3 modes)\n");
  print("   -s# Select strategy. 0:Xtreme(default), 1:Intense, 2:Longest Match,\n");
  print("       3:Huffman Only, 4:Uncompressed\n");
  print("   -b# Block split threshold (lower=more blocks, 0=1 block/file, default=256)\n");
  print("       Use trial&error! Suggested values to try are: 0,128,192,256,512,1024,..\n");
  print("   -n# Exact number of Huffman blocks (overrides /b#)\n");
  print("   -r  Randomized initial tables (good for many trials with same options)\n");
  print("   -k? 0=Remove optional chunks (default), 1=Keep all, p=Keep palette indices\n");
  print("   -k(Chunk,Chunk,..) Preserve only named chunk(s). Example: -kgAMA,bKGD,tEXt\n");
  print("   -v,q Verbose,Quiet mode (use bare '-' as file to specify stdin/stdout)\n");
  print("   -y  Assume Yes at the 'overwrite file?' prompt\n");
  print("   -force  Write file even if bigger.\n");
  print("   -l# Memory limit in MiB (default: half the physical memory)\n");
  print("   -o# Search for the smallest PNG: 0=off(default), 1=quick, 2=thorough (-o), 3=exhaustive\n");
  print("   -j# Worker threads for the search and the passes (default: one per hardware thread)\n");
  print("   -a  Allow any color in fully transparent pixels\n");
  print("   -i  In place: every name is an input, folders walked for PNG files\n");
  print("   -p  Keep the input's access and modification times on the written file\n");
  print("   -t  Pretend: compute and report everything, write nothing\n");
  print("   -u  Smooth chroma upsampling of JPEG (interpolated, not repeated)\n");
  print("   -h  This text (also --help); --version prints the version\n");
  print("The 1st filename is the input. If you omit the output\n");
  print("filename, TESSEL will use the same filename with a .PNG extension. Examples:\n");
  print("   $ tessel inlarge.bmp outsmall.png           <- writes outsmall.png\n");
  print("   $ tessel zorbex.png -c2 -f3 -b128 -kbKGD -v <- writes zorbex.png if smaller\n");
}

void print_version(PrintFn print) { print("tessel %s\n", TESSEL_VERSION); }

void print_parse_error(ParseResult result, PrintFn print) {
  switch (result) {
    case kParseBadColourType:
      print("Invalid coltype\n");
      break;
    case kParseBadFilter:
      print("Invalid filter\n");
      break;
    case kParseBadMemoryLimit:
      print("Invalid memory limit\n");
      break;
    case kParseTooManyNames:
      print("Too many filenames specified on cmdline\n");
      break;
    case kParseNoInput:
      print("Must specify a source or target image\n");
      break;
    case kParseBatchStdio:
      print("-i rewrites files in place: standard input and output ('-') cannot be used\n");
      break;
    case kParseOk:
    case kParseHelp:
    case kParseVersion:
      return;
    default:
      break;
  }
  print_usage(print);
}

const char* colour_type_name(int32_t colour_type) {
  switch (colour_type) {
    case 0:
      return "Gray";
    case 2:
      return "RGB";
    case 3:
      return "Pal";
    case 4:
      return "Gray+Alpha";
    case 6:
      return "RGB+Alpha";
    default:
      return "";
  }
}

const char* filter_name(int32_t filter) {
  static const char* const kNames[6] = {"none", "\x7Fx", "\x7Fy", "\x7Fx&y", "Paeth", "mixed"};
  return filter >= 0 && filter <= 5 ? kNames[filter] : "";
}

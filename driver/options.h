#pragma once
#include <cstdint>
#include <vector>

#include "deflate/callbacks.h"
#include "encode/encode_options.h"

// What the command line says beyond the EncodeOptions fields it sets
// directly.
struct CommandLine {
  const char* input_arg;   // nullptr = none; "-" = standard input
  const char* output_arg;  // nullptr = none; "-" = standard output
  const char* chunk_list;  // text after "-k" of the last chunk-list argument, nullptr = none
  int32_t colour_type;     // "-c" value, -1 = not given
  int32_t filter;          // "-f" value, -1 = not given
  int32_t bit_depth;       // "-d" value, -1 = not given or not one of 0, 1, 2, 4, 8
  int32_t memory_limit;    // "-l" value in MiB, 0 = not given
  bool input_stdin;
  bool output_stdout;
  bool force;
  bool assume_yes;
  bool quiet;
  bool block_option;     // "-b" or "-n" given
  bool strategy_option;  // "-s" given
  int32_t search_level;  // "-o" value: 0 = the single default run, 1..3 = search
  int32_t threads;      // "-j" value: search workers, or with "-i" files at once; 0 = one per hardware thread
  bool alpha_free;      // "-a": fully transparent pixels may change colour
  bool batch;           // "-i": every name is an input, handled in place
  bool preserve_times;  // "-p": the written file gets the input's access and modification times
  bool pretend;         // "-t": everything is computed and reported, nothing is written
  bool smooth_chroma;   // "-u": subsampled JPEG chroma interpolated, not repeated
  // Never from the command line: the batch sets it for a PNG found by its
  // content, which is rewritten under its own name whatever its extension.
  bool in_place;
  // With "-i", every name in the order given; input_arg is then the first.
  std::vector<const char*> batch_names;
};

// More search workers than this only cost memory.
constexpr int32_t kMaxThreads = 256;

enum ParseResult {
  kParseOk = 0,
  kParseUsage,  // no argument, or "-?"
  kParseBadColourType,
  kParseBadFilter,
  kParseTooManyNames,
  kParseNoInput,
  kParseHelp,            // "-h" or "--help": the usage text on standard output, status 0
  kParseVersion,         // "--version": one line on standard output, status 0
  kParseBatchStdio,      // "-" among the names of a batch
  kParseBadMemoryLimit,  // "-l" without a whole number of MiB above 0
};

// Clears options and the command line, sets the defaults and reads the
// arguments left to right. Warnings for unrecognised options go through
// print as they are met. On any result but kParseOk the caller prints the
// message for it (print_parse_error) and stops with status 1.
ParseResult parse_command_line(int argc, char** argv, PrintFn print, CommandLine* cmd,
                               EncodeOptions* options);

// The message of a failed parse followed by the usage text (nothing for
// kParseHelp and kParseVersion, which are no failures).
void print_parse_error(ParseResult result, PrintFn print);

void print_usage(PrintFn print);

// "tessel" and the version, one line.
void print_version(PrintFn print);

// Display names, "" for numbers that have none.
const char* colour_type_name(int32_t colour_type);
const char* filter_name(int32_t filter);

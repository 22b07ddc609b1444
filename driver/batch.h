#pragma once
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/options.h"
#include "encode/encode_options.h"

// "-i": many files and folders in one run, each file handled as "-y NAME"
// would handle it, in worker processes, reported in the order given.

enum FileOutcome : int32_t {
  kFileFailed = 0,  // unreadable, unsupported, damaged, refused by the encoder, a failed write
  kFileRewritten,   // the smaller PNG was written (with "-t": would have been)
  kFileKept,        // left as it was: nothing smaller was found, or an animated PNG
  kFileStopped,     // Escape came first: left as it was
};

// What one file's conversion tells the batch besides its messages.
struct FileReport {
  int32_t outcome;       // FileOutcome; stays kFileFailed unless the run says otherwise
  int32_t animated;      // 1: an animated PNG, kept since its frames would be lost
  int64_t bytes_before;  // the input's size, 0 until it was read
  int64_t bytes_after;   // the new PNG's size (kFileRewritten only)
  // Nonzero once the batch is stopping: the file is then not written.
  const volatile sig_atomic_t* stop;
};

// One file from its input to its output, as the one-file command line runs it.
using ConvertFn = int (*)(const CommandLine& cmd, EncodeOptions options, FileReport* report);

// The batch's list of work, in the order it is reported.
struct BatchEntry {
  std::string name;     // as named, or found under a named folder
  std::string output;   // the file the PNG goes into
  bool in_place;        // PNG content: rewritten under its own name whatever its extension
  std::string failure;  // already known to fail (not found, unreadable folder): why
  int32_t after;        // an earlier entry touching the same file, which must end first; -1 = none
};

// The files the names lead to, each once: named files of any kind, and the
// PNG files (by content) of named folders, walked depth first in byte order
// of their names without following symbolic links to folders.
std::vector<BatchEntry> list_batch_files(const std::vector<const char*>& names);

// Messages as a terminal would leave them: text after a carriage return
// overwrites the line, trailing blanks go.
std::string settle_carriage_returns(const std::string& raw);

// Runs the whole batch; returns the exit status: 0 when every file was
// rewritten or kept, 1 when any failed or Escape stopped the batch.
int run_batch(const CommandLine& cmd, const EncodeOptions& options, ConvertFn convert);

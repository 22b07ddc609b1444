// Memory admission across batch workers: files whose runs would together
// need more than the memory limit never run at the same time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/batch.h"
#include "driver/memory_limit.h"
#include "driver/options.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/print_capture.h"

namespace {

namespace fs = std::filesystem;

// A TGA header claiming side x side pixels of 24 bits, with one pixel.
std::vector<uint8_t> tga_header(uint32_t side) {
  std::vector<uint8_t> b(21, 0);
  b[2] = 2;
  b[12] = uint8_t(side), b[13] = uint8_t(side >> 8);
  b[14] = uint8_t(side), b[15] = uint8_t(side >> 8);
  b[16] = 24;
  return b;
}

// Stands in for a file's run in a worker: leaves a mark in the file's folder
// while it runs and waits up to two seconds for another worker's mark; a
// worker that saw one leaves "met.NAME" behind. It keeps its own mark a
// little longer, so the one it saw sees it too.
int marking_convert(const CommandLine& cmd, EncodeOptions, FileReport* report) {
  const fs::path input = cmd.input_arg;
  const fs::path folder = input.parent_path();
  const fs::path mark = folder / ("running." + input.filename().string());
  auto others_running = [&] {
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().filename().string().starts_with("running.") && e.path() != mark) return true;
    return false;
  };
  close(open(mark.c_str(), O_CREAT | O_WRONLY, 0644));
  bool met = false;
  for (int i = 0; i < 200 && !met; ++i) {
    met = others_running();
    if (!met) usleep(10000);
  }
  usleep(200000);
  fs::remove(mark);
  if (met) close(open((folder / ("met." + input.filename().string())).c_str(), O_CREAT | O_WRONLY, 0644));
  report->outcome = kFileKept;
  report->bytes_before = int64_t(fs::file_size(input));
  return 0;
}

int meetings_in(const fs::path& folder) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().starts_with("met.")) ++n;
  return n;
}

int run_three(const TempFolder& dir, uint32_t side, int32_t limit_mib) {
  std::vector<std::string> names;
  for (const char* n : {"a.tga", "b.tga", "c.tga"}) {
    names.push_back(dir.file(n));
    EXPECT_TRUE(write_file(names.back(), tga_header(side)));
  }
  CommandLine cmd{};
  cmd.colour_type = cmd.filter = cmd.bit_depth = -1;
  cmd.batch = true;
  cmd.quiet = true;
  cmd.threads = 3;
  cmd.memory_limit = limit_mib;
  for (const std::string& n : names) cmd.batch_names.push_back(n.c_str());
  cmd.input_arg = cmd.batch_names[0];
  EncodeOptions options{};
  return run_batch(cmd, options, marking_convert);
}

// Three files of which any two need more than a 100 MiB limit: with three
// workers they still run one at a time, and every one of them runs.
TEST(BatchAdmission, RunsThatDoNotFitTogetherWaitTheirTurn) {
  const uint32_t side = 1600;  // 12 bytes per pixel: 29 MiB, plus the fixed 32
  const int64_t need = run_memory_bytes(side, side, 21);
  ASSERT_LE(need, 100LL << 20);
  ASSERT_GT(2 * need, 100LL << 20);
  TempFolder dir;
  EXPECT_EQ(run_three(dir, side, 100), 0);
  EXPECT_EQ(meetings_in(dir.path()), 0);
}

// Under a limit that holds them all, the same files run side by side; so do
// files each over the limit by itself, since their own runs refuse them
// before allocating anything.
TEST(BatchAdmission, RunsThatFitOrAreRefusedGoTogether) {
  TempFolder roomy;
  EXPECT_EQ(run_three(roomy, 1600, 4000), 0);
  EXPECT_GE(meetings_in(roomy.path()), 2);
  TempFolder over;
  EXPECT_EQ(run_three(over, 6000, 100), 0);
  EXPECT_GE(meetings_in(over.path()), 2);
}

}  // namespace

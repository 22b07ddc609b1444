// The search options through the real binary: "-o" writes a smaller file of
// the same picture and lists its candidates under -v, "-o0" is the default
// run byte for byte, the worker count never changes the bytes, and "-a" lets
// only fully transparent pixels change colour.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

// RGBA, stored: a few opaque colours in tiles, and clear tiles whose colour
// bytes are noise.
Bytes rgba_tiles() {
  Bytes rows;
  uint32_t state = 3;
  for (int y = 0; y < 24; ++y) {
    rows.push_back(0);
    for (int x = 0; x < 24; ++x) {
      state = state * 1664525u + 1013904223u;
      const bool clear = (x / 6 + y / 6) % 2 == 0;
      rows.insert(rows.end(), {uint8_t(clear ? state >> 24 : 40 + x % 3), uint8_t(clear ? state >> 16 : 90),
                               uint8_t(clear ? state >> 8 : 200), uint8_t(clear ? 0 : 255)});
    }
  }
  return png_file({ihdr_chunk(24, 24, 8, 6), idat_chunk(rows, 0), png_chunk("IEND", {})});
}

TEST(SearchTool, SmallerSamePictureCandidatesListed) {
  TempFolder dir;
  const Bytes input = rgb_png(32, 32, 0);
  write_file(dir.file("in.png"), input);
  const CommandResult r = run_tool(dir, {"in.png", "out.png", "-o1", "-v", "-j1"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  const Bytes out = read_file(dir.file("out.png"));
  EXPECT_LT(out.size(), input.size());
  EXPECT_TRUE(same_png_pixels(out, input));
  EXPECT_NE(r.out.find("Output: out.png search level:1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Candidate c"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Search: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(std::to_string(out.size()) + " bytes"), std::string::npos) << r.out;
}

TEST(SearchTool, LevelZeroIsTheDefaultRunAndWorkersNeverChangeBytes) {
  TempFolder dir;
  write_file(dir.file("in.png"), rgba_tiles());
  ASSERT_EQ(run_tool(dir, {"in.png", "plain.png", "-q"}).status, 0);
  const CommandResult zero = run_tool(dir, {"in.png", "zero.png", "-o0"});
  ASSERT_EQ(zero.status, 0);
  EXPECT_EQ(read_file(dir.file("plain.png")), read_file(dir.file("zero.png")));
  EXPECT_EQ(zero.out.find("search"), std::string::npos);
  ASSERT_EQ(run_tool(dir, {"in.png", "one.png", "-o2", "-j1", "-q"}).status, 0);
  ASSERT_EQ(run_tool(dir, {"in.png", "four.png", "-O2", "-J4", "-q"}).status, 0);
  EXPECT_EQ(read_file(dir.file("one.png")), read_file(dir.file("four.png")));
  EXPECT_TRUE(same_png_pixels(read_file(dir.file("one.png")), rgba_tiles()));
}

TEST(SearchTool, AlphaFreeChangesOnlyClearPixels) {
  TempFolder dir;
  const Bytes input = rgba_tiles();
  write_file(dir.file("in.png"), input);
  ASSERT_EQ(run_tool(dir, {"in.png", "kept.png", "-o1", "-q"}).status, 0);
  ASSERT_EQ(run_tool(dir, {"in.png", "free.png", "-o1", "-a", "-q"}).status, 0);
  const Bytes kept = read_file(dir.file("kept.png"));
  const Bytes freed = read_file(dir.file("free.png"));
  EXPECT_TRUE(same_png_pixels(kept, input));
  EXPECT_LT(freed.size(), kept.size());
  OraclePicture a, b;
  ASSERT_TRUE(libpng_decode(input, &a));
  ASSERT_TRUE(libpng_decode(freed, &b));
  ASSERT_EQ(a.pixels.size(), b.pixels.size());
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    if ((a.pixels[i] >> 24) == 0)
      EXPECT_EQ(b.pixels[i] >> 24, 0u) << i;
    else
      EXPECT_EQ(a.pixels[i], b.pixels[i]) << i;
  }
}

// What the tool writes to a terminal (standard input, output and error all
// the far end of a pseudo-terminal), read until it closes it, and how it ended.
CommandResult run_on_terminal(const TempFolder& dir, const std::vector<std::string>& args) {
  CommandResult r;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return r;
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    std::vector<char*> argv = {const_cast<char*>(TESSEL_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TESSEL_BINARY, argv.data());
    _exit(127);
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      r.out.append(buffer, size_t(n));
      continue;
    }
    // EIO: the child closed its end.
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(master);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// On a terminal the search shows its stage and the candidates done of the
// stage's total on one line it rewrites; -q leaves the terminal silent, and
// neither changes the bytes.
TEST(SearchTool, TerminalShowsProgressUnlessQuiet) {
  TempFolder dir;
  const Bytes input = rgba_tiles();
  write_file(dir.file("in.png"), input);
  const CommandResult shown = run_on_terminal(dir, {"in.png", "shown.png", "-o2", "-j1", "-y"});
  ASSERT_EQ(shown.status, 0) << shown.out;
  for (const char* stage : {"\rSearch: screening 0/", "\rSearch: finishing 0/1"})
    EXPECT_NE(shown.out.find(stage), std::string::npos) << stage << " in " << shown.out;
  // Each stage counts up to its own total, never past it.
  int lines = 0;
  for (size_t at = shown.out.find("\rSearch: "); at != std::string::npos; at = shown.out.find("\rSearch: ", at + 1)) {
    int done = -1, total = -1;
    const std::string line = shown.out.substr(at + 1, shown.out.find('\r', at + 1) - at - 1);
    const size_t slash = line.rfind('/');
    if (slash == std::string::npos || line.find("candidates screened") != std::string::npos) continue;
    ASSERT_EQ(std::sscanf(line.c_str() + line.rfind(' ', slash) + 1, "%d/%d", &done, &total), 2) << line;
    EXPECT_GE(done, 0) << line;
    EXPECT_LT(done, total) << line;
    ++lines;
  }
  EXPECT_GE(lines, 3) << shown.out;
  const CommandResult quiet = run_on_terminal(dir, {"in.png", "quiet.png", "-o2", "-j1", "-y", "-q"});
  ASSERT_EQ(quiet.status, 0) << quiet.out;
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(read_file(dir.file("shown.png")), read_file(dir.file("quiet.png")));
  EXPECT_TRUE(same_png_pixels(read_file(dir.file("quiet.png")), input));
}

// RGBA with detail in every channel: too many colours for a palette, so
// every candidate keeps a full-size filtered stream.
Bytes detailed_rgba(uint32_t side) {
  Bytes rows;
  uint32_t state = 9;
  for (uint32_t y = 0; y < side; ++y) {
    rows.push_back(0);
    for (uint32_t x = 0; x < side; ++x) {
      state = state * 1664525u + 1013904223u;
      rows.insert(rows.end(), {uint8_t(x + y), uint8_t(x * 3 + (state >> 30)), uint8_t(y * 5), uint8_t(255 - (x ^ y))});
    }
  }
  return png_file({ihdr_chunk(side, side, 8, 6), idat_chunk(rows, 0), png_chunk("IEND", {})});
}

int64_t children_peak_bytes() {
  rusage usage{};
  EXPECT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  return int64_t(usage.ru_maxrss) * 1024;
}

// The search with N workers stays within N + 2 times the default run's
// peak memory. The peak over the children is a running maximum, so each
// search run is measured against the default run before it.
TEST(SearchTool, WorkersStayWithinTheirMemoryShare) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitized binary's memory is not the program's";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "a sanitized binary's memory is not the program's";
#endif
#endif
  TempFolder dir;
  const Bytes input = detailed_rgba(640);
  write_file(dir.file("in.png"), input);
  ASSERT_EQ(run_tool(dir, {"in.png", "plain.png", "-q", "-force"}).status, 0);
  const int64_t plain = children_peak_bytes();
  for (const char* workers : {"-j1", "-j2"}) {
    const CommandResult r = run_tool(dir, {"in.png", "found.png", "-q", "-y", "-force", "-o1", workers});
    ASSERT_EQ(r.status, 0) << r.err;
    const int64_t n = workers[2] - '0';
    EXPECT_LE(children_peak_bytes(), (n + 2) * plain) << workers << ": default run " << plain;
    EXPECT_TRUE(same_png_pixels(read_file(dir.file("found.png")), input));
  }
}

}  // namespace

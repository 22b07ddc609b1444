#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"
#include "tests/support/terminal_runner.h"

namespace {

namespace fs = std::filesystem;
using namespace testpic;

// The loop of a script that feeds names to the program through its own
// standard input: the program must leave every line of it to the loop.
TEST(ConsoleConduct, ShellLoopKeepsItsStandardInput) {
  TempFolder dir;
  std::string list;
  for (int i = 1; i <= 5; ++i) {
    write_file(dir.file("p" + std::to_string(i) + ".cel"), smooth_cel(uint16_t(40 + i), 30));
    list += "p" + std::to_string(i) + "\n";
  }
  write_file(dir.file("list"), Bytes(list.begin(), list.end()));
  const std::string loop = "while read f; do " + std::string(TESSEL_BINARY) +
                           " -q -y \"$f.cel\" \"out_$f.png\" || echo \"failed $f\"; done < list";
  const CommandResult r = run_command("/bin/sh", {"-c", loop}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  for (int i = 1; i <= 5; ++i) {
    OraclePicture picture;
    EXPECT_TRUE(libpng_decode(read_file(dir.file("out_p" + std::to_string(i) + ".png")), &picture)) << i;
    EXPECT_EQ(picture.width, 40 + i);
  }
}

// A noisy cel picture: its passes take long enough to be interrupted.
Bytes slow_cel() {
  Bytes palette(768), indices(size_t(900) * 900);
  for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i * 37 % 64);
  uint32_t state = 1;
  for (uint8_t& v : indices) v = uint8_t((state = state * 1103515245u + 12345u) >> 24);
  return cel_file(900, 900, palette, indices);
}

std::vector<std::string> files_in(const TempFolder& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ConsoleConduct, LoneEscapeStopsTheSearch) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), smooth_cel(64, 48));
  const TerminalRun r = run_in_terminal(dir, {"pic.cel", "out.png"}, "\x1b");
  EXPECT_EQ(r.status, 0) << r.screen;
  EXPECT_NE(r.screen.find("Early ESC!"), std::string::npos) << r.screen;
  EXPECT_EQ(r.unread, 0);
  EXPECT_EQ(r.lflag_after, r.lflag_before);
}

TEST(ConsoleConduct, ArrowAndFunctionKeysDoNotStop) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), smooth_cel(64, 48));
  const TerminalRun r = run_in_terminal(dir, {"pic.cel", "out.png"}, "\x1b[A\x1bOP\x1b[15~");
  EXPECT_EQ(r.status, 0) << r.screen;
  EXPECT_EQ(r.screen.find("Early ESC!"), std::string::npos) << r.screen;
  EXPECT_EQ(r.unread, 0);  // nothing of the sequences is left for the shell
  EXPECT_EQ(r.lflag_after, r.lflag_before);
  OraclePicture picture;
  EXPECT_TRUE(libpng_decode(read_file(dir.file("out.png")), &picture));
}

// Ctrl-C during the search (after the first pass, so key mode is on): killed by the interrupt (a shell reports 130),
// the terminal back in its mode, the old target untouched, no temporary file.
TEST(ConsoleConduct, InterruptEndsTheRunAndLeavesTheTarget) {
  TempFolder dir;
  const Bytes old = {'o', 'l', 'd'};
  write_file(dir.file("pic.cel"), slow_cel());
  write_file(dir.file("out.png"), old);
  const TerminalRun r = run_in_terminal(dir, {"-y", "pic.cel", "out.png"}, "", "Output size:", "\x03");
  EXPECT_EQ(r.status, 130) << r.screen;
  EXPECT_EQ(r.lflag_after, r.lflag_before);
  EXPECT_EQ(read_file(dir.file("out.png")), old);
  EXPECT_EQ(files_in(dir), (std::vector<std::string>{"out.png", "pic.cel"}));
}

// Ctrl-Z under a job-control "shell" (a session leader that runs the tool as
// a foreground job): the tool stops with the terminal in its own mode, and
// after the shell continues it, key mode is back, so a lone Escape typed then
// is read at once and ends the search.
TEST(ConsoleConduct, SuspendAndContinueKeepKeyMode) {
  TempFolder dir;
  write_file(dir.file("pic.cel"), slow_cel());
  int master = -1, slave = -1, report[2];
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(pipe(report), 0);
  termios mode;
  tcgetattr(slave, &mode);
  const tcflag_t own_mode = mode.c_lflag & (ICANON | ECHO);
  const pid_t shell = fork();
  if (shell == 0) {
    close(master);
    close(report[0]);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    const pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      if (chdir(dir.path().c_str()) != 0) _exit(126);
      execl(TESSEL_BINARY, TESSEL_BINARY, "pic.cel", "out.png", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(job, job);
    tcsetpgrp(slave, job);
    int status = 0;
    waitpid(job, &status, WUNTRACED);
    termios stopped;
    tcgetattr(slave, &stopped);
    const int facts[2] = {WIFSTOPPED(status) ? 1 : 0, int(stopped.c_lflag & (ICANON | ECHO))};
    if (write(report[1], facts, sizeof facts) != sizeof facts) _exit(1);
    kill(-job, SIGCONT);
    waitpid(job, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  close(report[1]);
  std::string screen;
  auto pump = [&](int ms) {
    pollfd fd = {master, POLLIN, 0};
    while (poll(&fd, 1, ms) == 1) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      screen.append(buffer, size_t(n));
      ms = 0;
    }
  };
  for (int i = 0; i < 3000 && screen.find("Output size:") == std::string::npos; ++i) pump(10);
  ASSERT_EQ(write(master, "\x1a", 1), 1);
  int facts[2] = {0, 0};
  ASSERT_EQ(read(report[0], facts, sizeof facts), ssize_t(sizeof facts));
  EXPECT_EQ(facts[0], 1) << screen;
  EXPECT_EQ(tcflag_t(facts[1]), own_mode);
  pump(300);
  ASSERT_EQ(write(master, "\x1b", 1), 1);
  int status = 0;
  for (int i = 0; i < 30000 && waitpid(shell, &status, WNOHANG) == 0; ++i) pump(10);
  pump(0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
  EXPECT_NE(screen.find("Early ESC!"), std::string::npos) << screen;
  tcgetattr(slave, &mode);
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), own_mode);
  close(report[0]);
  close(master);
  close(slave);
}

// At the overwrite prompt Ctrl-C ends the run the same way.
TEST(ConsoleConduct, InterruptAtThePrompt) {
  TempFolder dir;
  const Bytes old = {'o', 'l', 'd'};
  write_file(dir.file("pic.cel"), smooth_cel(20, 20));
  write_file(dir.file("out.png"), old);
  const TerminalRun r = run_in_terminal(dir, {"pic.cel", "out.png"}, "", "Overwrite? (y/n) ", "\x1b[A\x03");
  EXPECT_EQ(r.status, 130) << r.screen;
  EXPECT_EQ(r.lflag_after, r.lflag_before);
  EXPECT_EQ(read_file(dir.file("out.png")), old);
}

}  // namespace

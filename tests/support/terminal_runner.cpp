#include "tests/support/terminal_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/command_runner.h"

TerminalRun run_in_terminal(const TempFolder& dir, const std::vector<std::string>& args,
                            const std::string& typed_ahead, const std::string& cue, const std::string& then) {
  TerminalRun run;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return run;
  termios mode;
  tcgetattr(slave, &mode);
  run.lflag_before = mode.c_lflag;
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    close(master);
    close(slave);
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    std::vector<char*> argv = {const_cast<char*>(TESSEL_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TESSEL_BINARY, argv.data());
    _exit(127);
  }
  if (!typed_ahead.empty()) {
    EXPECT_EQ(write(master, typed_ahead.data(), typed_ahead.size()), ssize_t(typed_ahead.size()));
  }
  bool cue_seen = cue.empty();
  int wait_status = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  for (;;) {
    pollfd fd = {master, POLLIN, 0};
    if (poll(&fd, 1, 20) == 1) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) run.screen.append(buffer, size_t(n));
    }
    if (!cue_seen && run.screen.find(cue) != std::string::npos) {
      cue_seen = true;
      EXPECT_EQ(write(master, then.data(), then.size()), ssize_t(then.size()));
    }
    if (waitpid(pid, &wait_status, WNOHANG) == pid) break;
    if (std::chrono::steady_clock::now() > give_up) {
      kill(pid, SIGKILL);
      waitpid(pid, &wait_status, 0);
      ADD_FAILURE() << "no end: " << run.screen;
      break;
    }
  }
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  tcgetattr(slave, &mode);
  run.lflag_after = mode.c_lflag;
  ioctl(slave, FIONREAD, &run.unread);
  close(master);
  close(slave);
  return run;
}

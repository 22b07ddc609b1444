#include "tests/support/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

CommandResult run_command(const std::string& program, const std::vector<std::string>& args,
                          const std::string& folder, const std::string& input, bool keep_input_open) {
  CommandResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    return result;
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (chdir(folder.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  // The child may exit without reading all its input.
  signal(SIGPIPE, SIG_IGN);

  size_t written = 0;
  int in_fd = in_pipe[1];
  int held_open = -1;
  if (input.empty()) {
    if (keep_input_open)
      held_open = in_fd;
    else
      close(in_fd);
    in_fd = -1;
  }
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  char buffer[65536];
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int count = 0;
    if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[count++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
    if (poll(fds, nfds_t(count), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        const ssize_t n = write(in_fd, input.data() + written, input.size() - written);
        if (n > 0) written += size_t(n);
        if (n < 0 || written == input.size()) {
          if (keep_input_open)
            held_open = in_fd;
          else
            close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (fds[i].fd == out_fd ? result.out : result.err).append(buffer, size_t(n));
      } else {
        close(fds[i].fd);
        (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (in_fd >= 0) close(in_fd);
  if (held_open >= 0) close(held_open);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

CommandResult run_tool(const TempFolder& folder, const std::vector<std::string>& args,
                       const std::string& input) {
  return run_command(TESSEL_BINARY, args, folder.path(), input);
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

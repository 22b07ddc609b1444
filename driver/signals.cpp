#include "driver/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// Read by the handlers, so plain lock-free atomics of pointers.
std::atomic<const termios*> saved_terminal{nullptr};
std::atomic<const termios*> key_terminal{nullptr};
std::atomic<const char*> temporary_path{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);

void restore_terminal() {
  const termios* saved = saved_terminal.load();
  if (saved != nullptr) tcsetattr(0, TCSANOW, saved);
}

void set_handler(int sig, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Key reads and file writes already retry after an interruption.
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

void unblock(int sig) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Only async-signal-safe calls from here on.
void on_ending_signal(int sig) {
  restore_terminal();
  const char* temp = temporary_path.exchange(nullptr);
  if (temp != nullptr) unlink(temp);
  set_handler(sig, SIG_DFL);
  unblock(sig);
  raise(sig);
}

void on_stop(int) {
  const int saved_errno = errno;
  restore_terminal();
  set_handler(SIGTSTP, SIG_DFL);
  unblock(SIGTSTP);
  raise(SIGTSTP);
  // Continued: on_continue has put key mode back where it may.
  set_handler(SIGTSTP, on_stop);
  errno = saved_errno;
}

void on_continue(int) {
  const int saved_errno = errno;
  const termios* key = key_terminal.load();
  // In the background a change of terminal mode would stop the process
  // again; the next key poll in the foreground applies it instead.
  const pid_t group = tcgetpgrp(0);
  if (key != nullptr && (group < 0 || group == getpgrp())) tcsetattr(0, TCSANOW, key);
  errno = saved_errno;
}

}  // namespace

void signals_install() {
  for (int sig : kEndingSignals) {
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    struct sigaction old = {};
    sigaction(sig, nullptr, &old);
    if (old.sa_handler != SIG_IGN) set_handler(sig, on_ending_signal);
  }
  struct sigaction old = {};
  sigaction(SIGTSTP, nullptr, &old);
  if (old.sa_handler != SIG_IGN) set_handler(SIGTSTP, on_stop);
  set_handler(SIGCONT, on_continue);
}

void signals_key_mode(const termios* saved, const termios* key_mode) {
  saved_terminal.store(saved);
  key_terminal.store(key_mode);
}

void signals_temporary_file(const char* path) { temporary_path.store(path); }

void signals_hold() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void signals_release() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

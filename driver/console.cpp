#include "driver/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace {

FILE* message_stream = stderr;
termios saved_terminal;
termios key_terminal;
bool terminal_ready = false;
// Attributes could be read, so standard input is a terminal whose modes we
// own; otherwise reads work on whatever standard input is.
bool terminal_valid = false;
bool exit_hook_registered = false;
int pending_key = -1;

void ensure_terminal() {
  if (!terminal_ready) terminal_init();
}

// Reads one byte from descriptor 0, retrying after signals. 1 = got it,
// 0 = end of input, -1 = error.
int read_byte(unsigned char* byte) {
  for (;;) {
    const ssize_t n = read(0, byte, 1);
    if (n == 1) return 1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int console_print(const char* format, ...) {
  if (message_stream == nullptr) return 0;
  va_list args;
  va_start(args, format);
  const int result = vfprintf(message_stream, format, args);
  va_end(args);
  // Progress lines end in "\r" and must show while the encoder works.
  fflush(message_stream);
  return result;
}

void console_set_stream(FILE* stream) { message_stream = stream; }
FILE* console_stream() { return message_stream; }

void terminal_init() {
  terminal_ready = true;
  if (tcgetattr(0, &saved_terminal) != 0) return;
  terminal_valid = true;
  key_terminal = saved_terminal;
  key_terminal.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO);
  key_terminal.c_cc[VMIN] = 1;
  key_terminal.c_cc[VTIME] = 0;
  tcsetattr(0, TCSANOW, &key_terminal);
  if (!exit_hook_registered) {
    exit_hook_registered = true;
    atexit(terminal_restore);
  }
}

void terminal_restore() {
  if (terminal_valid) tcsetattr(0, TCSANOW, &saved_terminal);
}

int key_pressed() {
  ensure_terminal();
  if (pending_key != -1) return 1;
  unsigned char byte = 0;
  int got = 0;
  if (terminal_valid) {
    key_terminal.c_cc[VMIN] = 0;
    tcsetattr(0, TCSANOW, &key_terminal);
    got = read_byte(&byte);
    key_terminal.c_cc[VMIN] = 1;
    tcsetattr(0, TCSANOW, &key_terminal);
  } else {
    // A pipe or file: a pipe held open with nothing in it would block the
    // encoder for ever, so only read what is already there.
    pollfd fd = {0, POLLIN, 0};
    if (poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN)) got = read_byte(&byte);
  }
  if (got != 1) return 0;
  pending_key = byte;
  return 1;
}

int read_key() {
  ensure_terminal();
  int key = pending_key;
  pending_key = -1;
  if (key == -1) {
    unsigned char byte = 0;
    if (read_byte(&byte) != 1) return -1;
    key = byte;
  }
  return key == 10 ? 13 : key;
}

int poll_escape(int code) {
  if (code != 0) return 0;
  return key_pressed() && read_key() == 27 ? 1 : 0;
}

void console_reset() {
  message_stream = stderr;
  pending_key = -1;
}

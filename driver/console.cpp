#include "driver/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "driver/signals.h"

namespace {

// A terminal sends the bytes of one key's escape sequence in one write; a
// lone Escape is followed by nothing for much longer than this.
constexpr int kSequenceGapMs = 50;
// Longer control sequences than any key sends are swallowed in parts.
constexpr int kMaxSequenceBytes = 32;

FILE* message_stream = stderr;
termios saved_terminal;
termios key_terminal;
bool terminal_ready = false;
// Attributes could be read, so standard input is a terminal whose modes we
// own; otherwise reads work on whatever standard input is.
bool terminal_valid = false;
bool exit_hook_registered = false;
bool poll_allowed = true;
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

// Whether a byte can be read from descriptor 0 within the time.
bool byte_waiting(int timeout_ms) {
  pollfd fd = {0, POLLIN, 0};
  for (;;) {
    const int n = poll(&fd, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 && (fd.revents & POLLIN) != 0;
  }
}

// A terminal that is not the controlling one has no foreground to lose.
bool in_foreground() {
  const pid_t group = tcgetpgrp(0);
  return group < 0 || group == getpgrp();
}

// After an Escape byte from the terminal: false when nothing followed at
// once (a lone Escape); otherwise the rest of the sequence is consumed.
// CSI sequences (Escape '[') end at a byte 0x40..0x7E, SS3 ones (Escape
// 'O') after one more byte; Alt with a key is Escape and that key.
bool skip_escape_sequence() {
  unsigned char byte = 0;
  if (!byte_waiting(kSequenceGapMs) || read_byte(&byte) != 1) return false;
  if (byte != '[' && byte != 'O') return true;
  const bool csi = byte == '[';
  for (int i = 0; i < kMaxSequenceBytes; ++i) {
    if (!byte_waiting(kSequenceGapMs) || read_byte(&byte) != 1) return true;
    if (!csi || (byte >= 0x40 && byte <= 0x7E)) return true;
  }
  return true;
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

namespace {

int console_vprint(void*, const char* format, va_list args) {
  if (message_stream == nullptr) return 0;
  const int result = vfprintf(message_stream, format, args);
  fflush(message_stream);
  return result;
}

int console_poll(void*, int code) { return poll_escape(code); }

}  // namespace

PrintFn console_printer() { return PrintFn{console_vprint, nullptr}; }
KeyCheckFn console_key_check() { return KeyCheckFn{console_poll, nullptr}; }

void console_set_stream(FILE* stream) { message_stream = stream; }
FILE* console_stream() { return message_stream; }

void console_allow_key_poll(bool allowed) { poll_allowed = allowed; }

void terminal_init() {
  terminal_ready = true;
  if (!isatty(0) || tcgetattr(0, &saved_terminal) != 0) return;
  terminal_valid = true;
  key_terminal = saved_terminal;
  // Signal keys keep working: Ctrl-C, Ctrl-Z and Ctrl-\ are the user's.
  key_terminal.c_lflag &= ~tcflag_t(ICANON | ECHO);
  key_terminal.c_cc[VMIN] = 1;
  key_terminal.c_cc[VTIME] = 0;
  signals_install();
  signals_key_mode(&saved_terminal, &key_terminal);
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
  if (pending_key != -1) return 1;
  if (!poll_allowed || !isatty(0) || !in_foreground()) return 0;
  ensure_terminal();
  if (!terminal_valid) return 0;
  // Put back after a stop that found the process in the background.
  tcsetattr(0, TCSANOW, &key_terminal);
  unsigned char byte = 0;
  if (!byte_waiting(0) || read_byte(&byte) != 1) return 0;
  if (byte == 27 && skip_escape_sequence()) return key_pressed();
  pending_key = byte;
  return 1;
}

int read_key() {
  ensure_terminal();
  int key = pending_key;
  pending_key = -1;
  while (key == -1) {
    unsigned char byte = 0;
    if (read_byte(&byte) != 1) return -1;
    if (byte == 27 && terminal_valid && skip_escape_sequence()) continue;
    key = byte;
  }
  return key == 10 ? 13 : key;
}

int poll_escape(int code) {
  if (code != 0) return 0;
  int escape = 0;
  while (key_pressed())
    if (read_key() == 27) escape = 1;
  return escape;
}

void console_reset() {
  message_stream = stderr;
  pending_key = -1;
  poll_allowed = true;
  // Standard input may be another file by the next key; key mode is set up
  // afresh from the terminal's own attributes then.
  terminal_restore();
  signals_key_mode(nullptr, nullptr);
  terminal_ready = false;
  terminal_valid = false;
}

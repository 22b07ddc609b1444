#pragma once
#include <cstdio>

#include "deflate/callbacks.h"

// Every message of the program goes through console_print onto one switchable
// stream, and every key (the Escape poll, the overwrite prompt) comes through
// this layer. Keys for the Escape poll come only from a terminal: a file or
// pipe on standard input belongs to whoever supplied it (a script's loop, the
// picture itself) and is never read by the poll. On first use a terminal is
// put into an unbuffered, silent key mode that keeps its signal keys, and is
// restored at process exit or by the signal handlers (driver/signals.h).

// printf onto the message stream; prints nothing and returns 0 when the
// stream is off. This is the encoder's print callback.
int console_print(const char* format, ...);

// The console as the encoder's print and key_check callbacks. The console is
// one per process, so their user pointer is unused.
PrintFn console_printer();
KeyCheckFn console_key_check();

// Standard error at start; nullptr switches messages off (quiet mode).
void console_set_stream(FILE* stream);
FILE* console_stream();

// Whether the Escape poll may look at a terminal on standard input at all;
// off when standard input carried the picture. On at start.
void console_allow_key_poll(bool allowed);

// Non-blocking: 1 when a key is waiting at the terminal (it is kept for
// read_key), else 0. Always 0 when standard input is not a terminal, when
// the poll is not allowed, and in the background.
int key_pressed();

// Blocking read of one key from standard input, whatever it is, 0..255, a
// line feed given as carriage return. At a terminal the escape sequence of an
// arrow or function key is read whole and skipped. Returns -1 at end of
// input, where no key will ever come.
int read_key();

// The encoder's key_check callback: for code 0, 1 when a lone Escape was
// typed; every other key waiting, escape sequences whole, is swallowed.
// Other codes never look.
int poll_escape(int code);

void terminal_init();
void terminal_restore();

// Back to the start state (stream standard error, no key pending, poll
// allowed, the terminal in its own mode until the next key).
void console_reset();

#pragma once
#include <cstdio>

// Every message of the program goes through console_print onto one switchable
// stream, and every key (the Escape poll, the overwrite prompt) comes through
// this layer, which puts the terminal into an unbuffered, silent key mode on
// first use and restores it at process exit.

// printf onto the message stream; prints nothing and returns 0 when the
// stream is off. This is the encoder's print callback.
int console_print(const char* format, ...);

// Standard error at start; nullptr switches messages off (quiet mode).
void console_set_stream(FILE* stream);
FILE* console_stream();

// Non-blocking: 1 when a key is waiting (it is kept for read_key), else 0.
int key_pressed();

// Blocking read of one key, 0..255, a line feed given as carriage return.
// Returns -1 at end of input, where no key will ever come.
int read_key();

// The encoder's key_check callback: for code 0, 1 when the key waiting is
// Escape; any other waiting key is swallowed. Other codes never look.
int poll_escape(int code);

void terminal_init();
void terminal_restore();

// Back to the start state (stream standard error, no key pending); the
// terminal itself is left as it is.
void console_reset();

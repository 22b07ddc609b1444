#pragma once
#include <cstdarg>

// The two ways the compressor talks to the outside world. Each is a function
// with the caller's user pointer, so that a caller running several encodes
// at once can tell their messages and stop requests apart. With fn null,
// print prints nothing and key_check never asks to stop.

// print formats like vprintf and returns what the formatting returns (0 when
// messages are off). Called like printf.
struct PrintFn {
  int (*fn)(void* user, const char* format, va_list args);
  void* user;

  explicit operator bool() const { return fn != nullptr; }
  __attribute__((format(printf, 2, 3))) int operator()(const char* format, ...) const {
    if (fn == nullptr) return 0;
    va_list args;
    va_start(args, format);
    const int n = fn(user, format, args);
    va_end(args);
    return n;
  }
};

// key_check is the stop poll: code 0 after a pass, 1 before a row and during
// the split analysis, 2 after colour analysis; a nonzero answer means stop.
struct KeyCheckFn {
  int (*fn)(void* user, int code);
  void* user;

  explicit operator bool() const { return fn != nullptr; }
  int operator()(int code) const { return fn == nullptr ? 0 : fn(user, code); }
};

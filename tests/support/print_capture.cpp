#include "tests/support/print_capture.h"

#include <cstdarg>
#include <cstdio>

std::string& captured_messages() {
  static std::string buffer;
  return buffer;
}

int capture_print(const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  captured_messages() += text;
  return n;
}

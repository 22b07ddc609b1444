#include "tests/support/print_capture.h"

#include <cstdarg>
#include <cstdio>

std::string& captured_messages() {
  static std::string buffer;
  return buffer;
}

namespace {

int append_vprint(void* user, const char* format, va_list args) {
  char text[4096];
  const int n = std::vsnprintf(text, sizeof text, format, args);
  *static_cast<std::string*>(user) += text;
  return n;
}

}  // namespace

PrintFn capture_printer() { return print_into(&captured_messages()); }
PrintFn print_into(std::string* text) { return PrintFn{append_vprint, text}; }

int capture_print(const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  captured_messages() += text;
  return n;
}

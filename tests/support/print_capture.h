#pragma once
// A print callback for tests: formats like printf and appends to a buffer.
#include <string>

#include "deflate/callbacks.h"

int capture_print(const char* format, ...);
std::string& captured_messages();
// The print callback that appends to captured_messages().
PrintFn capture_printer();
// A print callback that appends to *text alone, for runs side by side.
PrintFn print_into(std::string* text);

#pragma once
// A print callback for tests: formats like printf and appends to one buffer.
#include <string>

int capture_print(const char* format, ...);
std::string& captured_messages();

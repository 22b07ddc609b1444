#include "driver/names.h"

#include <cctype>

namespace {

bool ends_with_ignoring_case(const std::string& name, const char* suffix, size_t suffix_length) {
  if (name.size() < suffix_length) return false;
  const size_t start = name.size() - suffix_length;
  for (size_t i = 0; i < suffix_length; ++i)
    if (std::tolower(static_cast<unsigned char>(name[start + i])) !=
        std::tolower(static_cast<unsigned char>(suffix[i])))
      return false;
  return true;
}

}  // namespace

const char* png_extension_for(const std::string& name) {
  for (const char c : name) {
    if (c >= 'a' && c <= 'z') return ".png";
    if (c >= 'A' && c <= 'Z') return ".PNG";
  }
  return ".PNG";
}

bool has_png_extension(const std::string& name) {
  return name.size() > 3 && ends_with_ignoring_case(name, ".png", 4);
}

std::string output_name_from_argument(const std::string& output) {
  if (has_png_extension(output)) return output;
  return output + png_extension_for(output);
}

std::string output_name_from_input(const std::string& input, bool* same_as_input) {
  *same_as_input = false;
  if (has_png_extension(input)) {
    *same_as_input = true;
    return input;
  }
  const char* extension = png_extension_for(input);
  if (input.size() > 4 && ends_with_ignoring_case(input, ".jpeg", 5))
    return input.substr(0, input.size() - 5) + extension;
  static const char* const kReplaced[] = {".jpg", ".jpe", ".gif", ".pcx", ".tga", ".bmp"};
  if (input.size() > 3)
    for (const char* suffix : kReplaced)
      if (ends_with_ignoring_case(input, suffix, 4)) return input.substr(0, input.size() - 4) + extension;
  return input + extension;
}

bool names_equal_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

void adjust_output_after_retry(const std::string& retried_input, std::string* output) {
  if (!names_equal_ignoring_case(retried_input, *output) || output->size() < 4) return;
  output->replace(output->size() - 4, 4, png_extension_for(*output));
}

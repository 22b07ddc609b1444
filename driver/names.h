#pragma once
#include <string>

// The output-name rules. Names are plain byte strings of any length.

// ".png" when the first ASCII letter of the name (directory part included)
// is lower case, ".PNG" otherwise (upper case, or no letter at all).
const char* png_extension_for(const std::string& name);

// True when the name is longer than 3 characters and ends in ".png" in any case.
bool has_png_extension(const std::string& name);

// An output name given on the command line: kept when it already ends in
// ".png", otherwise the extension is appended.
std::string output_name_from_argument(const std::string& output);

// The output name derived from the input name when none is given. Sets
// *same_as_input when the input already ends in ".png" and the output is the
// input itself.
std::string output_name_from_input(const std::string& input, bool* same_as_input);

bool names_equal_ignoring_case(const std::string& a, const std::string& b);

// After the input was found only as name + ".png": when that name matches the
// output name ignoring case, the output's last four characters become the
// extension its own first letter asks for.
void adjust_output_after_retry(const std::string& retried_input, std::string* output);

#pragma once
// Runs a program the way a user would, in a folder of its own, and captures
// what it prints and how it ends.
#include <string>
#include <vector>

struct CommandResult {
  int status = -1;  // exit status, or 128 + signal number when killed by a signal
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs program with args (argv[0] is set to program) in folder, feeding
// input to its standard input and then closing it; with keep_input_open the
// pipe stays open, empty, until the program has ended, like a terminal
// nobody types on.
CommandResult run_command(const std::string& program, const std::vector<std::string>& args,
                          const std::string& folder, const std::string& input = std::string(),
                          bool keep_input_open = false);

class TempFolder;
// The built tessel run in folder with args and standard input text.
CommandResult run_tool(const TempFolder& folder, const std::vector<std::string>& args,
                       const std::string& input = std::string());

// A fresh empty folder under the system's temporary folder, removed with all
// its contents when the object goes away.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

#pragma once
// The built tessel run on a pseudo-terminal of its own, as a user at a
// terminal runs it, for the tests of keys, signals and terminal modes.
#include <termios.h>

#include <string>
#include <vector>

class TempFolder;

struct TerminalRun {
  int status = -1;     // exit status, or 128 + signal number
  std::string screen;  // everything the program wrote to the terminal
  tcflag_t lflag_before = 0, lflag_after = 0;
  int unread = -1;  // bytes typed but never read
};

// Runs the tool on a pseudo-terminal of its own, as a user at a terminal
// would: typed_ahead is typed before it starts; once the screen shows `cue`,
// `then` is typed.
TerminalRun run_in_terminal(const TempFolder& dir, const std::vector<std::string>& args,
                            const std::string& typed_ahead, const std::string& cue = "",
                            const std::string& then = "");

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/console.h"

namespace {

// Puts something in place of standard input for one test: a pipe, or the
// far end of a pseudo-terminal. The keys written are what the console reads.
class FakeStdin {
 public:
  explicit FakeStdin(bool terminal) {
    saved_ = dup(0);
    int reader = -1;
    if (terminal) {
      EXPECT_EQ(openpty(&writer_, &reader, nullptr, nullptr, nullptr), 0);
    } else {
      int fds[2];
      EXPECT_EQ(pipe(fds), 0);
      reader = fds[0];
      writer_ = fds[1];
    }
    dup2(reader, 0);
    close(reader);
    console_reset();
  }
  ~FakeStdin() {
    console_reset();
    if (writer_ >= 0) close(writer_);
    dup2(saved_, 0);
    close(saved_);
  }
  void type(const std::string& keys) {
    const int before = unread();
    EXPECT_EQ(write(writer_, keys.data(), keys.size()), ssize_t(keys.size()));
    // The line discipline hands typed bytes on asynchronously; wait until
    // all of them can be read (key mode is on by then in these tests).
    for (int i = 0; i < 2000 && unread() < before + int(keys.size()); ++i) usleep(1000);
  }
  void close_input() {
    close(writer_);
    writer_ = -1;
  }
  int unread() const {
    int n = 0;
    ioctl(0, FIONREAD, &n);
    return n;
  }

 private:
  int saved_ = -1;
  int writer_ = -1;
};

TEST(Console, ReadKeyTurnsLineFeedIntoReturnAndReportsTheEnd) {
  FakeStdin in(false);
  in.type(std::string("a\n\x1b[A\xe0", 6));
  in.close_input();
  EXPECT_EQ(read_key(), 'a');
  EXPECT_EQ(read_key(), 13);
  // Not a terminal: an Escape is a byte like any other.
  EXPECT_EQ(read_key(), 27);
  EXPECT_EQ(read_key(), '[');
  EXPECT_EQ(read_key(), 'A');
  EXPECT_EQ(read_key(), 0xE0);
  EXPECT_EQ(read_key(), -1);
  EXPECT_EQ(read_key(), -1);
}

// A script's standard input is its own: the poll never takes a byte of it.
TEST(Console, PollNeverReadsAPipe) {
  FakeStdin in(false);
  EXPECT_EQ(key_pressed(), 0);
  in.type("\x1bk");
  EXPECT_EQ(key_pressed(), 0);
  EXPECT_EQ(poll_escape(0), 0);
  EXPECT_EQ(read_key(), 27);
  EXPECT_EQ(read_key(), 'k');
}

struct TerminalKeys {
  const char* name;
  std::string typed;
  int escape;  // what one poll after the typing answers
};

class TerminalPoll : public ::testing::TestWithParam<TerminalKeys> {};

// Only a lone Escape stops; every key typed before the poll is taken, escape
// sequences whole, and nothing is left behind for the shell.
TEST_P(TerminalPoll, LoneEscapeOnly) {
  FakeStdin in(true);
  EXPECT_EQ(poll_escape(0), 0);  // sets up key mode, so nothing typed is held as a line
  in.type(GetParam().typed);
  EXPECT_EQ(poll_escape(1), 0);
  EXPECT_EQ(poll_escape(2), 0);
  EXPECT_EQ(poll_escape(0), GetParam().escape);
  EXPECT_EQ(in.unread(), 0);
  EXPECT_EQ(poll_escape(0), 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Console, TerminalPoll, ::testing::Values(
    TerminalKeys{"nothing", "", 0},
    TerminalKeys{"escape", "\x1b", 1},
    TerminalKeys{"letter", "x", 0},
    TerminalKeys{"letters_then_escape", "xy\x1b", 1},
    TerminalKeys{"arrow", "\x1b[A", 0},
    TerminalKeys{"arrow_with_modifier", "\x1b[1;5C", 0},
    TerminalKeys{"function_key", "\x1b[15~", 0},
    TerminalKeys{"keypad_function_key", "\x1bOP", 0},
    TerminalKeys{"alt_letter", "\x1bx", 0},
    TerminalKeys{"arrow_then_letter", "\x1b[Bq", 0},
    TerminalKeys{"arrow_then_escape", "\x1b[D\x1b", 1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(Console, TerminalKeyModeKeepsSignalKeysAndIsUndone) {
  FakeStdin in(true);
  termios before;
  ASSERT_EQ(tcgetattr(0, &before), 0);
  ASSERT_NE(before.c_lflag & ICANON, 0u);
  EXPECT_EQ(key_pressed(), 0);
  termios during;
  ASSERT_EQ(tcgetattr(0, &during), 0);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_NE(during.c_lflag & ISIG, 0u);
  terminal_restore();
  termios after;
  ASSERT_EQ(tcgetattr(0, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST(Console, PromptKeysAtATerminalSkipEscapeSequences) {
  FakeStdin in(true);
  EXPECT_EQ(key_pressed(), 0);
  in.type("\x1b[A\x1bOQy\x1b");
  EXPECT_EQ(read_key(), 'y');
  EXPECT_EQ(read_key(), 27);
}

// The picture came from standard input: even a terminal there is not polled.
TEST(Console, PollCanBeTurnedOff) {
  FakeStdin in(true);
  EXPECT_EQ(poll_escape(0), 0);
  console_allow_key_poll(false);
  in.type("\x1b");
  EXPECT_EQ(poll_escape(0), 0);
  console_allow_key_poll(true);
  EXPECT_EQ(poll_escape(0), 1);
}

TEST(Console, PrintGoesToTheChosenStreamOrNowhere) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  console_set_stream(f);
  EXPECT_EQ(console_print("%d-%s", 42, "x"), 4);
  console_set_stream(nullptr);
  EXPECT_EQ(console_print("lost %d", 1), 0);
  console_reset();
  EXPECT_EQ(console_stream(), stderr);
  rewind(f);
  char buffer[16] = {};
  EXPECT_EQ(fread(buffer, 1, sizeof buffer, f), 4u);
  EXPECT_STREQ(buffer, "42-x");
  fclose(f);
}

}  // namespace

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/console.h"

namespace {

// Puts a pipe in place of standard input for one test; the keys written to
// it are what the console reads.
class PipedStdin {
 public:
  PipedStdin() {
    saved_ = dup(0);
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    dup2(fds[0], 0);
    close(fds[0]);
    writer_ = fds[1];
    console_reset();
  }
  ~PipedStdin() {
    if (writer_ >= 0) close(writer_);
    dup2(saved_, 0);
    close(saved_);
    console_reset();
  }
  void type(const std::string& keys) {
    EXPECT_EQ(write(writer_, keys.data(), keys.size()), ssize_t(keys.size()));
  }
  void close_input() {
    close(writer_);
    writer_ = -1;
  }

 private:
  int saved_ = -1;
  int writer_ = -1;
};

TEST(Console, ReadKeyTurnsLineFeedIntoReturnAndReportsTheEnd) {
  PipedStdin in;
  in.type(std::string("a\n\x1b\xe0", 4));
  in.close_input();
  EXPECT_EQ(read_key(), 'a');
  EXPECT_EQ(read_key(), 13);
  EXPECT_EQ(read_key(), 27);
  EXPECT_EQ(read_key(), 0xE0);
  EXPECT_EQ(read_key(), -1);
  EXPECT_EQ(read_key(), -1);
}

TEST(Console, KeyPressedNeverBlocksOnAnOpenEmptyPipe) {
  PipedStdin in;
  EXPECT_EQ(key_pressed(), 0);
  EXPECT_EQ(poll_escape(0), 0);
  in.type("k");
  EXPECT_EQ(key_pressed(), 1);
  EXPECT_EQ(key_pressed(), 1);  // still waiting, not read twice
  EXPECT_EQ(read_key(), 'k');
  EXPECT_EQ(key_pressed(), 0);
}

TEST(Console, PollEscapeLooksOnlyAfterAPass) {
  PipedStdin in;
  in.type("\x1b");
  EXPECT_EQ(poll_escape(1), 0);
  EXPECT_EQ(poll_escape(2), 0);
  EXPECT_EQ(poll_escape(0), 1);
  in.type("x\x1b");
  EXPECT_EQ(poll_escape(0), 0);  // x is swallowed
  EXPECT_EQ(poll_escape(0), 1);
  EXPECT_EQ(poll_escape(0), 0);
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

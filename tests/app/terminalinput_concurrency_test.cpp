// A question asked from another thread takes the input from the shell's reader, which
// steps back and reads the next line after the question has its answer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

#include "app/terminalinput.h"

namespace {

// Reads from fd until text has arrived (or the writer is gone); what was read.
std::string ReadUntil(int fd, const std::string& text, std::string* seen) {
  char buffer[256];
  while (seen->find(text) == std::string::npos) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    seen->append(buffer, static_cast<size_t>(n));
  }
  return *seen;
}

void Send(int fd, const std::string& text) { ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size())); }

TEST(TerminalInputConcurrencyTest, AQuestionTakesTheInputFromTheShellsReader) {
  int in[2], out[2];
  ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
  {
    CTerminalInput input(in[0], out[1]);
    std::string command;
    bool gotCommand = false;
    std::thread shell([&] { gotCommand = input.ReadCommandLine("ostrel> ", &command); });
    std::string seen;
    // The prompt is written right before the reader waits for the input.
    ReadUntil(out[0], "ostrel> ", &seen);
    std::string answer;
    bool gotAnswer = false;
    std::thread asker([&] { gotAnswer = input.Ask("Choose: ", &answer); });
    ReadUntil(out[0], "Choose: ", &seen);
    Send(in[1], "2\n");
    asker.join();
    EXPECT_TRUE(gotAnswer);
    EXPECT_EQ("2", answer);
    // The shell shows its prompt again and reads the next line.
    seen.clear();
    ReadUntil(out[0], "ostrel> ", &seen);
    Send(in[1], "ls /\r\n");
    shell.join();
    EXPECT_TRUE(gotCommand);
    EXPECT_EQ("ls /", command);
  }
  for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
}

TEST(TerminalInputConcurrencyTest, LinesTypedAheadAndTheEndOfInputAreKept) {
  int in[2], out[2];
  ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC | O_NONBLOCK));
  CTerminalInput input(in[0], out[1]);
  Send(in[1], "one\ntwo\nthree");
  close(in[1]);
  std::string line;
  ASSERT_TRUE(input.ReadCommandLine("", &line));
  EXPECT_EQ("one", line);
  ASSERT_TRUE(input.Ask("? ", &line));
  EXPECT_EQ("two", line);
  ASSERT_TRUE(input.ReadCommandLine("", &line));
  EXPECT_EQ("three", line);  // the last line needs no newline
  EXPECT_FALSE(input.ReadCommandLine("", &line));
  EXPECT_FALSE(input.Ask("? ", &line));
  for (int fd : {in[0], out[0], out[1]}) close(fd);
}

}  // namespace

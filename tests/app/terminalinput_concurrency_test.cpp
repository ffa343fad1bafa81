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
    InputLine gotCommand = InputLine::kEnd;
    std::thread shell([&] { gotCommand = input.ReadCommandLine("ostrel> ", &command); });
    std::string seen;
    // The prompt is written right before the reader waits for the input.
    ReadUntil(out[0], "ostrel> ", &seen);
    std::string answer;
    InputLine gotAnswer = InputLine::kEnd;
    std::thread asker([&] { gotAnswer = input.Ask("Choose: ", &answer); });
    ReadUntil(out[0], "Choose: ", &seen);
    Send(in[1], "2\n");
    asker.join();
    EXPECT_EQ(InputLine::kLine, gotAnswer);
    EXPECT_EQ("2", answer);
    // The shell shows its prompt again and reads the next line.
    seen.clear();
    ReadUntil(out[0], "ostrel> ", &seen);
    Send(in[1], "ls /\r\n");
    shell.join();
    EXPECT_EQ(InputLine::kLine, gotCommand);
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
  ASSERT_EQ(InputLine::kLine, input.ReadCommandLine("", &line));
  EXPECT_EQ("one", line);
  ASSERT_EQ(InputLine::kLine, input.Ask("? ", &line));
  EXPECT_EQ("two", line);
  ASSERT_EQ(InputLine::kLine, input.ReadCommandLine("", &line));
  EXPECT_EQ("three", line);  // the last line needs no newline
  EXPECT_EQ(InputLine::kEnd, input.ReadCommandLine("", &line));
  EXPECT_EQ(InputLine::kEnd, input.Ask("? ", &line));
  for (int fd : {in[0], out[0], out[1]}) close(fd);
}

TEST(TerminalInputConcurrencyTest, ALinePastItsBoundIsRefusedAtOnceAndItsRestDropped) {
  const std::string answer(kMaxAnswerBytes, 'a');
  const std::string command(kMaxCommandLineBytes, 'c');
  struct Row {
    const char* what;
    std::string input;
    bool commandLine;  // read by the shell's reader, else as an answer
    InputLine first;
    std::string firstLine;
    InputLine second;  // the read after it: "next", or the end
  } rows[] = {
      {"an answer of the bound", answer + "\nnext\n", false, InputLine::kLine, answer, InputLine::kLine},
      {"an answer of the bound ended by CR LF", answer + "\r\nnext\n", false, InputLine::kLine, answer,
       InputLine::kLine},
      {"an answer past the bound", answer + "a\nnext\n", false, InputLine::kTooLong, "", InputLine::kLine},
      {"an answer past the bound at the end of the input", answer + "a", false, InputLine::kTooLong, "",
       InputLine::kEnd},
      {"a command line may be longer than an answer", answer + "a\nnext\n", true, InputLine::kLine, answer + "a",
       InputLine::kLine},
      {"a command line of the bound", command + "\nnext\n", true, InputLine::kLine, command, InputLine::kLine},
      {"a command line far past the bound", command + command + command + "\nnext\n", true, InputLine::kTooLong, "",
       InputLine::kLine},
  };
  for (const auto& row : rows) {
    int in[2], out[2];
    ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
    {
      CTerminalInput input(in[0], out[1]);
      // The input is more than a pipe holds: it is written while it is read.
      std::thread writer([&] {
        Send(in[1], row.input);
        close(in[1]);
      });
      auto read = [&](std::string* line) {
        return row.commandLine ? input.ReadCommandLine("", line) : input.Ask("", line);
      };
      std::string line = "stale";
      EXPECT_EQ(row.first, read(&line)) << row.what;
      EXPECT_EQ(row.firstLine, line) << row.what;
      EXPECT_EQ(row.second, read(&line)) << row.what;
      EXPECT_EQ(row.second == InputLine::kLine ? "next" : "", line) << row.what;
      writer.join();
    }
    for (int fd : {in[0], out[0], out[1]}) close(fd);
  }
}

}  // namespace

// Which Ctrl-C belongs to the running command (it cancels the command) and which ends
// the shell's input or the process; a command's Ctrl-C takes the terminal's question
// away from whoever asks it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "app/interruptwatch.h"
#include "app/terminalinput.h"

namespace {

using Idle = CInterruptWatch::IdleAction;

// Reads from fd until text has arrived (or the writer is gone).
void ReadUntil(int fd, const std::string& text) {
  std::string seen;
  char buffer[256];
  while (seen.find(text) == std::string::npos) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
    seen.append(buffer, static_cast<size_t>(n));
  }
}

struct Pipes {
  Pipes() {
    EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
    EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
  }
  ~Pipes() {
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
  }
  int in[2] = {-1, -1}, out[2] = {-1, -1};
};

// A terminal input over pipes, and a watch on it whose process ends are counted.
struct Rig : Pipes {
  CTerminalInput input{in[0], out[1]};
  int ends = 0;
  CInterruptWatch watch{&input, [this] { ++ends; }};
};

TEST(InterruptWatchConcurrencyTest, EachCtrlCDoesWhatItsMomentCallsFor) {
  const struct {
    const char* what;
    Idle idle;
    const char* steps;  // B: a command begins, E: it ends, C: Ctrl-C
    int ends;           // process ends asked for
    int refused;        // commands that could not begin
    bool interrupted, ending, inputInterrupted;
  } rows[] = {
      {"no command runs: the process ends", Idle::kEndProcess, "C", 1, 0, false, false, false},
      {"a command's first Ctrl-C is the command's", Idle::kEndProcess, "BC", 0, 0, true, false, true},
      {"a second Ctrl-C during the cancel ends the process", Idle::kEndProcess, "BCC", 1, 0, true, false, true},
      {"the next command starts afresh", Idle::kEndProcess, "BCEB", 0, 0, false, false, false},
      {"once the command has ended, Ctrl-C ends the process", Idle::kEndProcess, "BCEC", 1, 0, false, false, false},
      {"at the shell's prompt the input ends", Idle::kEndInput, "C", 0, 0, false, true, true},
      {"a command read meanwhile does not run", Idle::kEndInput, "CB", 0, 1, false, true, true},
      {"a second Ctrl-C while the shell ends ends the process", Idle::kEndInput, "CC", 1, 0, false, true, true},
      {"a command's Ctrl-C gives the shell its prompt back", Idle::kEndInput, "BCE", 0, 0, false, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Rig rig;
    rig.watch.SetIdleAction(row.idle);
    int refused = 0;
    for (const char* step = row.steps; *step; ++step) {
      if (*step == 'B') refused += !rig.watch.BeginCommand();
      if (*step == 'E') rig.watch.EndCommand();
      if (*step == 'C') rig.watch.OnInterrupt();
    }
    EXPECT_EQ(row.ends, rig.ends);
    EXPECT_EQ(row.refused, refused);
    EXPECT_EQ(row.interrupted, rig.watch.Interrupted());
    EXPECT_EQ(row.ending, rig.watch.Ending());
    EXPECT_EQ(row.inputInterrupted, rig.input.Interrupted());
  }
}

TEST(InterruptWatchConcurrencyTest, ACommandsCtrlCLeavesItsQuestionUnanswered) {
  Rig rig;
  ASSERT_TRUE(rig.watch.BeginCommand());
  std::string answer;
  InputLine answered = InputLine::kLine;
  std::thread asker([&] { answered = rig.input.Ask("Choose: ", &answer); });
  ReadUntil(rig.out[0], "Choose: ");
  rig.watch.OnInterrupt();
  asker.join();
  EXPECT_EQ(InputLine::kEnd, answered);
  EXPECT_EQ(InputLine::kEnd, rig.input.Ask("Again? ", &answer)) << "no question is asked while the command is cancelled";
  // Once the command has ended, questions are asked again.
  rig.watch.EndCommand();
  ASSERT_EQ(2, write(rig.in[1], "2\n", 2));
  EXPECT_EQ(InputLine::kLine, rig.input.Ask("Choose: ", &answer));
  EXPECT_EQ("2", answer);
}

}  // namespace

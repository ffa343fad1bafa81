// The command line: global options anywhere, each command's own options and argument
// counts, and the words of a shell line.
#include <gtest/gtest.h>

#include "app/argparse.h"

namespace {

TEST(ArgParseTest, GoodCommandLinesGiveTheirCommandOptionsAndArguments) {
  struct Row {
    std::vector<std::string> words;
    const char* command;
    std::vector<std::string> args;
    std::vector<std::string> options;
  } rows[] = {
      {{"ls"}, "ls", {}, {}},
      {{"ls", "-l", "/Docs"}, "ls", {"/Docs"}, {"--long"}},
      {{"--json", "ls", "--trash"}, "ls", {}, {"--trash"}},
      {{"put", "a", "b", "/"}, "put", {"a", "b", "/"}, {}},
      {{"rm", "--", "-odd-name"}, "rm", {"-odd-name"}, {}},        // "--" ends the options
      {{"login", "alice", "--password-stdin"}, "login", {"alice"}, {"--password-stdin"}},
      {{"shell", "--login=alice"}, "shell", {}, {"--login"}},
      {{"get", "/a", "-"}, "get", {"/a", "-"}, {}},                 // a lone "-" is an argument
  };
  for (const auto& row : rows) {
    ParsedCommandLine parsed = ParseCommandLine(row.words);
    ASSERT_TRUE(parsed.Ok()) << row.words[0] << ": " << parsed.error;
    EXPECT_EQ(row.command, parsed.command->name);
    EXPECT_EQ(row.args, parsed.args) << row.command;
    for (const auto& option : row.options) EXPECT_TRUE(parsed.Has(option)) << option;
    EXPECT_EQ(row.options.size(), parsed.options.size()) << row.command;
  }
}

TEST(ArgParseTest, GlobalOptionsComeBeforeOrAfterTheCommand) {
  ParsedCommandLine parsed = ParseCommandLine(
      {"--config", "/c", "ls", "--json", "--answer=2", "--opener", "vi -n", "--progress-delay", "0", "/x"});
  ASSERT_TRUE(parsed.Ok()) << parsed.error;
  EXPECT_EQ("/c", parsed.global.configDir);
  EXPECT_TRUE(parsed.global.configGiven);
  EXPECT_TRUE(parsed.global.json);
  EXPECT_EQ(2, parsed.global.answer);
  EXPECT_EQ("vi -n", parsed.global.opener);
  EXPECT_EQ(0, parsed.global.progressDelayMs);
  EXPECT_EQ(std::vector<std::string>{"/x"}, parsed.args);
}

TEST(ArgParseTest, BadCommandLinesSayWhatIsWrong) {
  struct Row {
    std::vector<std::string> words;
    const char* errorPart;
  } rows[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command"},
      {{"ls", "--nope"}, "unknown option \"--nope\" for ls"},
      {{"ls", "a", "b"}, "usage: ostrel ls"},
      {{"put", "a"}, "usage: ostrel put"},
      {{"rename", "a"}, "usage"},
      {{"ls", "--config"}, "--config needs a value"},
      {{"--config=", "ls"}, "--config needs a folder"},
      {{"--answer", "4", "ls"}, "--answer needs a button number"},
      {{"--answer", "-1", "ls"}, "--answer needs a button number"},
      {{"--answer", "1x", "ls"}, "--answer needs a button number"},
      {{"--progress-delay", "99999999999999", "ls"}, "--progress-delay"},
      {{"--opener", "  ", "ls"}, "--opener needs a program"},
      {{"ls", "--long=yes"}, "--long takes no value"},
      {{"login", "alice", "--password-stdin=x"}, "takes no value"},
  };
  for (const auto& row : rows) {
    ParsedCommandLine parsed = ParseCommandLine(row.words);
    EXPECT_FALSE(parsed.Ok()) << row.errorPart;
    EXPECT_NE(std::string::npos, parsed.error.find(row.errorPart)) << parsed.error;
  }
}

TEST(ArgParseTest, HelpAndVersionNeedNoValidCommand) {
  EXPECT_TRUE(ParseCommandLine({"--help"}).help);
  EXPECT_TRUE(ParseCommandLine({"-h"}).help);
  ParsedCommandLine put = ParseCommandLine({"put", "--help"});
  EXPECT_TRUE(put.help);
  ASSERT_NE(nullptr, put.command);
  EXPECT_EQ("put", put.command->name);
  EXPECT_TRUE(ParseCommandLine({"--version"}).version);
}

TEST(ArgParseTest, EveryCommandHasHelpThatNamesItsOptions) {
  for (const auto& spec : CommandSpecs()) {
    const std::string help = CommandHelp(spec);
    EXPECT_NE(std::string::npos, help.find("Usage: ostrel " + spec.name)) << spec.name;
    for (const auto& option : spec.options) EXPECT_NE(std::string::npos, help.find(option.name)) << spec.name;
    if (!spec.inShellOnly) {
      EXPECT_NE(std::string::npos, ProgramHelp().find("  " + spec.name + " ")) << spec.name;
    }
  }
}

TEST(ArgParseTest, ShellLinesSplitIntoWordsLikeAShellDoes) {
  struct Row {
    const char* line;
    std::vector<std::string> words;
  } rows[] = {
      {"ls /Docs", {"ls", "/Docs"}},
      {"  put   a  /  ", {"put", "a", "/"}},
      {"get '/My Docs/a b.txt' .", {"get", "/My Docs/a b.txt", "."}},
      {"get \"/say \\\"hi\\\"\" .", {"get", "/say \"hi\"", "."}},
      {"rm a\\ b", {"rm", "a b"}},
      {"rm ''", {"rm", ""}},
      {"", {}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitShellLine(row.line, &words, &error)) << row.line;
    EXPECT_EQ(row.words, words) << row.line;
  }
  std::vector<std::string> words;
  std::string error;
  EXPECT_FALSE(SplitShellLine("get 'open", &words, &error));
  EXPECT_FALSE(SplitShellLine("get \"open", &words, &error));
}

}  // namespace

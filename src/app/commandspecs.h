// What the command line offers: the global options, each command with its arguments
// and options, and the help texts made from them. The parser and the help read the
// same table, so that the help never promises what the parser refuses.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct OptionSpec {
  std::string name;       // "--json"
  std::string shortName;  // "-l", or ""
  std::string valueName;  // "DIR" for an option with a value; "" for a flag
  std::string help;
};

struct CommandSpec {
  std::string name;
  std::string arguments;  // as shown in the usage line: "PATH... FOLDER"
  size_t minArgs = 0;
  size_t maxArgs = 0;     // kManyArgs: no upper bound
  std::vector<OptionSpec> options;
  std::string summary;    // one line
  std::string details;    // what it does, in full
  std::string example;    // one command line
  bool inShellOnly = false;     // offered inside "ostrel shell" only
  bool notInShell = false;      // not offered inside "ostrel shell"
};

inline constexpr size_t kManyArgs = static_cast<size_t>(-1);

// The options every command takes (before or after the command's name).
const std::vector<OptionSpec>& GlobalOptionSpecs();
// The commands, in the order the help lists them.
const std::vector<CommandSpec>& CommandSpecs();
// The command named name; null when there is none.
const CommandSpec* FindCommandSpec(const std::string& name);

// "ostrel --help": usage, the commands with their summaries, the global options, the
// configuration, exit statuses and examples.
std::string ProgramHelp();
// "ostrel COMMAND --help".
std::string CommandHelp(const CommandSpec& command);
// The commands of the interactive shell ("help" inside it).
std::string ShellHelp();

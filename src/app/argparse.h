// The command line of ostrel (and one line of "ostrel shell"): global options
// anywhere, one command, its options and its arguments, checked against the command
// table (commandspecs.h). Parsing never fails on any input: what it cannot accept it
// reports in ParsedCommandLine::error.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/commandspecs.h"

// The settings the global options give.
struct GlobalSettings {
  std::string configDir;       // --config; "" for the default
  bool json = false;           // --json
  int answer = 0;              // --answer N (1 to 3); 0: ask
  std::string opener;          // --opener; "" for the default
  int progressDelayMs = 1000;  // --progress-delay
  bool configGiven = false, answerGiven = false, openerGiven = false, progressDelayGiven = false;
};

struct ParsedCommandLine {
  // Empty when the line is good; else what is wrong with it, in one line.
  std::string error;
  bool help = false;     // --help or -h (for command, when one was named)
  bool version = false;  // --version
  const CommandSpec* command = nullptr;  // null when no command was named
  std::map<std::string, std::string> options;  // the command's options given ("" for a flag)
  std::vector<std::string> args;
  GlobalSettings global;

  bool Ok() const { return error.empty(); }
  bool Has(const std::string& option) const { return options.count(option) != 0; }
  std::string Value(const std::string& option) const;
};

// Parses words (without the program's name). "--" ends the options; "--name=value"
// and "--name value" both give a value. Starts from defaults (the global settings in
// force, e.g. those of the shell), which the words may change.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& words, const GlobalSettings& defaults = {});

// Splits one line of the shell into words: blanks separate words; '...' keeps
// everything literally; "..." keeps everything but lets \" and \\ stand for " and \;
// outside quotes a backslash keeps the next character. False, with the reason in
// *error, for an unterminated quote.
bool SplitShellLine(const std::string& line, std::vector<std::string>* words, std::string* error);

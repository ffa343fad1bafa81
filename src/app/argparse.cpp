#include "app/argparse.h"

#include <cerrno>
#include <cstdlib>

namespace {

// The option of options named by word ("--name" or its short form), or null.
const OptionSpec* FindOption(const std::vector<OptionSpec>& options, const std::string& name) {
  for (const auto& option : options)
    if (option.name == name || (!option.shortName.empty() && option.shortName == name)) return &option;
  return nullptr;
}

bool ParseInt(const std::string& text, long low, long high, int* out) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// Applies a global option; false with *error for a bad value.
bool ApplyGlobal(const OptionSpec& option, const std::string& value, ParsedCommandLine* parsed) {
  GlobalSettings& g = parsed->global;
  if (option.name == "--config") {
    if (value.empty()) {
      parsed->error = "--config needs a folder";
      return false;
    }
    g.configDir = value;
    g.configGiven = true;
  } else if (option.name == "--json") {
    g.json = true;
  } else if (option.name == "--answer") {
    if (!ParseInt(value, 1, 3, &g.answer)) {
      parsed->error = "--answer needs a button number from 1 to 3";
      return false;
    }
    g.answerGiven = true;
  } else if (option.name == "--opener") {
    if (value.find_first_not_of(" \t") == std::string::npos) {
      parsed->error = "--opener needs a program";
      return false;
    }
    g.opener = value;
    g.openerGiven = true;
  } else if (option.name == "--progress-delay") {
    if (!ParseInt(value, 0, 3600000, &g.progressDelayMs)) {
      parsed->error = "--progress-delay needs a number of milliseconds from 0 to 3600000";
      return false;
    }
    g.progressDelayGiven = true;
  } else if (option.name == "--help") {
    parsed->help = true;
  } else if (option.name == "--version") {
    parsed->version = true;
  }
  return true;
}

}  // namespace

std::string ParsedCommandLine::Value(const std::string& option) const {
  auto it = options.find(option);
  return it == options.end() ? std::string() : it->second;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& words, const GlobalSettings& defaults) {
  ParsedCommandLine parsed;
  parsed.global = defaults;
  bool optionsEnded = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    const bool looksLikeOption = !optionsEnded && word.size() > 1 && word[0] == '-';
    if (!looksLikeOption) {
      if (!parsed.command) {
        parsed.command = FindCommandSpec(word);
        if (!parsed.command) {
          parsed.error = "unknown command \"" + word + "\" (see \"ostrel --help\")";
          return parsed;
        }
      } else {
        parsed.args.push_back(word);
      }
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = word;
    std::string value;
    bool hasInlineValue = false;
    if (word.rfind("--", 0) == 0) {
      size_t eq = word.find('=');
      if (eq != std::string::npos) {
        name = word.substr(0, eq);
        value = word.substr(eq + 1);
        hasInlineValue = true;
      }
    }
    const OptionSpec* option = parsed.command ? FindOption(parsed.command->options, name) : nullptr;
    // A command may list a global option (--json) for its help; it stays global.
    const bool global = option == nullptr || FindOption(GlobalOptionSpecs(), option->name) != nullptr;
    if (global) option = FindOption(GlobalOptionSpecs(), name);
    if (!option) {
      parsed.error = "unknown option \"" + name + "\"" +
                     (parsed.command ? " for " + parsed.command->name : std::string()) +
                     " (see \"ostrel " + (parsed.command ? parsed.command->name + " " : std::string()) + "--help\")";
      return parsed;
    }
    if (option->valueName.empty()) {
      if (hasInlineValue) {
        parsed.error = option->name + " takes no value";
        return parsed;
      }
    } else if (!hasInlineValue) {
      if (i + 1 >= words.size()) {
        parsed.error = option->name + " needs a value (" + option->valueName + ")";
        return parsed;
      }
      value = words[++i];
    }
    if (global) {
      if (!ApplyGlobal(*option, value, &parsed)) return parsed;
    } else {
      parsed.options[option->name] = value;
    }
  }
  if (parsed.help || parsed.version) return parsed;
  if (!parsed.command) {
    parsed.error = "no command given (see \"ostrel --help\")";
    return parsed;
  }
  const CommandSpec& spec = *parsed.command;
  if (parsed.args.size() < spec.minArgs || parsed.args.size() > spec.maxArgs) {
    parsed.error = "usage: ostrel " + spec.name + (spec.arguments.empty() ? "" : " " + spec.arguments) +
                   " (see \"ostrel " + spec.name + " --help\")";
  }
  return parsed;
}

bool SplitShellLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  std::string current;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(current);
      current.clear();
      inWord = false;
    } else if (c == '\'') {
      size_t end = line.find('\'', i + 1);
      if (end == std::string::npos) {
        if (error) *error = "a ' quote is not closed";
        return false;
      }
      current += line.substr(i + 1, end - i - 1);
      inWord = true;
      i = end;
    } else if (c == '"') {
      size_t j = i + 1;
      for (; j < line.size() && line[j] != '"'; ++j) {
        if (line[j] == '\\' && j + 1 < line.size() && (line[j + 1] == '"' || line[j + 1] == '\\')) ++j;
        current += line[j];
      }
      if (j >= line.size()) {
        if (error) *error = "a \" quote is not closed";
        return false;
      }
      inWord = true;
      i = j;
    } else if (c == '\\' && i + 1 < line.size()) {
      current += line[++i];
      inWord = true;
    } else {
      current += c;
      inWord = true;
    }
  }
  if (inWord) words->push_back(current);
  return true;
}

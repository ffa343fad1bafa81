// The command line from any bytes: the words (NUL-separated) are parsed, and a line of
// the shell is split; neither fails on any input, and what is parsed agrees with the
// command table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/argparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\0') {
      words.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  const ParsedCommandLine parsed = ParseCommandLine(words);
  if (parsed.Ok() && !parsed.help && !parsed.version) {
    if (!parsed.command) std::abort();
    if (parsed.args.size() < parsed.command->minArgs || parsed.args.size() > parsed.command->maxArgs) std::abort();
    if (parsed.global.answer < 0 || parsed.global.answer > 3) std::abort();
  }
  std::vector<std::string> lineWords;
  std::string error;
  if (SplitShellLine(text, &lineWords, &error)) ParseCommandLine(lineWords);
  return 0;
}

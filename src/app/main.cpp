// ostrel: the command-line client. See "ostrel --help".
#include <string>
#include <vector>

#include "app/appshell.h"

int main(int argc, char** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
  return RunOstrel(words);
}

// `poshark sets guess FILE|-`: which command set a capture was printed with.
#pragma once

#include <string>

namespace poshark::tool {

struct GuessCommand {
  std::string path;  // "-": standard input
  std::string commands;
  std::string codepage;
  bool json = false;
  bool trace = false;  // the input is a trace file (a file is recognised without it)
  bool help = false;
};

// argv[0] is "guess". Bad arguments throw UsageError naming the argument.
GuessCommand ParseGuessArgs(int argc, char** argv);

// Once the command sets and the code page are set up: ranks the sets and
// prints them (text or JSON) on stdout. Exit status 0 when a set is named,
// 1 when none is (the reason on stderr) or the input cannot be read.
int RunGuess(const GuessCommand& cmd);

}  // namespace poshark::tool

// The command line of `poshark listen`.
#pragma once

#include <string>

#include "cli/Listen.h"

namespace poshark::tool {

struct ListenCommand {
  ListenOptions options;
  std::string commands;  // --commands
  std::string home;      // --home
  std::string codepage;  // --codepage, "" when not given
  bool help = false;
};

// Throws UsageError naming the option at fault.
ListenCommand ParseListenArgs(int argc, char** argv);

}  // namespace poshark::tool

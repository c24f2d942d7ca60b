// The help of each command but `listen` (whose options are most of the
// tool's help): `poshark sets --help`, `serve --help`, `trace --help`.
#pragma once

#include <cstdio>
#include <string_view>

namespace poshark::tool {

// Prints the help of sets, serve or trace; false for another command.
bool PrintCommandHelp(std::string_view command, FILE* out);

}  // namespace poshark::tool

// `poshark serve`: every channel of a configuration file in one process,
// JSON Lines out, life as a service.
#pragma once

#include <string>

namespace poshark::tool {

// Exit status: 0 after SIGTERM or SIGINT, 1 when the output cannot be
// opened, 2 for a bad configuration (nothing is started then).
int RunServe(const std::string& config_path);

}  // namespace poshark::tool

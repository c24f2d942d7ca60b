// `poshark collect`: every store's receipts, lines and alarms from the
// broker into the head office's PostgreSQL database (docs/CENTRAL.md).
#pragma once

#include <string>

namespace poshark::tool {

// Exit status: 0 after SIGTERM or SIGINT; 1 when the database cannot be
// opened at start (unreachable, the login refused, a schema of a newer
// poshark) or the broker's settings are refused by the library; 2 for a
// bad configuration.
int RunCollect(const std::string& config_path);

}  // namespace poshark::tool

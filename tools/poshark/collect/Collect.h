// `poshark collect`: every store's receipts, lines and alarms from the
// broker into the head office's PostgreSQL database (docs/CENTRAL.md).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "collect/CentralMessage.h"
#include "collect/CollectConfig.h"

namespace poshark::tool {

// Called on the collector's thread with each batch once it is committed
// (a message the database refused is not in it); it must not wait.
using CommittedBatch = std::function<void(const std::vector<CentralMessage>&)>;

// Exit status: 0 after SIGTERM or SIGINT; 1 when the database cannot be
// opened at start (unreachable, the login refused, a schema of a newer
// poshark) or the broker's settings are refused by the library; 2 for a
// bad configuration.
int RunCollect(const CollectConfig& config, const CommittedBatch& committed = {});

}  // namespace poshark::tool

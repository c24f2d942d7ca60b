// `poshark collect` as a service: the collector, and with [service] http its
// page (search over every store, receipts, the stores' health, the alarms
// as they are committed) and /metrics.
#pragma once

#include <string>

namespace poshark::tool {

// Exit status as RunCollect's; 1 also when the page's address cannot be
// bound. Throws UsageError for a bad configuration.
int RunCollectService(const std::string& config_path);

}  // namespace poshark::tool

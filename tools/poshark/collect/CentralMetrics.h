// The stores' health in collect's /metrics: each store's status and each
// channel's latest receipt, read from the database when the metrics are
// read (a read-only connection per reading, on the reading thread).
#pragma once

#include <vector>

#include "base/Metrics.h"
#include "collect/CollectConfig.h"

namespace poshark::tool {

// poshark_store_online{store} (1 online, 0 offline or never told) and
// poshark_channel_last_receipt_seconds{store,channel} (the start of its
// latest receipt, seconds since 1970). A database that cannot be read adds
// no samples (the log says why).
[[nodiscard]] std::vector<MetricRegistration> AddCentralMetrics(MetricsRegistry& metrics,
                                                                const DatabaseSettings& database);

}  // namespace poshark::tool

// The forwards' counts in /metrics: one family per count, a sample per
// forward, read from each forward's published snapshot.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/Metrics.h"

namespace poshark::tool {

class Forwarder;

// The forwards by name; they outlive the registrations this answers.
using NamedForwards = std::vector<std::pair<std::string, const Forwarder*>>;

std::vector<MetricRegistration> AddForwardMetrics(MetricsRegistry& metrics,
                                                  const NamedForwards& forwards);

}  // namespace poshark::tool

#include "collect/CentralMetrics.h"

#include "base/Log.h"
#include "collect/CentralSearch.h"

namespace poshark::tool {

namespace {

// Runs a reading; a database away is logged, and the family left empty.
template <typename Read>
void Reading(const DatabaseSettings& d, Read read) {
  try {
    CentralSearch db(d.url, d.password);
    read(db);
  } catch (const CentralError& e) {
    Log(LogLevel::kWarning, std::string("metrics: ") + e.what());
  }
}

}  // namespace

std::vector<MetricRegistration> AddCentralMetrics(MetricsRegistry& metrics,
                                                  const DatabaseSettings& database) {
  std::vector<MetricRegistration> families;
  families.push_back(metrics.Add(
      {"poshark_store_online", "1 while the store's last status is online", MetricType::kGauge},
      [database](MetricSamples& out) {
        Reading(database, [&](CentralSearch& db) {
          for (const auto& s : db.Stores())
            out.Add({{"store", s.store}}, s.status == "online" ? 1 : 0);
        });
      }));
  families.push_back(
      metrics.Add({"poshark_channel_last_receipt_seconds",
                   "Start of the channel's latest receipt in the database, seconds since 1970",
                   MetricType::kGauge},
                  [database](MetricSamples& out) {
                    Reading(database, [&](CentralSearch& db) {
                      for (const auto& c : db.Channels()) {
                        if (!c.last_receipt_ms) continue;
                        out.Add({{"store", c.store}, {"channel", c.channel}},
                                static_cast<double>(*c.last_receipt_ms) / 1000);
                      }
                    });
                  }));
  return families;
}

}  // namespace poshark::tool

#include "forward/ForwardMetrics.h"

#include "forward/Forwarder.h"

namespace poshark::tool {

namespace {

struct Family {
  const char* name;
  const char* help;
  MetricType type;
  double (*value)(const ForwardStats&);
};

const Family kFamilies[] = {
    {"poshark_forward_messages_sent_total", "Messages a forward handed to its broker (resent too)",
     MetricType::kCounter, [](const ForwardStats& s) { return double(s.sent); }},
    {"poshark_forward_messages_acknowledged_total", "Messages the broker acknowledged",
     MetricType::kCounter, [](const ForwardStats& s) { return double(s.acknowledged); }},
    {"poshark_forward_in_flight", "Messages sent and not yet acknowledged", MetricType::kGauge,
     [](const ForwardStats& s) { return double(s.in_flight); }},
    {"poshark_forward_backlog_receipts", "Closed receipts the broker has not acknowledged",
     MetricType::kGauge, [](const ForwardStats& s) { return double(s.backlog_receipts); }},
    {"poshark_forward_backlog_seconds", "Age of the oldest receipt not acknowledged",
     MetricType::kGauge, [](const ForwardStats& s) { return double(s.backlog_seconds); }},
    {"poshark_forward_reconnects_total", "Connections made after the first", MetricType::kCounter,
     [](const ForwardStats& s) { return double(s.reconnects); }},
    {"poshark_forward_pruned_unsent_total", "Receipts keep removed before they were sent",
     MetricType::kCounter, [](const ForwardStats& s) { return double(s.pruned_unsent); }},
    {"poshark_forward_unheard_total",
     "Messages the broker acknowledged with no matching subscribers (sent again with "
     "needs_subscriber)",
     MetricType::kCounter, [](const ForwardStats& s) { return double(s.unheard); }},
    {"poshark_forward_holding", "1 while held back for want of a subscriber (needs_subscriber)",
     MetricType::kGauge, [](const ForwardStats& s) { return s.holding ? 1.0 : 0.0; }},
    {"poshark_forward_up", "1 while connected to the broker", MetricType::kGauge,
     [](const ForwardStats& s) { return s.connected ? 1.0 : 0.0; }},
};

}  // namespace

std::vector<MetricRegistration> AddForwardMetrics(MetricsRegistry& metrics,
                                                  const NamedForwards& forwards) {
  std::vector<MetricRegistration> added;
  if (forwards.empty()) return added;
  for (const Family& f : kFamilies) {
    added.push_back(metrics.Add({f.name, f.help, f.type}, [&f, forwards](MetricSamples& out) {
      for (const auto& [name, forward] : forwards)
        out.Add({{"forward", name}}, f.value(forward->Counters().Snapshot()));
    }));
  }
  return added;
}

}  // namespace poshark::tool

// Metrics of a running service in the Prometheus text format (version
// 0.0.4), as /metrics on the page's address serves them.
//
// A part of the service adds each family it counts with one call, giving a
// collector that writes the family's samples when the metrics are read:
//
//   registration_ = metrics.Add({"poshark_forward_messages_total",
//                                "Messages sent by a forward", MetricType::kCounter},
//                               [this](MetricSamples& out) {
//                                 out.Add({{"forward", name_}}, sent_.load());
//                               });
//
// Collectors run on the thread that reads the metrics (a page request
// thread), one at a time, under the registry's lock: they may read only
// what is safe to read from there (atomics, a published snapshot) and must
// not call the registry. A family ends when its registration is destroyed;
// that waits for a reading in progress, so a collector never outlives what
// it reads.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace poshark::tool {

enum class MetricType { kCounter, kGauge };

// A family's name ([a-z_:][a-z0-9_:]*; a counter's ends in _total), its
// help text (one line) and type.
struct MetricFamily {
  std::string name;
  std::string help;
  MetricType type = MetricType::kCounter;
};

// The samples one collector writes: label pairs and a value each.
class MetricSamples {
 public:
  using Labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;
  // One sample; label values are escaped here.
  void Add(Labels labels, double value);
  void Add(double value) { Add({}, value); }

 private:
  friend class MetricsRegistry;
  explicit MetricSamples(std::string& out, std::string_view name) : out_(out), name_(name) {}
  std::string& out_;
  std::string_view name_;
};

class MetricsRegistry;

// Keeps a family in its registry while it lives; movable, not copyable.
class MetricRegistration {
 public:
  MetricRegistration() = default;
  ~MetricRegistration();
  MetricRegistration(MetricRegistration&& other) noexcept;
  MetricRegistration& operator=(MetricRegistration&& other) noexcept;
  MetricRegistration(const MetricRegistration&) = delete;
  MetricRegistration& operator=(const MetricRegistration&) = delete;

 private:
  friend class MetricsRegistry;
  MetricRegistration(MetricsRegistry* registry, uint64_t id) : registry_(registry), id_(id) {}
  MetricsRegistry* registry_ = nullptr;
  uint64_t id_ = 0;
};

class MetricsRegistry {
 public:
  using Collector = std::function<void(MetricSamples&)>;

  // Adds a family; throws std::invalid_argument for a name that is not a
  // metric name or is already taken. The registry must outlive the
  // registration. Any thread.
  [[nodiscard]] MetricRegistration Add(MetricFamily family, Collector collect);
  // Every family, in name order, with its HELP and TYPE lines. Any thread.
  std::string Render() const;

 private:
  friend class MetricRegistration;
  void Remove(uint64_t id);

  struct Entry {
    MetricFamily family;
    Collector collect;
  };
  mutable std::mutex mutex_;  // guards the members below; held while collecting
  std::map<std::string, uint64_t> by_name_;
  std::map<uint64_t, Entry> entries_;
  uint64_t next_id_ = 1;
};

}  // namespace poshark::tool

// The health of `poshark serve` as its watchers see it: /healthz (every
// channel's state), /metrics (the channels' and the journal's counts, the
// page's streams) and the STATUS= line for the service manager.
//
// The service's loop publishes a view of its channels after every round
// (Publish); the page's request threads read the latest view (Health, the
// collectors of the metric families). Counts come from each channel's
// ChannelCounters, shared with the channel and read atomically.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/Metrics.h"
#include "channel/ChannelCounters.h"

namespace poshark::tool {

class Journal;
class LiveFeed;

// A channel's state: listening (or replaying); waiting to try again after a
// failure, for less than the longest back-off so far; failing for so long
// that its back-off reached the longest (or a feed that ended on an error);
// a feed that was replayed to its end.
enum class ChannelState { kRunning, kRetrying, kFailed, kEnded };

// One channel as the loop last saw it.
struct ChannelView {
  std::string name;
  std::string source;  // where it listens or what it reads
  ChannelState state = ChannelState::kRetrying;
  std::string last_error;  // "" when none
  uint64_t restarts = 0;   // starts after the first (retries and restarts on reload)
  std::shared_ptr<const ChannelCounters> counters;
};

// How many channels are in each state.
struct ChannelTally {
  int running = 0;
  int retrying = 0;
  int failed = 0;
  int ended = 0;
};

class ServiceHealth {
 public:
  // Adds the metric families to the registry. The journal and the feed may
  // be null (none configured); both must outlive this object.
  ServiceHealth(MetricsRegistry& metrics, const Journal* journal, LiveFeed* feed);

  // Called by the service's loop; replaces the view.
  void Publish(std::vector<ChannelView> channels);
  // The tally of the view last published.
  ChannelTally Tally();
  // /healthz: 200 when every channel is running, retrying or ended, 503
  // when one failed; and the JSON document of every channel's state,
  // source, last line time and last error.
  std::pair<int, std::string> Health();

 private:
  void AddChannelFamilies(MetricsRegistry& metrics);
  void AddStateFamilies(MetricsRegistry& metrics);
  void AddServiceFamilies(MetricsRegistry& metrics, const Journal* journal, LiveFeed* feed);
  // Calls fn(view) for each channel of the latest view; under mutex_.
  template <typename Fn>
  void ForEach(Fn fn);

  std::mutex mutex_;  // guards channels_
  std::vector<ChannelView> channels_;
  std::vector<MetricRegistration> families_;  // last: end before the rest
};

// "running", "retrying", "failed" or "ended".
const char* StateName(ChannelState state);
// The STATUS= text: "2 channels running, 1 retrying, 0 failed".
std::string StatusText(const ChannelTally& tally);

}  // namespace poshark::tool

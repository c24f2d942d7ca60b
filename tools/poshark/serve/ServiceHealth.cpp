#include "serve/ServiceHealth.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

#include "journal/Journal.h"
#include "page/LiveFeed.h"

namespace poshark::tool {

namespace {

constexpr int kHealthy = 200;
constexpr int kUnhealthy = 503;
constexpr double kMicrosPerSecond = 1e6;
constexpr double kMsPerSecond = 1e3;
// Room for an ISO time of any year an int holds.
constexpr size_t kTimeText = 64;

using Counter = std::atomic<uint64_t> ChannelCounters::*;

// The per-channel counters that are one family each.
struct CounterFamily {
  const char* name;
  const char* help;
  Counter counter;
};
constexpr CounterFamily kCounterFamilies[] = {
    {"poshark_channel_lines_total", "Lines delivered", &ChannelCounters::lines},
    {"poshark_channel_bytes_total", "Bytes given to the listener", &ChannelCounters::bytes},
    {"poshark_channel_receipts_total", "Receipts ended", &ChannelCounters::receipts},
    {"poshark_channel_overflow_notes_total", "Notes that the listener lost lines",
     &ChannelCounters::overflow_notes},
    {"poshark_channel_source_connections_total",
     "Connections taken by a tcp or tap source; openings of a serial port",
     &ChannelCounters::connections},
};

// "2024-03-14T09:41:02.123Z": UTC, so that a request thread never touches
// the time zone (local time conversion is not safe beside the output loop's).
std::string UtcTime(int64_t epoch_ms) {
  const time_t seconds = static_cast<time_t>(epoch_ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[kTimeText];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(epoch_ms % 1000));
  return text;
}

double Load(const std::atomic<uint64_t>& counter) {
  return static_cast<double>(counter.load(std::memory_order_relaxed));
}

}  // namespace

const char* StateName(ChannelState state) {
  switch (state) {
    case ChannelState::kRunning:
      return "running";
    case ChannelState::kRetrying:
      return "retrying";
    case ChannelState::kFailed:
      return "failed";
    case ChannelState::kEnded:
      return "ended";
  }
  return "unknown";
}

std::string StatusText(const ChannelTally& tally) {
  return std::to_string(tally.running + tally.ended) + " channels running, " +
         std::to_string(tally.retrying) + " retrying, " + std::to_string(tally.failed) + " failed";
}

ServiceHealth::ServiceHealth(MetricsRegistry& metrics, const Journal* journal, LiveFeed* feed) {
  AddChannelFamilies(metrics);
  AddServiceFamilies(metrics, journal, feed);
}

template <typename Fn>
void ServiceHealth::ForEach(Fn fn) {
  std::lock_guard lock(mutex_);
  for (const ChannelView& view : channels_) fn(view);
}

void ServiceHealth::AddChannelFamilies(MetricsRegistry& metrics) {
  using T = MetricType;
  for (const CounterFamily& f : kCounterFamilies) {
    families_.push_back(metrics.Add({f.name, f.help, T::kCounter}, [this, f](MetricSamples& out) {
      ForEach([&](const ChannelView& v) {
        out.Add({{"channel", v.name}}, Load((*v.counters).*f.counter));
      });
    }));
  }
  families_.push_back(metrics.Add(
      {"poshark_channel_lost_bytes_total",
       "Bytes lost: in lines the listener had no room for (overflow), or passed by a tap "
       "without being read (intake)",
       T::kCounter},
      [this](MetricSamples& out) {
        ForEach([&](const ChannelView& v) {
          out.Add({{"channel", v.name}, {"cause", "overflow"}}, Load(v.counters->overflow_bytes));
          out.Add({{"channel", v.name}, {"cause", "intake"}}, Load(v.counters->intake_lost));
        });
      }));
  families_.push_back(metrics.Add(
      {"poshark_channel_tap_bytes_total", "Bytes a tap passed on, by direction", T::kCounter},
      [this](MetricSamples& out) {
        ForEach([&](const ChannelView& v) {
          out.Add({{"channel", v.name}, {"direction", "to_printer"}}, Load(v.counters->to_printer));
          out.Add({{"channel", v.name}, {"direction", "from_printer"}},
                  Load(v.counters->from_printer));
        });
      }));
  families_.push_back(metrics.Add(
      {"poshark_channel_restarts_total", "Starts of a channel after its first", T::kCounter},
      [this](MetricSamples& out) {
        ForEach([&](const ChannelView& v) {
          out.Add({{"channel", v.name}}, static_cast<double>(v.restarts));
        });
      }));
  families_.push_back(metrics.Add(
      {"poshark_channel_source_up", "1 while the source listens, is present or replays", T::kGauge},
      [this](MetricSamples& out) {
        ForEach([&](const ChannelView& v) {
          out.Add({{"channel", v.name}}, v.counters->source_up.load() ? 1 : 0);
        });
      }));
  AddStateFamilies(metrics);
}

void ServiceHealth::AddStateFamilies(MetricsRegistry& metrics) {
  using T = MetricType;
  families_.push_back(metrics.Add(
      {"poshark_channel_state", "1 for the state the channel is in", T::kGauge},
      [this](MetricSamples& out) {
        ForEach([&](const ChannelView& v) {
          for (ChannelState s : {ChannelState::kRunning, ChannelState::kRetrying,
                                 ChannelState::kFailed, ChannelState::kEnded})
            out.Add({{"channel", v.name}, {"state", StateName(s)}}, v.state == s ? 1 : 0);
        });
      }));
  families_.push_back(metrics.Add(
      {"poshark_channel_last_line_timestamp_seconds",
       "Wall time of the channel's last line, in seconds since the epoch; 0 before the first",
       T::kGauge},
      [this](MetricSamples& out) {
        ForEach([&](const ChannelView& v) {
          out.Add({{"channel", v.name}},
                  static_cast<double>(v.counters->last_line_ms.load()) / kMsPerSecond);
        });
      }));
}

void ServiceHealth::AddServiceFamilies(MetricsRegistry& metrics, const Journal* journal,
                                       LiveFeed* feed) {
  using T = MetricType;
  if (journal != nullptr) {
    auto add = [&](const char* name, const char* help, T type, auto value) {
      families_.push_back(metrics.Add({name, help, type}, [journal, value](MetricSamples& out) {
        out.Add(value(journal->Stats()));
      }));
    };
    add("poshark_journal_commits_total", "Journal transactions committed", T::kCounter,
        [](const JournalStats& s) { return static_cast<double>(s.commits); });
    add("poshark_journal_commit_seconds_total", "Time spent committing", T::kCounter,
        [](const JournalStats& s) {
          return static_cast<double>(s.commit_micros) / kMicrosPerSecond;
        });
    add("poshark_journal_disk_errors_total", "Journal writes or commits that failed", T::kCounter,
        [](const JournalStats& s) { return static_cast<double>(s.disk_errors); });
    add("poshark_journal_dropped_lines_total", "Lines not journaled: the queue was full",
        T::kCounter, [](const JournalStats& s) { return static_cast<double>(s.dropped); });
    add("poshark_journal_queue_lines", "Lines waiting for the journal's writer", T::kGauge,
        [](const JournalStats& s) { return static_cast<double>(s.queued_lines); });
  }
  if (feed != nullptr) {
    families_.push_back(
        metrics.Add({"poshark_page_streams", "Live page streams open", T::kGauge},
                    [feed](MetricSamples& out) { out.Add(static_cast<double>(feed->Streams())); }));
  }
}

void ServiceHealth::Publish(std::vector<ChannelView> channels) {
  std::lock_guard lock(mutex_);
  channels_ = std::move(channels);
}

ChannelTally ServiceHealth::Tally() {
  ChannelTally tally;
  ForEach([&](const ChannelView& v) {
    switch (v.state) {
      case ChannelState::kRunning:
        ++tally.running;
        break;
      case ChannelState::kRetrying:
        ++tally.retrying;
        break;
      case ChannelState::kFailed:
        ++tally.failed;
        break;
      case ChannelState::kEnded:
        ++tally.ended;
        break;
    }
  });
  return tally;
}

std::pair<int, std::string> ServiceHealth::Health() {
  nlohmann::ordered_json channels = nlohmann::ordered_json::array();
  bool healthy = true;
  ForEach([&](const ChannelView& v) {
    healthy = healthy && v.state != ChannelState::kFailed;
    const int64_t last_ms = v.counters->last_line_ms.load();
    nlohmann::ordered_json c;
    c["name"] = v.name;
    c["state"] = StateName(v.state);
    c["source"] = v.source;
    c["last_line"] = last_ms > 0 ? nlohmann::ordered_json(UtcTime(last_ms)) : nullptr;
    c["last_error"] = v.last_error.empty() ? nlohmann::ordered_json(nullptr)
                                           : nlohmann::ordered_json(v.last_error);
    channels.push_back(std::move(c));
  });
  nlohmann::ordered_json doc;
  doc["status"] = healthy ? "ok" : "failing";
  doc["channels"] = std::move(channels);
  return {healthy ? kHealthy : kUnhealthy,
          doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n"};
}

}  // namespace poshark::tool

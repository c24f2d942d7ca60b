// What a forward has done, for /metrics and the tests: written by the
// forward's thread, read from any thread through a snapshot.
#pragma once

#include <cstdint>
#include <mutex>

namespace poshark::tool {

struct ForwardStats {
  uint64_t sent = 0;             // messages handed to the broker, resent ones too
  uint64_t acknowledged = 0;     // messages the broker acknowledged
  int64_t in_flight = 0;         // sent, not yet acknowledged
  int64_t backlog_receipts = 0;  // closed receipts the broker has not acknowledged
  int64_t backlog_seconds = 0;   // age of the oldest of them, 0 when none
  uint64_t reconnects = 0;       // connections made after the first
  int64_t pruned_unsent = 0;     // receipts keep removed before they were sent
  uint64_t unheard = 0;          // acknowledged with "no matching subscribers"
  bool connected = false;
  bool holding = false;  // needs_subscriber: held back, no subscriber at the broker
};

class ForwardCounters {
 public:
  ForwardStats Snapshot() const {
    std::lock_guard lock(mutex_);
    return stats_;
  }
  void Set(const ForwardStats& stats) {
    std::lock_guard lock(mutex_);
    stats_ = stats;
  }

 private:
  mutable std::mutex mutex_;
  ForwardStats stats_;  // guarded by mutex_
};

}  // namespace poshark::tool

// Flow control for a host that feeds bytes faster than the analyzer takes
// them.
//
// Contract: in host-feed mode, while the analyzer runs, the intake calls
// AfterQueue after every block of chunks it queued. Once the analyze queue
// holds kHoldBytes or more, the call wakes the analyzer and holds the host's
// thread until fewer than kResumeBytes are queued, the listener stops, or
// kHoldMaxMs pass. The queue of a channel fed as fast as the host can
// therefore stays bounded (and its records are reused instead of allocated),
// and nothing is dropped. A hold that runs out of time (an analyzer that
// takes nothing) ends holding until the queue falls below kResumeBytes
// again: a stuck analyzer costs the host one wait, not one per block. The
// serial reader is never held: its port's buffer would overflow instead.
//
// Locking: AfterQueue runs on the intake's thread; the flags are atomics and
// the queue locks itself. The events are created before the analyzer starts
// and live as long as the listener.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

class RCDataQueue;

namespace poshark::platform {
class Event;
}

namespace poshark::listener {

// Queued bytes that hold the host, the level that lets it go on, and the
// longest hold.
inline constexpr int kHoldBytes = 128 * 1024;
inline constexpr int kResumeBytes = 64 * 1024;
inline constexpr int kHoldMaxMs = 1000;

// What the hold reads; every member refers to the listener's own.
struct IntakeHoldRefs {
  RCDataQueue& analyzeQueue;
  const std::atomic<bool>& bHostFeed;
  const std::atomic<bool>& bAnalyzeRun;
  std::unique_ptr<platform::Event>& hAnalyzeEvent;
  std::unique_ptr<platform::Event>& hStopEvent;
};

class IntakeHold {
 public:
  explicit IntakeHold(const IntakeHoldRefs& refs) : refs_(refs) {}

  void AfterQueue();

 private:
  IntakeHoldRefs refs_;
  bool bGaveUp_ = false;  // the last hold ran out of time
};

}  // namespace poshark::listener

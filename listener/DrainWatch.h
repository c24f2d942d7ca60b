// What a host that has said "no more bytes will come" waits for: the
// analyzer and the writer parked with nothing left to do.
//
// Contract: the analyzer and the writer call Park as they start to wait for
// work and Unpark as they wake. A host that ended its input (EndInput) waits
// in WaitUntil for its own test of the queues together with Parked; every
// Park while a host waits makes it test again. ResumeInput (the next bytes
// handed over) takes the end back.
//
// Locking: the marks and the end flag are atomics, read and written without
// a lock; lock_ only pairs the waiting host with the Park that wakes it, and
// a worker takes it only while a host waits, so the workers pay one atomic
// load per wait when nobody ends input.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>

#include "platform/ThreadAnnotations.h"

namespace poshark::listener {

class DrainWatch {
 public:
  enum Worker { kAnalyzer = 0, kWriter = 1, kWorkers = 2 };

  void Park(Worker who) EXCLUDES(lock_);
  void Unpark(Worker who) { parked_[who] = false; }
  bool Parked(Worker who) const { return parked_[who]; }

  void EndInput() { bEnded_ = true; }
  void ResumeInput() {
    if (bEnded_.load(std::memory_order_relaxed)) bEnded_ = false;
  }
  bool InputEnded() const { return bEnded_; }

  // Waits until bDone answers true (true) or the deadline passes (false).
  // bDone is asked at once and again after every Park.
  bool WaitUntil(const std::function<bool()>& bDone, std::chrono::steady_clock::time_point deadline)
      EXCLUDES(lock_);

 private:
  std::atomic<bool> parked_[kWorkers] = {};
  std::atomic<bool> bEnded_{false};
  std::atomic<int> nWaiters_{0};
  platform::Mutex lock_;
  std::condition_variable_any wake_;
};

}  // namespace poshark::listener

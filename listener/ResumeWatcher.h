// ResumeWatcher: the port resume watcher of one listener. When the serial
// reader reports a lost port, it stops the listener's workers, reopens the
// port at once and then every kRetryMs until it is back, and restarts
// listening; the stop event ends it.
//
// Contract: Run is the body of the listener's watcher thread; one Run at a
// time. Every wait in it includes the stop event and none lasts longer than
// kRetryMs (or the settle pause, which the stop event also ends), so a stop
// is honoured promptly without killing the thread. The three steps it takes
// on the listener (stop the workers, reopen, restart) run on the watcher's
// thread under the listener's lifecycle lock, which the watcher takes only
// while not asked to stop: the host may hold that lock while it waits for a
// stopping watcher to end.
//
// Locking: mu_ guards the identity of the thread running Run, which any
// thread may ask for (IsWatcherThread); the rest of Run's state is local.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ThreadAnnotations.h"

namespace poshark::platform {
class Event;
}

namespace poshark::listener {

class ResumeWatcher {
 public:
  static constexpr int kRetryMs = 100;
  static constexpr int kMaxSettleMs = 5000;

  // What the watcher works on. The events and the lock outlive Run.
  struct Listener {
    std::atomic<bool>& bRun;             // cleared to end the watcher
    poshark::platform::Event& stop;      // manual-reset: ends the watcher
    poshark::platform::Event& portLost;  // manual-reset: set while the port is lost
    std::recursive_mutex& lifecycle;     // the listener's lifecycle lock
    std::function<void()> stopWorkers;   // stops the workers, clears the run state
    std::function<bool()> reopen;        // closes and reopens the port; true when open
    std::function<void()> restart;       // purges the port and starts listening again
  };

  // Watches until the stop event or a cleared run flag.
  void Run(const Listener& listener) EXCLUDES(mu_);
  // True on the thread running Run: the listener's restart, called from
  // there, must keep the watcher alive rather than wait for it.
  bool IsWatcherThread() const EXCLUDES(mu_);

 private:
  enum class Attempt { kReopened, kFailed, kStopped };

  // First pass after a loss: stops the workers, then waits out the settle
  // pause. False when a stop came first.
  static bool StopListening(const Listener& listener);
  // One reopening; on failure waits kRetryMs for the stop event.
  static Attempt Reopen(const Listener& listener);

  mutable poshark::platform::Mutex mu_;
  std::thread::id watcher_ GUARDED_BY(mu_);
};

}  // namespace poshark::listener

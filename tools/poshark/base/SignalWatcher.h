// SIGINT, SIGTERM and SIGHUP taken on a thread of their own.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace poshark::tool {

// SIGINT, SIGTERM and SIGHUP, taken on a thread of their own: the callback
// runs there. The signals stay blocked in every thread.
class SignalWatcher {
 public:
  explicit SignalWatcher(std::function<void(int)> on_signal);
  ~SignalWatcher();

 private:
  std::function<void(int)> on_signal_;
  sigset_t set_;
  std::atomic<bool> finishing_{false};
  std::thread thread_;
};

}  // namespace poshark::tool

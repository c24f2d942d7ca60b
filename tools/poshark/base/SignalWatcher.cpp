#include "base/SignalWatcher.h"

#include <pthread.h>

namespace poshark::tool {

SignalWatcher::SignalWatcher(std::function<void(int)> on_signal)
    : on_signal_(std::move(on_signal)) {
  sigemptyset(&set_);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set_, sig);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  thread_ = std::thread([this] {
    int sig = 0;
    while (sigwait(&set_, &sig) == 0) {
      if (sig == SIGUSR1) {
        if (finishing_) break;
        continue;
      }
      on_signal_(sig);
    }
  });
}

SignalWatcher::~SignalWatcher() {
  finishing_ = true;
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}

}  // namespace poshark::tool

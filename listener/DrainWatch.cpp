// The analyzer's and the writer's parking marks, and the host's wait for both.
#include "listener/DrainWatch.h"

namespace poshark::listener {

void DrainWatch::Park(Worker who) {
  parked_[who] = true;
  if (nWaiters_.load() == 0) {
    return;
  }
  // Taken so that a host between its test and its wait cannot miss this.
  platform::MutexLock guard(lock_);
  wake_.notify_all();
}

bool DrainWatch::WaitUntil(const std::function<bool()>& bDone,
                           std::chrono::steady_clock::time_point deadline) {
  ++nWaiters_;
  bool bResult;
  {
    platform::MutexLock guard(lock_);
    bResult = wake_.wait_until(lock_, deadline, bDone);
  }
  --nWaiters_;
  return bResult;
}

}  // namespace poshark::listener

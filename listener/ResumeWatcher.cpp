// The port resume watcher's settle time and lock.
#include "listener/ResumeWatcher.h"

#include <algorithm>

#include "platform/Event.h"
#include "platform/Profile.h"

namespace poshark::listener {

int SettleTimeMs() {
  int nMs = platform::GetPrivateProfileIntA("Resume", "SettleTime", 0, "ComPorts.ini");
  return std::clamp(nMs, 0, kMaxSettleMs);
}

bool LockUnlessStopped(std::unique_lock<std::mutex>& lock, platform::Event& stop) {
  constexpr int kRecheckMs = 10;
  while (!lock.try_lock()) {
    if (stop.Wait(kRecheckMs)) {
      return false;
    }
  }
  if (stop.Wait(0)) {
    lock.unlock();  // stopped while we waited: no restart behind the host's back
    return false;
  }
  return true;
}

}  // namespace poshark::listener

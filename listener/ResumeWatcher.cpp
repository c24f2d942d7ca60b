// Port resume watcher: when the serial reader reports a lost port, stops the
// workers, reopens the port every 100 ms until it is back, and restarts
// listening.
//
// Every wait here includes hResumeStopEvent and none lasts longer than
// 100 ms (or the configured settle pause, which the stop event also ends),
// so the destructor's 1000 ms bound holds without killing the thread.
#include <poshark/RCPosHark.h>

#include <algorithm>
#include <mutex>

#include "listener/RCSerialPort.h"
#include "platform/Event.h"
#include "platform/Profile.h"

using poshark::platform::kInfinite;
using poshark::platform::WaitForAny;

namespace {

constexpr int kRetryMs = 100;
constexpr int kMaxSettleMs = 5000;

// Optional pause between stopping the workers and the first reopening, for
// adapters whose device node comes back before the driver is ready:
// ComPorts.ini, section [Resume], key SettleTime (ms, 0 to 5000, default 0).
int SettleTimeMs() {
  int nMs = poshark::platform::GetPrivateProfileIntA("Resume", "SettleTime", 0, "ComPorts.ini");
  return std::clamp(nMs, 0, kMaxSettleMs);
}

// Takes the lifecycle lock, unless the watcher is asked to stop first: the
// host may hold the lock while it waits for a stopping watcher to end. While
// the host holds it, the watcher sleeps on its stop event and tries again
// every 10 ms; a free lock is taken at once.
bool LockUnlessStopped(std::unique_lock<std::recursive_mutex>& lock,
                       poshark::platform::Event& stop) {
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

}  // namespace

void RCPosHark::USBResumeThread() {
  bool bFirstPass = true;
  while (bResumeRun) {
    int nWake = WaitForAny({hResumeStopEvent.get(), hPortLostEvent.get()}, kInfinite);
    if (nWake == 0) {
      bResumeRun = false;
      break;
    }
    if (nWake != 1) {
      continue;
    }

    std::unique_lock<std::recursive_mutex> lifecycle(csLifecycle, std::defer_lock);
    if (bFirstPass) {
      if (!LockUnlessStopped(lifecycle, *hResumeStopEvent)) {
        bResumeRun = false;
        break;
      }
      // The port is about to be closed and reopened anyway: the break event
      // gets a still-running reader out at once instead of within 500 ms.
      m_Serial->Break();
      StopWorkers();
      bGateOpen = false;
      bStarted = false;
      bRunning = false;
      bFirstPass = false;
      lifecycle.unlock();
      int nSettleMs = SettleTimeMs();
      if (nSettleMs > 0 && hResumeStopEvent->Wait(nSettleMs)) {
        bResumeRun = false;
        break;
      }
    }

    if (!LockUnlessStopped(lifecycle, *hResumeStopEvent)) {
      bResumeRun = false;
      break;
    }
    if (ReOpenCom()) {
      hPortLostEvent->Reset();
      m_Serial->Purge();
      ListenStart(pfnLineOut, false);
      bFirstPass = true;
      continue;
    }
    lifecycle.unlock();
    if (hResumeStopEvent->Wait(kRetryMs)) {
      bResumeRun = false;
      break;
    }
  }
}

void RCPosHark::USBResumeStart() {
  if (hPortLostEvent) {
    hPortLostEvent->Set();
  }
}

void RCPosHark::USBResumeStop() {
  if (hPortLostEvent) {
    hPortLostEvent->Reset();
  }
  if (hResumeStopEvent) {
    hResumeStopEvent->Set();
  }
}

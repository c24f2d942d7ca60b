// Port resume watcher: when the serial reader reports a lost port, stops the
// workers, reopens the port every 100 ms until it is back, and restarts
// listening.
#include "listener/ResumeWatcher.h"

#include <poshark/RCPosHark.h>

#include <algorithm>

#include "listener/RCSerialPort.h"
#include "listener/ThreadEntry.h"
#include "platform/Event.h"
#include "platform/Profile.h"

using poshark::platform::kInfinite;
using poshark::platform::WaitForAny;

namespace poshark::listener {

namespace {

// Optional pause between stopping the workers and the first reopening, for
// adapters whose device node comes back before the driver is ready:
// ComPorts.ini, section [Resume], key SettleTime (ms, 0 to 5000, default 0).
int SettleTimeMs() {
  int nMs = platform::GetPrivateProfileIntA("Resume", "SettleTime", 0, "ComPorts.ini");
  return std::clamp(nMs, 0, ResumeWatcher::kMaxSettleMs);
}

// Takes the lifecycle lock, unless the watcher is asked to stop first: the
// host may hold the lock while it waits for a stopping watcher to end. While
// the host holds it, the watcher sleeps on its stop event and tries again
// every 10 ms; a free lock is taken at once.
bool LockUnlessStopped(std::unique_lock<std::recursive_mutex>& lock, platform::Event& stop) {
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

void ResumeWatcher::Run(const Listener& l) {
  {
    platform::MutexLock lock(mu_);
    watcher_ = std::this_thread::get_id();
  }
  struct Forget {
    ResumeWatcher& self;
    ~Forget() {
      platform::MutexLock lock(self.mu_);
      self.watcher_ = std::thread::id();
    }
  } forget{*this};

  bool bFirstPass = true;
  while (l.bRun) {
    int nWake = WaitForAny({&l.stop, &l.portLost}, kInfinite);
    if (nWake == 0) {
      l.bRun = false;
      break;
    }
    if (nWake != 1) {
      continue;
    }
    if (bFirstPass) {
      if (!StopListening(l)) {
        l.bRun = false;
        break;
      }
      bFirstPass = false;
    }
    Attempt attempt = Reopen(l);
    if (attempt == Attempt::kStopped) {
      l.bRun = false;
      break;
    }
    bFirstPass = attempt == Attempt::kReopened;
  }
}

bool ResumeWatcher::IsWatcherThread() const {
  platform::MutexLock lock(mu_);
  return watcher_ == std::this_thread::get_id();
}

bool ResumeWatcher::StopListening(const Listener& l) {
  std::unique_lock<std::recursive_mutex> lifecycle(l.lifecycle, std::defer_lock);
  if (!LockUnlessStopped(lifecycle, l.stop)) {
    return false;
  }
  l.stopWorkers();
  lifecycle.unlock();
  int nSettleMs = SettleTimeMs();
  return nSettleMs == 0 || !l.stop.Wait(nSettleMs);
}

ResumeWatcher::Attempt ResumeWatcher::Reopen(const Listener& l) {
  std::unique_lock<std::recursive_mutex> lifecycle(l.lifecycle, std::defer_lock);
  if (!LockUnlessStopped(lifecycle, l.stop)) {
    return Attempt::kStopped;
  }
  if (l.reopen()) {
    l.portLost.Reset();
    l.restart();
    return Attempt::kReopened;
  }
  lifecycle.unlock();
  return l.stop.Wait(kRetryMs) ? Attempt::kStopped : Attempt::kFailed;
}

}  // namespace poshark::listener

void RCPosHark::USBResumeThread() {
  poshark::listener::RunReportingExceptions(nPOSNo, "port resume watcher", [this] {
    poshark::listener::ResumeWatcher::Listener listener{bResumeRun,
                                                        *hResumeStopEvent,
                                                        *hPortLostEvent,
                                                        csLifecycle,
                                                        [this] {
                                                          // The port is about to be closed and
                                                          // reopened anyway: the break event gets a
                                                          // still-running reader out at once.
                                                          m_Serial->Break();
                                                          StopWorkers();
                                                          bGateOpen = false;
                                                          bStarted = false;
                                                          bRunning = false;
                                                        },
                                                        [this] { return ReOpenCom() != 0; },
                                                        [this] {
                                                          m_Serial->Purge();
                                                          ListenStart(pfnLineOut, false);
                                                        }};
    m_Resume->Run(listener);
  });
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

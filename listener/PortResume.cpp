// RCPosHark's port resume watcher: when the serial reader reports a lost
// port, stop listening, wait for the device to come back, reopen it and
// listen again.
#include <poshark/RCPosHark.h>

#include "listener/RCSerialPort.h"
#include "listener/ResumeWatcher.h"
#include "listener/SerialLink.h"
#include "listener/ThreadEntry.h"
#include "platform/Event.h"

using poshark::platform::Event;

void RCPosHark::USBResumeThread() {
  poshark::listener::RunReportingExceptions(nPOSNo, "port resume watcher", [this] {
    Event& stop = *hResumeStopEvent;
    Event& lost = *hPortLostEvent;
    while (bResumeRun) {
      const int nWake = poshark::platform::WaitForAny({&stop, &lost}, poshark::platform::kInfinite);
      if (nWake == 0 || (nWake == 1 && (!StopForReopen(stop) || !ReopenAndListen(stop)))) {
        break;
      }
    }
    bResumeRun = false;
  });
}

bool RCPosHark::StopForReopen(Event& stop) {
  {
    std::unique_lock<std::mutex> lifecycle(csLifecycle, std::defer_lock);
    if (!poshark::listener::LockUnlessStopped(lifecycle, stop)) {
      return false;
    }
    // The port is about to be closed and reopened anyway: the break event
    // gets a still-running reader out at once.
    m_Serial->Break();
    StopWorkers();
    bGateOpen = false;
    bStarted = false;
    bRunning = false;
  }
  const int nSettleMs = poshark::listener::SettleTimeMs();
  return nSettleMs == 0 || !stop.Wait(nSettleMs);
}

bool RCPosHark::ReopenAndListen(Event& stop) {
  while (bResumeRun) {
    {
      std::unique_lock<std::mutex> lifecycle(csLifecycle, std::defer_lock);
      if (!poshark::listener::LockUnlessStopped(lifecycle, stop)) {
        return false;
      }
      if (!hPortLostEvent->Wait(0)) {
        return true;  // a start by the host meanwhile: back to watching
      }
      if (ReOpenCom()) {
        hPortLostEvent->Reset();
        m_Serial->Purge();
        StartLocked(pfnLineOut, false, /*bByWatcher=*/true);
        return true;
      }
    }
    if (stop.Wait(poshark::listener::kResumeRetryMs)) {
      return false;
    }
  }
  return false;
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

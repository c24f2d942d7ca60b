// A listener's worker thread.
#include "listener/Worker.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "listener/ThreadEntry.h"
#include "platform/Debug.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace poshark::listener {

void Worker::Start(std::function<void()> body, platform::Event* pExit) {
  char szName[32];
  std::snprintf(szName, sizeof szName, "pos%d.%s", nPOSNo_, role_.c_str());
  bRun = true;
  try {
    thread = std::thread([this, body = std::move(body), name = std::string(szName), pExit] {
      platform::SetCurrentThreadName(name.c_str());
      RunReportingExceptions(nPOSNo_, role_.c_str(), body);
      if (pExit) {
        pExit->Set();
      }
    });
  } catch (const std::system_error&) {
    platform::DebugPrintf("POS%d:cannot start thread %s\n", nPOSNo_, role_.c_str());
  }
}

void Worker::Stop(platform::Event* pStop) {
  if (!thread.joinable()) {
    return;
  }
  if (pStop) {
    pStop->Set();
  }
  bRun = false;
  thread.join();
}

bool MakeOrResetEvent(std::unique_ptr<platform::Event>& pEvent, bool bAutoReset) {
  if (pEvent) {
    pEvent->Reset();
    return true;
  }
  try {
    pEvent = std::make_unique<platform::Event>(bAutoReset ? platform::Event::kAutoReset
                                                          : platform::Event::kManualReset);
  } catch (const std::system_error&) {
    pEvent.reset();
  }
  return pEvent != nullptr;
}

}  // namespace poshark::listener

// Flow control for a fast host feed.
#include "listener/IntakeHold.h"

#include "listener/RCDataQueue.h"
#include "platform/Event.h"

namespace poshark::listener {

void IntakeHold::AfterQueue() {
  const int nQueued = refs_.analyzeQueue.GetTotalBytes();
  if (bGaveUp_) {
    bGaveUp_ = nQueued >= kResumeBytes;
    return;
  }
  if (nQueued < kHoldBytes || !refs_.bHostFeed || !refs_.bAnalyzeRun) {
    return;
  }
  platform::Event* pAnalyze = refs_.hAnalyzeEvent.get();
  platform::Event* pStop = refs_.hStopEvent.get();
  if (!pAnalyze || !pStop) {
    return;
  }
  // The intake wakes the analyzer once per call, after its last block: this
  // block must not wait for that.
  pAnalyze->Set();
  bGaveUp_ = !refs_.analyzeQueue.WaitBelow(kResumeBytes, pStop, kHoldMaxMs) &&
             refs_.analyzeQueue.GetTotalBytes() >= kResumeBytes;
}

}  // namespace poshark::listener

// Stream analyzer thread.
// Interim body: the analyzer waits and stops by the listener's protocol and
// passes every chunk on to the write queue unchanged (event -1, the chunk's
// own time stamp); command removal, merging and transaction events come with
// the analyzer work.
#include <poshark/RCPosHark.h>

#include "listener/RCDataQueue.h"
#include "platform/Event.h"

namespace {
constexpr int kAnalyzeRoom = 100000;
}  // namespace

void RCPosHark::AnalyzeThread() {
  if (!pAnalyzeBuf) {
    pAnalyzeBuf = std::make_unique<unsigned char[]>(kAnalyzeRoom + 1);
  }
  while (bAnalyzeRun) {
    if (poshark::platform::WaitForAny({hStopEvent.get(), hAnalyzeEvent.get()},
                                      poshark::platform::kInfinite) != 1) {
      break;
    }
    for (;;) {
      int nLen = kAnalyzeRoom;
      if (!m_AnalyzeQueue->GetAt(&nLen, pAnalyzeBuf.get(), &stCurTime, &bCurDST, nullptr, nullptr,
                                 0, true)) {
        break;
      }
      m_WriteQueue->Push(pAnalyzeBuf.get(), nLen, &stCurTime, bCurDST, 0, POSHARK_EVENT_NONE);
      hWriteEvent->Set();
    }
  }
}

int RCPosHark::Analyze(unsigned char*, int& nLen) { return nLen; }

// The listener's side of the stream analyzer.
#include "listener/AnalyzerLink.h"

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "listener/DebugFlag.h"
#include "listener/RCDataQueue.h"
#include "platform/Debug.h"
#include "platform/Event.h"

namespace poshark::listener {

RCCmdSet* AnalyzerLink::CurrentSet() { return refs_.catalog.Current(); }

bool AnalyzerLink::Running() { return refs_.bAnalyzeRun; }

// A listener that was never started has no events: the analyzer then takes
// only what is queued already.
bool AnalyzerLink::CanWait() { return refs_.hAnalyzeEvent != nullptr; }

bool AnalyzerLink::TakeChunk(int* pLen, unsigned char* pBuf, SYSTEMTIME* pTime, bool* pDST) {
  return refs_.analyzeQueue.GetAt(pLen, pBuf, pTime, pDST, nullptr, nullptr, 0, true);
}

commands::AnalyzerLinks::Wake AnalyzerLink::WaitForChunk(int nTimeoutMs) {
  int nIndex = platform::WaitForAny({refs_.hStopEvent.get(), refs_.hAnalyzeEvent.get()},
                                    nTimeoutMs < 0 ? platform::kInfinite : nTimeoutMs);
  if (nIndex == 0) {
    return Wake::kStop;
  }
  return nIndex == 1 ? Wake::kData : Wake::kTimeout;
}

void AnalyzerLink::ReportChunk(int nLen, unsigned char* pData, SYSTEMTIME* pTime) {
  if (TestListenFt pfn = refs_.pfnTestListen.load()) {
    pfn(nLen, pData, pTime);
  }
}

void AnalyzerLink::PushRecord(const unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST,
                              int nEvent) {
  refs_.writeQueue.Push(const_cast<unsigned char*>(pData), nLen, pTime, bDST, 0, nEvent);
}

int AnalyzerLink::QueuedBytes() { return refs_.writeQueue.GetTotalBytes(); }

void AnalyzerLink::DropQueued() { refs_.writeQueue.Clear(); }

uint64_t AnalyzerLink::WriterProgress() { return refs_.nWriterDone.load(); }

// Only while the writer runs can it make room.
bool AnalyzerLink::WaitForRoom(int nLen, int nLimit, uint32_t dwMaxLagMs) {
  platform::Event* pStop = refs_.hStopEvent.get();
  if (!refs_.bWriteRun || !pStop || !refs_.hWriteEvent) {
    return false;
  }
  return refs_.writeQueue.WaitForRoom(nLen, nLimit, pStop, dwMaxLagMs);
}

void AnalyzerLink::WakeWriter() {
  if (platform::Event* pEvent = refs_.hWriteEvent.get()) {
    pEvent->Set();
  }
}

void AnalyzerLink::OnWake() {
  if (g_bDump) {
    platform::DebugPrintf("Pos%d:WaitAnalyze\r\n", refs_.nPOSNo);
  }
}

}  // namespace poshark::listener

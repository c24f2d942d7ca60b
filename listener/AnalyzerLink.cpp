// The listener's side of the stream analyzer.
#include "listener/AnalyzerLink.h"

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "listener/DebugFlag.h"
#include "listener/DrainWatch.h"
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

// A wait without limit is the analyzer's idle point: everything taken has
// been analysed and pushed, and the writer woken. A limited wait is for the
// rest of a chunk; once the host has ended its input no rest will come, so
// that wait ends as a stop ends it and the analyzer closes its pass with
// what it has. The end itself wakes a wait as data does: the analyzer looks
// at the queue once more (the last bytes may have come with it) and asks
// again.
commands::AnalyzerLinks::Wake AnalyzerLink::WaitForChunk(int nTimeoutMs) {
  const bool bIdle = nTimeoutMs < 0;
  if (!bIdle && refs_.drain.InputEnded()) {
    return Wake::kStop;
  }
  if (bIdle) {
    refs_.drain.Park(DrainWatch::kAnalyzer);
  }
  int nIndex = platform::WaitForAny({refs_.hStopEvent.get(), refs_.hAnalyzeEvent.get()},
                                    bIdle ? platform::kInfinite : nTimeoutMs);
  refs_.drain.Unpark(DrainWatch::kAnalyzer);
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

bool AnalyzerLink::DropQueued() {
  return refs_.writeQueue.ClearCounting(poshark::commands::kEventOverflow) > 0;
}

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

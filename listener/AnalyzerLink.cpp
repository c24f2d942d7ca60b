// The listener's side of the stream analyzer.
#include "listener/AnalyzerLink.h"

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "listener/ChunkWake.h"
#include "listener/DebugFlag.h"
#include "listener/DrainWatch.h"
#include "listener/LineWriter.h"
#include "listener/RCLineQueue.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Event.h"

namespace poshark::listener {

RCCmdSet* AnalyzerLink::CurrentSet() { return refs_.catalog.Current(); }

bool AnalyzerLink::Running() { return worker.bRun; }

// A listener that was never started has no events: the analyzer then takes
// only what is queued already.
bool AnalyzerLink::CanWait() { return hAnalyzeEvent != nullptr; }

AnalyzerLink::~AnalyzerLink() { DropTaken(); }

bool AnalyzerLink::CreateEvent() { return MakeOrResetEvent(hAnalyzeEvent, /*bAutoReset=*/true); }

void AnalyzerLink::DropTaken() {
  refs_.analyzeQueue.GiveBack(apTaken_, nTaken_);
  nTaken_ = 0;
  shelf_.nCount = 0;
  shelf_.nNext = 0;
}

// The analyzer looks at the end of every line and mostly finds nothing
// queued: that answer takes no lock. The records handed on go back at the
// next refill.
bool AnalyzerLink::FillShelf() {
  if (refs_.analyzeQueue.IsEmpty()) {
    return false;
  }
  DropTaken();
  nTaken_ = refs_.analyzeQueue.TakeBatch(apTaken_, commands::ChunkShelf::kCap);
  for (int i = 0; i < nTaken_; ++i) {
    const STRUCT_PosData& record = *apTaken_[i];
    commands::ChunkShelf::Chunk& chunk = shelf_.aChunks[static_cast<size_t>(i)];
    chunk.pData = record.pData;
    chunk.nLen = record.nLen;
    chunk.bDST = record.bDST;
    chunk.stTime = record.stTime;
  }
  shelf_.nCount = nTaken_;
  shelf_.pfnHook = pfnTestListen.load();
  return nTaken_ > 0;
}

// A wait without limit is the analyzer's idle point: everything taken has
// been analysed and pushed, and the writer woken. During a stream it first
// gathers: chunks that come within the gather time are taken together. A
// limited wait is for the rest of a chunk; once the host has ended its
// input no rest will come, so that wait ends as a stop ends it and the
// analyzer closes its pass with what it has, unless chunks the host gave
// before its end are still queued (the analyzer may have been pushing held
// lines meanwhile). The end itself wakes a wait as data does: the analyzer
// looks at the queue once more (the last bytes may have come with it) and
// asks again.
commands::AnalyzerLinks::Wake AnalyzerLink::WaitForChunk(int nTimeoutMs) {
  const bool bIdle = nTimeoutMs < 0;
  if (!bIdle && refs_.drain.InputEnded()) {
    return HasTaken() || refs_.analyzeQueue.GetCount() > 0 ? Wake::kData : Wake::kStop;
  }
  // Once the host has ended its input nothing more will come to gather.
  if (bIdle && bStream_ && !refs_.drain.InputEnded()) {
    NewCalls();
    Wake wake = Gather();
    // A gather that took less than two calls saved nothing: the stream ended.
    bStream_ = NewCalls() >= 2;
    if (wake != Wake::kTimeout) {
      return wake;
    }
  }
  if (bIdle) {
    refs_.drain.Park(DrainWatch::kAnalyzer);
  }
  Wake wake = WaitForEvery(nTimeoutMs);
  refs_.drain.Unpark(DrainWatch::kAnalyzer);
  if (bIdle && wake == Wake::kData) {
    // Calls that come less than half the gather time apart start a stream.
    const uint32_t dwNow = platform::GetCoarseTickCount();
    bStream_ = NewCalls() > 0 && dwNow - dwLastWake_ < kGatherMs / 2;
    dwLastWake_ = dwNow;
  }
  return wake;
}

commands::AnalyzerLinks::Wake AnalyzerLink::Gather() {
  int nIndex = platform::WaitForAny({refs_.hStopEvent.get(), hAnalyzeEvent.get()}, kGatherMs);
  if (nIndex == 0) {
    return Wake::kStop;
  }
  return HasTaken() || refs_.analyzeQueue.GetCount() > 0 ? Wake::kData : Wake::kTimeout;
}

commands::AnalyzerLinks::Wake AnalyzerLink::WaitForEvery(int nTimeoutMs) {
  refs_.chunkWake.WaitForEveryChunk(true);
  // A chunk queued before the flag was seen woke nobody: take it now.
  int nIndex = 1;
  if (!HasTaken() && refs_.analyzeQueue.GetCount() == 0) {
    nIndex = platform::WaitForAny({refs_.hStopEvent.get(), hAnalyzeEvent.get()},
                                  nTimeoutMs < 0 ? platform::kInfinite : nTimeoutMs);
  }
  refs_.chunkWake.WaitForEveryChunk(false);
  if (nIndex == 0) {
    return Wake::kStop;
  }
  return nIndex == 1 ? Wake::kData : Wake::kTimeout;
}

uint32_t AnalyzerLink::NewCalls() {
  const uint32_t nNow = refs_.chunkWake.Calls();
  const uint32_t nNew = nNow - nCallsSeen_;
  nCallsSeen_ = nNow;
  return nNew;
}

void AnalyzerLink::PushRecord(const unsigned char* pData, int nLen, SYSTEMTIME* pTime, bool bDST,
                              int nEvent) {
  refs_.writeQueue.Push(const_cast<unsigned char*>(pData), nLen, pTime, bDST, 0, nEvent);
}

void AnalyzerLink::PushRecords(const unsigned char* pBase, const commands::HeldLines::Line* pLines,
                               int nCount) {
  refs_.writeQueue.PushLines(pBase, pLines, nCount);
}

int AnalyzerLink::QueuedBytes() { return refs_.writeQueue.GetTotalBytes(); }

bool AnalyzerLink::DropQueued() {
  return refs_.writeQueue.ClearCounting(poshark::commands::kEventOverflow) > 0;
}

uint64_t AnalyzerLink::WriterProgress() { return refs_.writer.Done().load(); }

// Only while the writer runs can it make room.
bool AnalyzerLink::WaitForRoom(int nLen, int nLimit, uint32_t dwMaxLagMs) {
  platform::Event* pStop = refs_.hStopEvent.get();
  if (!refs_.writer.worker.bRun || !pStop || !refs_.writer.hWriteEvent) {
    return false;
  }
  return refs_.writeQueue.WaitForRoom(nLen, nLimit, pStop, dwMaxLagMs);
}

void AnalyzerLink::WakeWriter() {
  if (platform::Event* pEvent = refs_.writer.hWriteEvent.get()) {
    pEvent->Set();
  }
}

void AnalyzerLink::OnWake() {
  if (g_bDump) {
    platform::DebugPrintf("Pos%d:WaitAnalyze\r\n", refs_.nPOSNo);
  }
}

}  // namespace poshark::listener

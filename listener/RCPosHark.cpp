// RCPosHark: construction, teardown, the start and stop protocol of the
// worker threads, their events, and the small setters and queries.
#include <poshark/RCPosHark.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "commands/StreamAnalyzer.h"
#include "listener/AnalyzerLink.h"
#include "listener/ChunkWake.h"
#include "listener/DebugFlag.h"
#include "listener/DrainWatch.h"
#include "listener/IdleStop.h"
#include "listener/IntakeHold.h"
#include "listener/LineIntake.h"
#include "listener/LineWriter.h"
#include "listener/RCDataQueue.h"
#include "listener/RCSerialPort.h"
#include "listener/ResumeWatcher.h"
#include "listener/ThreadEntry.h"
#include "platform/Debug.h"
#include "platform/Event.h"
#include "platform/Thread.h"

using poshark::platform::Event;
using poshark::platform::kInfinite;
using poshark::platform::kWaitTimeout;
using poshark::platform::OutputDebugStringA;
using poshark::platform::WaitForAny;

namespace {

// The destructor's bound on the port resume watcher.
constexpr int kResumeStopWaitMs = 1000;

// Runs a worker's body. An exception that escapes it ends that worker only:
// it is reported through the debug sink and the thread returns as if
// stopped, so the stop protocol still finds it and joins it.
void RunWorker(RCPosHark* pListener, void (RCPosHark::*body)(), int nPOSNo, const char* pszRole) {
  poshark::listener::RunReportingExceptions(nPOSNo, pszRole, [&] { (pListener->*body)(); });
}

// Starts body on a thread named "pos<N>.<role>" (so that the threads of a
// listener can be told apart in /proc and in a debugger). A thread that
// cannot be created leaves the handle empty, which the stop protocol skips.
// With pExitEvent, that event is set at its end.
std::thread StartWorker(RCPosHark* pListener, int nPOSNo, const char* pszRole,
                        void (RCPosHark::*body)(), Event* pExitEvent = nullptr) {
  char szName[32];
  std::snprintf(szName, sizeof szName, "pos%d.%s", nPOSNo, pszRole);
  std::string name(szName);
  try {
    return std::thread([pListener, body, name, role = std::string(pszRole), nPOSNo, pExitEvent] {
      poshark::platform::SetCurrentThreadName(name.c_str());
      RunWorker(pListener, body, nPOSNo, role.c_str());
      if (pExitEvent) {
        pExitEvent->Set();
      }
    });
  } catch (const std::system_error&) {
    poshark::platform::DebugPrintf("POS%d:cannot start thread %s\n", nPOSNo, pszRole);
    return std::thread();
  }
}

}  // namespace

RCPosHark::RCPosHark() : RCPosHark(0) {}

RCPosHark::RCPosHark(int nPOSNoIn) : nPOSNo(nPOSNoIn) {
  m_Serial = std::make_unique<RCSerialPort>();
  m_Resume = std::make_unique<poshark::listener::ResumeWatcher>();
  m_Catalog = std::make_unique<poshark::commands::CmdSetCatalog>();
  m_AnalyzeQueue = std::make_unique<RCDataQueue>(1);
  m_WriteQueue = std::make_unique<RCLineQueue>(2);
  LoadCmds();
  // The host's DST query, read anew for every record stamped now.
  auto dstQuery = [this] {
    DstFt pfn = pfnDstFt.load();
    return pfn ? pfn(nullptr) : false;
  };
  m_AnalyzeQueue->SetDstQuery(dstQuery);
  m_WriteQueue->SetDstQuery(dstQuery);
  m_Drain = std::make_unique<poshark::listener::DrainWatch>();
  m_ChunkWake = std::make_unique<poshark::listener::ChunkWake>();
  m_Writer = std::make_unique<poshark::listener::LineWriter>(poshark::listener::LineWriterRefs{
      nPOSNo, *m_WriteQueue, *m_Catalog, bWriteRun, hWriteEvent, hStopEvent, pfnLineOut,
      dwGateOpenTime, dwOpenTick, bGateOpen, *m_Drain});
  m_IdleStop = std::make_unique<poshark::listener::IdleStop>(
      *m_WriteQueue, *m_Catalog, bStopEventRun, hStopEvent, hWriteEvent);
  m_AnalyzerLink =
      std::make_unique<poshark::listener::AnalyzerLink>(poshark::listener::AnalyzerLinkRefs{
          nPOSNo, *m_AnalyzeQueue, *m_WriteQueue, *m_Catalog, bAnalyzeRun, bWriteRun, hAnalyzeEvent,
          hWriteEvent, hStopEvent, pfnTestListen, m_Writer->Done(), *m_Drain, *m_ChunkWake});
  m_Analyzer = std::make_unique<poshark::commands::StreamAnalyzer>(*m_AnalyzerLink);
  m_Hold = std::make_unique<poshark::listener::IntakeHold>(poshark::listener::IntakeHoldRefs{
      *m_AnalyzeQueue, bHostFeed, bAnalyzeRun, hAnalyzeEvent, hStopEvent});
  m_Intake = std::make_unique<poshark::listener::LineIntake>(
      nPOSNo, *m_AnalyzeQueue, hAnalyzeEvent, *m_ChunkWake, *m_Hold, *m_Catalog, dstQuery);
}

RCPosHark::~RCPosHark() {
  OutputDebugStringA("USB Trace:~RCPosHark in\n");
  if (hPortLostEvent) {
    hPortLostEvent->Reset();
  }
  if (hResumeStopEvent) {
    hResumeStopEvent->Set();
  }
  bGateOpen = false;

  // The watcher is never killed: every wait of it includes hResumeStopEvent
  // and none is longer than 100 ms, so it ends well inside the bound. The
  // bound only decides whether the overrun is reported; the join follows.
  if (hResumeThread.joinable()) {
    hResumeStopEvent->Set();
    bResumeRun = false;
    if (!hResumeExitEvent->Wait(kResumeStopWaitMs)) {
      OutputDebugStringA("USB Trace:Wait USBResumeThread stop Time out\n");
    }
    hResumeThread.join();
  }

  bListenRun = false;
  m_Serial->Break();
  if (hListenThread.joinable()) {
    hListenThread.join();
  }

  m_Serial->Close();
  RegisterPort(static_cast<uint16_t>(nComPort), 0, "");

  StopWorker(hAnalyzeThread, bAnalyzeRun, true);
  StopWorker(hWriteThread, bWriteRun, true);
  StopWorker(hStopEventThread, bStopEventRun, true);

  m_WriteQueue->pCmdSet = nullptr;
  m_Catalog.reset();

  m_Intake.reset();

  CloseMyEvent();
  hResumeExitEvent.reset();
  OutputDebugStringA("USB Trace:~RCPosHark out\n");
  // Members go in reverse order of declaration: the queues drop their
  // records, m_Serial closes its break event last of the objects built first.
}

void RCPosHark::StopWorker(std::thread& thread, std::atomic<bool>& bRun, bool bUseStopEvent) {
  if (!thread.joinable()) {
    return;
  }
  if (bUseStopEvent && hStopEvent) {
    hStopEvent->Set();
  }
  bRun = false;
  thread.join();
}

void RCPosHark::ListenStart(LineOutFt pfnLineOutIn, bool bHostFeedIn) {
  std::lock_guard<std::recursive_mutex> lifecycle(csLifecycle);
  // Every worker reads the command set; starting without one would only
  // make them skip everything, so refuse (the host selects one first).
  if (!CurSet()) {
    poshark::platform::DebugPrintf("POS%d:ListenStart without a command set\n", nPOSNo);
    return;
  }
  // Called by this listener's own watcher (a restart after a reopening)?
  const bool bCalledByWatcher = m_Resume->IsWatcherThread();
  // A watcher asked to stop (ListenStop) may already be on its way out, and
  // the reset of its stop event below would leave it running blind: let it
  // end now, while the stop event still wakes every wait of it, and start a
  // fresh one below. A finished watcher is joined here too.
  if (!bCalledByWatcher && hResumeThread.joinable() &&
      (hResumeExitEvent->Wait(0) || (hResumeStopEvent && hResumeStopEvent->Wait(0)))) {
    bResumeRun = false;
    hResumeThread.join();
  }

  m_AnalyzeQueue->Clear();
  m_WriteQueue->Clear();
  m_Intake->PrepareTrace();
  CreateMyEvent();
  if (!hAnalyzeEvent || !hWriteEvent || !hStopEvent || !hResumeStopEvent || !hPortLostEvent) {
    poshark::platform::DebugPrintf("POS%d:ListenStart cannot create its events\n", nPOSNo);
    return;
  }
  pfnLineOut = pfnLineOutIn;
  bHostFeed = bHostFeedIn;

  StopWorker(hListenThread, bListenRun, false);
  StopWorker(hAnalyzeThread, bAnalyzeRun, true);
  StopWorker(hWriteThread, bWriteRun, true);
  StopWorker(hStopEventThread, bStopEventRun, true);
  hStopEvent->Reset();
  // Every run starts in the set's start table.
  m_Analyzer->ResetTables();

  if (bHostFeedIn) {
    PrepareIntake();
  } else {
    bListenRun = true;
    hListenThread = StartWorker(this, nPOSNo, "read", &RCPosHark::ListenThread);
  }

  bAnalyzeRun = true;
  hAnalyzeThread = StartWorker(this, nPOSNo, "analyze", &RCPosHark::AnalyzeThread);
  bWriteRun = true;
  hWriteThread = StartWorker(this, nPOSNo, "write", &RCPosHark::WriteThread);

  bStarted = true;
  bRunning = true;

  bResumeRun = true;
  hResumeStopEvent->Reset();
  if (!bCalledByWatcher && !hResumeThread.joinable()) {
    StartResumeWatcher();
  }

  if (CurSet()->bStopEvent) {
    bStopEventRun = true;
    hStopEventThread = StartWorker(this, nPOSNo, "idle", &RCPosHark::StopEventThread);
  }
}

void RCPosHark::StartResumeWatcher() {
  if (!hResumeExitEvent) {
    try {
      hResumeExitEvent = std::make_unique<Event>(Event::kManualReset);
    } catch (const std::system_error&) {
      poshark::platform::DebugPrintf("POS%d:cannot start the port resume watcher\n", nPOSNo);
      return;
    }
  }
  hResumeExitEvent->Reset();
  hResumeThread =
      StartWorker(this, nPOSNo, "resume", &RCPosHark::USBResumeThread, hResumeExitEvent.get());
}

void RCPosHark::StopWorkers() {
  StopWorker(hAnalyzeThread, bAnalyzeRun, true);
  StopWorker(hListenThread, bListenRun, false);
  StopWorker(hWriteThread, bWriteRun, true);
  StopWorker(hStopEventThread, bStopEventRun, true);
}

void RCPosHark::ListenStop() {
  std::lock_guard<std::recursive_mutex> lifecycle(csLifecycle);
  if (hPortLostEvent) {
    hPortLostEvent->Reset();
  }
  if (hResumeStopEvent) {
    hResumeStopEvent->Set();
  }
  StopWorkers();
  bGateOpen = false;
  bStarted = false;
  bRunning = false;
}

void RCPosHark::KeyStop() {
  std::lock_guard<std::recursive_mutex> lifecycle(csLifecycle);
  if (ErrFt pfn = pfnErrFt.load()) {
    pfn(nPOSNo, 1);
  }
  if (bStarted && bRunning) {
    StopWorkers();
    bGateOpen = false;
    bRunning = false;
  }
}

void RCPosHark::KeyStart() {
  std::lock_guard<std::recursive_mutex> lifecycle(csLifecycle);
  if (ErrFt pfn = pfnErrFt.load()) {
    pfn(nPOSNo, 2);
  }
  if (bStarted && !bRunning) {
    // Resume the way the host started: a host-fed listener has no port to
    // purge or read.
    const bool bFeed = bHostFeed;
    if (!bFeed) {
      m_Serial->Purge();
    }
    ListenStart(pfnLineOut, bFeed);
  }
}

void RCPosHark::StopEventThread() { m_IdleStop->Run(); }

void RCPosHark::WriteThread() { m_Writer->Run(); }

void RCPosHark::WriteOut(char* pszText, SYSTEMTIME* pTime, bool bDST, int nEvent, char* pExtra) {
  m_Writer->WriteOut(pszText, pTime, bDST, nEvent, pExtra);
}

int RCPosHark::SpaceFilter(char* pszText) {
  return poshark::listener::LineWriter::SpaceFilter(pszText);
}

bool RCPosHark::EnableCodeMap(bool bOn, unsigned char* pTable) {
  m_Writer->EnableCodeMap(bOn, pTable);
  return true;
}

void RCPosHark::AnalyzeThread() {
  m_Analyzer->Run();
  m_AnalyzerLink->DropTaken();
}

int RCPosHark::Analyze(unsigned char* pBuf, int& nLen) { return m_Analyzer->Analyze(pBuf, nLen); }

void RCPosHark::CreateMyEvent() {
  auto make = [](std::unique_ptr<Event>& pEvent, Event::Kind kind) {
    if (pEvent) {
      pEvent->Reset();
      return;
    }
    try {
      pEvent = std::make_unique<Event>(kind);
    } catch (const std::system_error&) {
      pEvent.reset();  // checked by ListenStart
    }
  };
  make(hAnalyzeEvent, Event::kAutoReset);
  make(hWriteEvent, Event::kAutoReset);
  make(hStopEvent, Event::kManualReset);
  make(hResumeStopEvent, Event::kManualReset);
  make(hPortLostEvent, Event::kManualReset);
}

void RCPosHark::CloseMyEvent() {
  hAnalyzeEvent.reset();
  hWriteEvent.reset();
  hStopEvent.reset();
  hResumeStopEvent.reset();
  hPortLostEvent.reset();
}

bool RCPosHark::WaitAnalyze() {
  return WaitForAny({hStopEvent.get(), hAnalyzeEvent.get()}, kInfinite) == 1;
}

bool RCPosHark::WaitWrite() {
  return WaitForAny({hStopEvent.get(), hWriteEvent.get()}, kInfinite) == 1;
}

void RCPosHark::SetErrFt(ErrFt pfn) { pfnErrFt = pfn; }

void RCPosHark::SetDstFt(DstFt pfn) { pfnDstFt = pfn; }

void RCPosHark::SetTestListenFt(TestListenFt pfn) { pfnTestListen = pfn; }

void RCPosHark::SetGateOpenTime(uint32_t dwMs) {
  dwGateOpenTime = dwMs;
  if (dwMs == 0) {
    bGateOpen = true;
  }
}

void RCPosHark::PrepareIntake() { m_Intake->Prepare(IsGraphMode()); }

void RCPosHark::GotData(int nLen, unsigned char* pData) {
  m_Drain->ResumeInput();
  m_Intake->Take(nLen, pData, bSenderDecode);
}

void RCPosHark::AddBuffAnalyze(unsigned char*, int) {}

int RCPosHark::DecodeWChar(unsigned char* pSeq) { return m_Intake->Graph().DecodeChar(pSeq); }

void RCPosHark::DecodeGraph(int nLen, unsigned char* pData) {
  m_Intake->Graph().Decode(nLen, pData);
}

bool RCPosHark::IsGraphMode() { return CurSet() ? CurSet()->bGraphMode : false; }

bool RCPosHark::IsPOSTextSenderMode() { return CurSet() ? CurSet()->bPOSTextSenderMode : false; }

void RCPosHark::LoadIni() { SelectCmdSet(0); }

void RCPosHark::WriteIni() {}

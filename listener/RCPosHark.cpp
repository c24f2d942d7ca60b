// RCPosHark: construction, teardown, the start and stop protocol of the
// worker threads and their events, the port resume watcher (when the serial
// reader reports a lost port: stop listening, wait for the device to come
// back, reopen it and listen again), the serial operations handed to the
// serial link, and the small setters and queries. The facade's operations
// live in this one file because they call one another; the parts they hand
// on to have files of their own.
#include <poshark/RCPosHark.h>

#include <mutex>
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
#include "listener/RCLineQueue.h"
#include "listener/RCSerialPort.h"
#include "listener/ResumeWatcher.h"
#include "listener/SerialLink.h"
#include "listener/SerialReader.h"
#include "listener/ThreadEntry.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"

using poshark::platform::Event;
using poshark::platform::kInfinite;
using poshark::platform::OutputDebugStringA;
using poshark::platform::WaitForAny;

namespace {

// The destructor's bound on the port resume watcher.
constexpr int kResumeStopWaitMs = 1000;

// The write queue lets the current set's preprocess plug-in see every record.
RCLineQueue::PreprocessSource PreprocessOf(const poshark::commands::CmdSetCatalog& catalog) {
  return [pCatalog = &catalog]() -> PFN_Preprocess {
    const RCCmdSet* pSet = pCatalog->Current();
    return pSet && pSet->bDllPreprocess ? pSet->pfnPreprocess : nullptr;
  };
}

}  // namespace

RCPosHark::RCPosHark() : RCPosHark(0) {}

// The parts are built in the order of their declaration, each given what it
// needs; the names of their state follow them.
RCPosHark::RCPosHark(int nPOSNoIn)
    : m_Catalog(std::make_unique<poshark::commands::CmdSetCatalog>()),
      m_Link(std::make_unique<poshark::listener::SerialLink>(nPOSNoIn)),
      nPOSNo(nPOSNoIn),
      m_AnalyzeQueue(std::make_unique<RCDataQueue>(1)),
      m_WriteQueue(std::make_unique<RCLineQueue>(2, PreprocessOf(*m_Catalog))),
      m_Drain(std::make_unique<poshark::listener::DrainWatch>()),
      m_ChunkWake(std::make_unique<poshark::listener::ChunkWake>()),
      m_Writer(std::make_unique<poshark::listener::LineWriter>(nPOSNoIn, *m_WriteQueue, *m_Catalog,
                                                               hStopEvent, *m_Drain)),
      m_IdleStop(std::make_unique<poshark::listener::IdleStop>(nPOSNoIn, *m_WriteQueue, *m_Catalog,
                                                               hStopEvent, *m_Writer)),
      m_AnalyzerLink(std::make_unique<poshark::listener::AnalyzerLink>(
          poshark::listener::AnalyzerLinkRefs{nPOSNoIn, *m_AnalyzeQueue, *m_WriteQueue, *m_Catalog,
                                              hStopEvent, *m_Writer, *m_Drain, *m_ChunkWake})),
      m_Analyzer(std::make_unique<poshark::commands::StreamAnalyzer>(*m_AnalyzerLink)),
      m_Hold(std::make_unique<poshark::listener::IntakeHold>(
          poshark::listener::IntakeHoldRefs{*m_AnalyzeQueue, bHostFeed, m_AnalyzerLink->worker.bRun,
                                            m_AnalyzerLink->hAnalyzeEvent, hStopEvent})),
      pfnLineOut(m_Writer->pfnLineOut),
      dwGateOpenTime(m_Writer->dwGateOpenTime),
      dwOpenTick(m_Writer->dwOpenTick),
      bGateOpen(m_Writer->bGateOpen),
      bWriteRun(m_Writer->worker.bRun),
      hWriteThread(m_Writer->worker.thread),
      hWriteEvent(m_Writer->hWriteEvent),
      bAnalyzeRun(m_AnalyzerLink->worker.bRun),
      hAnalyzeThread(m_AnalyzerLink->worker.thread),
      hAnalyzeEvent(m_AnalyzerLink->hAnalyzeEvent),
      pfnTestListen(m_AnalyzerLink->pfnTestListen),
      bStopEventRun(m_IdleStop->worker.bRun),
      hStopEventThread(m_IdleStop->worker.thread),
      m_Serial(m_Link->m_Serial),
      strDeviceName(m_Link->strDeviceName),
      nComPort(m_Link->nComPort),
      nBaudRate(m_Link->nBaudRate),
      nDataBits(m_Link->nDataBits),
      nStopBits(m_Link->nStopBits),
      nParity(m_Link->nParity),
      hComHandle(m_Link->hComHandle),
      bListenRun(m_Link->reader.bRun),
      hListenThread(m_Link->reader.thread),
      bResumeRun(m_Link->watcher.bRun),
      hResumeThread(m_Link->watcher.thread),
      hResumeStopEvent(m_Link->hResumeStopEvent),
      hPortLostEvent(m_Link->hPortLostEvent) {
  LoadCmds();
  // The host's DST query, read anew for every record stamped now.
  auto dstQuery = [this] {
    DstFt pfn = pfnDstFt.load();
    return pfn ? pfn(nullptr) : false;
  };
  m_AnalyzeQueue->SetDstQuery(dstQuery);
  m_WriteQueue->SetDstQuery(dstQuery);
  m_Intake = std::make_unique<poshark::listener::LineIntake>(
      nPOSNo, *m_AnalyzeQueue, m_AnalyzerLink->hAnalyzeEvent, *m_ChunkWake, *m_Hold, *m_Catalog,
      dstQuery);
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
    if (!m_Link->hResumeExitEvent->Wait(kResumeStopWaitMs)) {
      OutputDebugStringA("USB Trace:Wait USBResumeThread stop Time out\n");
    }
    hResumeThread.join();
  }

  m_Link->Close();

  m_AnalyzerLink->worker.Stop(hStopEvent.get());
  m_Writer->worker.Stop(hStopEvent.get());
  m_IdleStop->worker.Stop(hStopEvent.get());

  m_Catalog.reset();

  m_Intake.reset();

  CloseMyEvent();
  m_Link->hResumeExitEvent.reset();
  OutputDebugStringA("USB Trace:~RCPosHark out\n");
  // Members go in reverse order of declaration: the queues drop their
  // records, m_Serial closes its break event last of the objects built first.
}

void RCPosHark::ListenStart(LineOutFt pfnLineOutIn, bool bHostFeedIn) {
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
  StartLocked(pfnLineOutIn, bHostFeedIn, /*bByWatcher=*/false);
}

void RCPosHark::StartLocked(LineOutFt pfnLineOutIn, bool bHostFeedIn, bool bByWatcher) {
  // Every worker reads the command set; starting without one would only
  // make them skip everything, so refuse (the host selects one first).
  if (!CurSet()) {
    poshark::platform::DebugPrintf("POS%d:ListenStart without a command set\n", nPOSNo);
    return;
  }
  // A watcher asked to stop (ListenStop) may already be on its way out, and
  // the reset of its stop event below would leave it running blind: let it
  // end now, while the stop event still wakes every wait of it, and start a
  // fresh one below. A finished watcher is joined here too.
  if (!bByWatcher && hResumeThread.joinable() &&
      (m_Link->hResumeExitEvent->Wait(0) || (hResumeStopEvent && hResumeStopEvent->Wait(0)))) {
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

  m_Link->reader.Stop(nullptr);  // polls its run flag
  m_AnalyzerLink->worker.Stop(hStopEvent.get());
  m_Writer->worker.Stop(hStopEvent.get());
  m_IdleStop->worker.Stop(hStopEvent.get());
  hStopEvent->Reset();
  // Every run starts in the set's start table.
  m_Analyzer->ResetTables();

  if (bHostFeedIn) {
    PrepareIntake();
  } else {
    m_Link->reader.Start([this] { ListenThread(); });
  }

  m_AnalyzerLink->worker.Start([this] { AnalyzeThread(); });
  m_Writer->worker.Start([this] { WriteThread(); });

  bStarted = true;
  bRunning = true;

  bResumeRun = true;
  hResumeStopEvent->Reset();
  if (!bByWatcher && !hResumeThread.joinable()) {
    StartResumeWatcher();
  }

  if (CurSet()->bStopEvent) {
    m_IdleStop->worker.Start([this] { StopEventThread(); });
  }
}

void RCPosHark::StartResumeWatcher() {
  if (!m_Link->hResumeExitEvent) {
    try {
      m_Link->hResumeExitEvent = std::make_unique<Event>(Event::kManualReset);
    } catch (const std::system_error&) {
      poshark::platform::DebugPrintf("POS%d:cannot start the port resume watcher\n", nPOSNo);
      return;
    }
  }
  m_Link->hResumeExitEvent->Reset();
  m_Link->watcher.Start([this] { USBResumeThread(); }, m_Link->hResumeExitEvent.get());
}

void RCPosHark::StopWorkers() {
  m_AnalyzerLink->worker.Stop(hStopEvent.get());
  m_Link->reader.Stop(nullptr);
  m_Writer->worker.Stop(hStopEvent.get());
  m_IdleStop->worker.Stop(hStopEvent.get());
}

void RCPosHark::ListenStop() {
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
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
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
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
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
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
    StartLocked(pfnLineOut, bFeed, /*bByWatcher=*/false);
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
  // A failure leaves that event null; checked by ListenStart.
  m_AnalyzerLink->CreateEvent();
  m_Writer->CreateEvent();
  poshark::listener::MakeOrResetEvent(hStopEvent, /*bAutoReset=*/false);
  poshark::listener::MakeOrResetEvent(hResumeStopEvent, /*bAutoReset=*/false);
  poshark::listener::MakeOrResetEvent(hPortLostEvent, /*bAutoReset=*/false);
}

void RCPosHark::CloseMyEvent() {
  m_AnalyzerLink->CloseEvent();
  m_Writer->CloseEvent();
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

// The port resume watcher.
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

// The serial operations and the serial reader's thread body and status polls.
void RCPosHark::RegisterPort(uint32_t nPort, uint32_t nState, const char* pszName) {
  poshark::listener::SerialLink::RegisterPort(nPort, nState, pszName);
}

int RCPosHark::OpenCom(int nPort, int nBaud, int nDataBitsIn, int nStopBitsIn, int nParityIn,
                       void* hHandle, char* pszName) {
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
  if (!m_Link->Open(nPort, nBaud, nDataBitsIn, nStopBitsIn, nParityIn, hHandle, pszName)) {
    return 0;
  }
  dwOpenTick = poshark::platform::GetTickCount();
  return 1;
}

int RCPosHark::ReOpenCom() { return m_Link->Reopen(); }

int RCPosHark::CloseCom() {
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
  m_Link->Close();
  return 1;
}

void RCPosHark::BreakCom() { m_Link->Break(); }

void RCPosHark::ListenThread() {
  poshark::listener::RunReportingExceptions(nPOSNo, "serial reader", [this] {
    PrepareIntake();
    poshark::listener::SerialReader reader(
        m_Serial->Port(), m_Serial->BreakEvent(), bListenRun,
        [this](int nLen, unsigned char* pData) { GotData(nLen, pData); });
    const bool bLost = reader.Run();
    poshark::platform::OutputDebugStringA("###COM Listen thread Get exit start\r\n");
    if (bLost && hPortLostEvent) {
      hPortLostEvent->Set();
    }
  });
}

int RCPosHark::CheckErrDesert(uint32_t dwEvtMask) {
  return poshark::listener::SerialReader::CheckErrDesert(m_Serial->Port().get(), dwEvtMask);
}

void RCPosHark::CheckComStat(void* hPort, int) {
  poshark::listener::SerialReader::CheckComStat(static_cast<poshark::platform::SerialPort*>(hPort));
}

void RCPosHark::CheckModemStatus(void* hPort, int) {
  poshark::listener::SerialReader::CheckModemStatus(
      static_cast<poshark::platform::SerialPort*>(hPort));
}

void RCPosHark::ReportModemStatus(uint32_t) {}

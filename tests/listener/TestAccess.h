// White-box access to RCPosHark for the tests (RCPosHark.h names this class
// a friend). Only tests include this header.
#pragma once

#include <poshark/RCPosHark.h>

#include <memory>
#include <utility>

#include "commands/RCCmdSet.h"
#include "listener/RCDataQueue.h"
#include "platform/Event.h"

class RCPosHarkTestAccess {
 public:
  static RCDataQueue& AnalyzeQueue(RCPosHark& l) { return *l.m_AnalyzeQueue; }
  static RCLineQueue& WriteQueue(RCPosHark& l) { return *l.m_WriteQueue; }

  // Installs a command set without reading a file, as a selection would.
  static RCCmdSet* SetCmdSet(RCPosHark& l, std::unique_ptr<RCCmdSet> pSet) {
    l.pCurCmdSet = std::move(pSet);
    l.m_WriteQueue->pCmdSet = l.pCurCmdSet.get();
    return l.pCurCmdSet.get();
  }
  static RCCmdSet* CmdSet(RCPosHark& l) { return l.pCurCmdSet.get(); }

  static bool Started(RCPosHark& l) { return l.bStarted; }
  static bool Running(RCPosHark& l) { return l.bRunning; }
  static bool GateOpen(RCPosHark& l) { return l.bGateOpen; }
  static bool HostFeed(RCPosHark& l) { return l.bHostFeed; }
  static bool HasResumeThread(RCPosHark& l) { return l.hResumeThread.joinable(); }

  static void CreateMyEvent(RCPosHark& l) { l.CreateMyEvent(); }
  static void CloseMyEvent(RCPosHark& l) { l.CloseMyEvent(); }
  static bool WaitAnalyze(RCPosHark& l) { return l.WaitAnalyze(); }
  static bool WaitWrite(RCPosHark& l) { return l.WaitWrite(); }
  static poshark::platform::Event* AnalyzeEvent(RCPosHark& l) { return l.hAnalyzeEvent.get(); }
  static poshark::platform::Event* WriteEvent(RCPosHark& l) { return l.hWriteEvent.get(); }
  static poshark::platform::Event* StopEvent(RCPosHark& l) { return l.hStopEvent.get(); }
  static poshark::platform::Event* ResumeStopEvent(RCPosHark& l) {
    return l.hResumeStopEvent.get();
  }
  static poshark::platform::Event* PortLostEvent(RCPosHark& l) { return l.hPortLostEvent.get(); }

  // Serial reader and port resume watcher.
  static void USBResumeStart(RCPosHark& l) { l.USBResumeStart(); }
  static void USBResumeStop(RCPosHark& l) { l.USBResumeStop(); }
  static bool HasListenThread(RCPosHark& l) { return l.hListenThread.joinable(); }
  static int CheckErrDesert(RCPosHark& l, uint32_t dwMask) { return l.CheckErrDesert(dwMask); }
  static uint32_t OpenTick(RCPosHark& l) { return l.dwOpenTick; }

  static void SetStopEventRun(RCPosHark& l, bool bRun) { l.bStopEventRun = bRun; }
  static bool StopEventRun(RCPosHark& l) { return l.bStopEventRun; }
};

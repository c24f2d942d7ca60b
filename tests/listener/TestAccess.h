// White-box access to RCPosHark for the tests (RCPosHark.h names this class
// a friend). Only tests include this header.
#pragma once

#include <poshark/RCPosHark.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "commands/CmdSetCatalog.h"
#include "commands/RCCmdSet.h"
#include "commands/StreamAnalyzer.h"
#include "listener/LineIntake.h"
#include "listener/RCLineQueue.h"

class RCPosHarkTestAccess {
 public:
  static RCDataQueue& AnalyzeQueue(RCPosHark& l) { return *l.m_AnalyzeQueue; }
  static RCLineQueue& WriteQueue(RCPosHark& l) { return *l.m_WriteQueue; }

  // Installs a command set without reading a file, as a selection would.
  static RCCmdSet* SetCmdSet(RCPosHark& l, std::unique_ptr<RCCmdSet> pSet) {
    return l.m_Catalog->Adopt(std::move(pSet));
  }

  static poshark::listener::LineIntake& Intake(RCPosHark& l) { return *l.m_Intake; }
  static poshark::commands::StreamAnalyzer& Analyzer(RCPosHark& l) { return *l.m_Analyzer; }

  static bool Started(RCPosHark& l) { return l.bStarted; }
  static bool Running(RCPosHark& l) { return l.bRunning; }
  static bool GateOpen(RCPosHark& l) { return l.bGateOpen; }
  static bool HostFeed(RCPosHark& l) { return l.bHostFeed; }

  // Serial reader and port resume watcher.
  static void USBResumeStart(RCPosHark& l) { l.USBResumeStart(); }
  static int CheckErrDesert(RCPosHark& l, uint32_t dwMask) { return l.CheckErrDesert(dwMask); }
  static uint32_t OpenTick(RCPosHark& l) { return l.dwOpenTick; }

  // Graph decoding.
  // One DecodeGraph call on the bytes; answers its output. The sequence
  // state carries over between calls, as between chunks.
  static std::vector<unsigned char> DecodeGraph(RCPosHark& l, std::vector<unsigned char> data) {
    poshark::commands::GraphDecoder& graph = l.m_Intake->Graph();
    if (!graph.Ready()) graph.Reset();
    l.DecodeGraph(static_cast<int>(data.size()), data.data());
    return std::vector<unsigned char>(graph.Output(), graph.Output() + graph.OutputLen());
  }
  static int SeqLeft(RCPosHark& l) { return l.m_Intake->Graph().SeqLeft(); }
};

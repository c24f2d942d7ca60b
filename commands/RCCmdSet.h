// RCCmdSet: one loaded command set (a command-set INI file) with its command
// table, its matchers and the transaction state of the stream it reads.
//
// Threads: Load and Clear run while the listener is stopped. IsLineEnd and
// ResetIdle run on the byte-intake thread; MatchCommand, AnalyzeBarcode,
// MeasureParam, the barcode/last-command accessors, TakeTranEvent and
// TakeAutoStart on the analyzer thread; IdleTick on the idle stop thread.
// The transaction fields those threads share are atomics; every other field
// belongs to the one thread named above.
#pragma once

#include "commands/CodeTables.h"
#include "commands/PrnCmd.h"
#include "commands/TextScan.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace poshark::platform {
class ProfileReader;
class DynLib;
}  // namespace poshark::platform

class RCCmdSet {
 public:
  RCCmdSet();
  virtual ~RCCmdSet();
  RCCmdSet(const RCCmdSet&) = delete;
  RCCmdSet& operator=(const RCCmdSet&) = delete;

  // Loads the set from a command-set file. Invalid entries are left out; a
  // missing or unreadable file loads as an empty set. Always true.
  bool Load(std::string strFilePath);
  // Forgets every command, group, the barcode, the plug-ins and the matcher
  // state, so that nothing refers to a discarded record or library.
  void Clear();

  // Change-line matching, one byte per call, across calls and chunks: true
  // when a change-line command ends with this byte. Not to be called for LF.
  bool IsLineEnd(unsigned char byData);
  // First i in [nFrom, nEnd) at which pData[i] is LF or may start a
  // change-line command, or nEnd.
  int FindLineEndStart(const unsigned char* pData, int nFrom, int nEnd) const {
    return poshark::commands::FindStart(lineEndScan_, aLineEndStarts_.data(), pData, nFrom, nEnd);
  }

  // Command at the analysis cursor. nLen is the count of bytes from pData to
  // the end of the buffer and is updated when bytes are removed. Answers a
  // result code (CMD_*).
  int MatchCommand(unsigned char* pData, int& nLen);
  // MatchCommand for a caller that reads on past the removed bytes itself:
  // a command whose parameter follows it directly leaves the bytes after it
  // where they are (nLen still tells how many are left); only one that
  // keeps bytes before its parameter closes them up.
  int MatchCommandAtFront(unsigned char* pData, int& nLen);
  // Barcode at the analysis cursor; same contract as MatchCommand. On
  // CMD_DONE the barcode output is ready for GetBarcodeText.
  int AnalyzeBarcode(unsigned char* pData, int& nLen);
  // Applies pCmd's parameter rule to the n bytes at pData: *pStart and
  // *pParamLen receive where the parameter lies on CMD_DONE.
  int MeasureParam(unsigned char* pData, int n, STRUCT_PrnCmd* pCmd, int* pStart, int* pParamLen);

  // The last barcode output. False when none was ever built. With a buffer
  // of at least nOutLen bytes copies it; otherwise sets nSize to nOutLen.
  bool GetBarcodeText(unsigned char* pBuf, int& nSize);
  // nCmdLen of the last completed command, 0 when none.
  int GetLastCmdLen();
  // nTextLen of the last completed command (0 when none); copies the text
  // (nTextLen bytes, no NUL) when a buffer is given.
  int GetLastCmdText(unsigned char* pBuf);

  // Transaction state.
  // Event of the last completed command: 1 closes, 0 opens (also the
  // automatic start), 2 voids, -1 nothing.
  int TakeTranEvent();
  // Opens a transaction automatically when the set allows it and none is
  // open; true when it did.
  bool TakeAutoStart();
  // One second without data: true when the idle time has run out and the
  // transaction was closed by this call.
  bool IdleTick();
  // Data arrived: the idle count starts again.
  void ResetIdle();

  // Change-line matcher state (byte-intake thread).
  std::unique_ptr<unsigned char[]> pLineEndBuf;  // as long as the longest change-line command
  int nLineEndMatched = 0;
  STRUCT_PrnCmd* pLineEndCmd = nullptr;  // borrowed from arChangeLine
  int nLineEndIndex = 0;

  // Command table, in entry order (invalid entries absent).
  std::vector<std::unique_ptr<STRUCT_PrnCmd>> arChangeLine;
  std::vector<std::unique_ptr<STRUCT_PrnCmd>> arSingle;
  std::vector<std::unique_ptr<STRUCT_MultiCmd>> arMulti;

  std::unique_ptr<STRUCT_PrnCmd> pBarcode;         // null without a valid barcode entry
  PFN_BarcodeAnalyze pfnBarcodeAnalyze = nullptr;  // analyzer plug-in export or null

  // Analysis references (analyzer thread), borrowed from the table.
  STRUCT_PrnCmd* pCurCmd = nullptr;      // command whose parameter is incomplete
  STRUCT_PrnCmd* pLastCmd = nullptr;     // last completed command
  STRUCT_PrnCmd* pCurBarcode = nullptr;  // barcode in progress

  std::string strName;  // [Main] "Module_Name"

  // The set's code tables ([CodeTables]); off unless the section is valid.
  poshark::commands::CodeTables tables;
  // The table number of the last select command taken (analyzer thread),
  // read before its bytes are removed; -1 before the first.
  int nLastTableParam = -1;
  // Lead bytes of this set's command groups that fixed-length commands took
  // as their parameters since the set was loaded: a command read with more
  // parameter bytes than its printer gives it swallows the commands after
  // it. Written by the analyzer thread, read by any.
  std::atomic<uint32_t> nSwallowedLeads{0};
  // Counts the group leads among a fixed-length command's parameter bytes
  // (analyzer thread).
  void CountSwallowedLeads(const unsigned char* pParam, int nParamLen);

  // The automatic stop after nWaitTime seconds without data is in force;
  // cleared by any "TRAN_STOP" entry.
  std::atomic<bool> bStopEvent{true};

  bool bGraphMode = false;
  bool bPOSTextSenderMode = false;

  int nSpaceCount = 0;  // [TAB] "SpaceCount" as read

  // Preprocess plug-in.
  bool bDllPreprocess = false;
  std::unique_ptr<poshark::platform::DynLib> hPreprocessDll;  // null when not loaded
  PFN_Preprocess pfnPreprocess = nullptr;

  // The first text after a stop opens a transaction; cleared by any
  // "TRAN_START" entry.
  std::atomic<bool> bAutoStart{true};
  std::atomic<bool> bTranClosed{true};  // no transaction is open

  std::atomic<int> nWaitTime{30};  // seconds, 1..600
  std::atomic<int> nIdleCount{0};  // seconds counted without data

  // Barcode buffers (analyzer thread). They only grow.
  std::unique_ptr<unsigned char[]> pOutBuf;
  int nOutCap = 0;
  int nOutLen = 0;
  std::unique_ptr<unsigned char[]> pCopyBuf;
  int nCopyCap = 0;

  std::string strPath;  // path of the loaded file

  // Analyzer plug-in.
  bool bUseDll = false;
  std::unique_ptr<poshark::platform::DynLib> hUseDll;  // null when not loaded

  // Output filter plug-in.
  bool bUseFilterDll = false;
  std::unique_ptr<poshark::platform::DynLib> hFilterDll;  // null when not loaded
  PFN_Filter pfnFilter = nullptr;

 private:
  // Plug-in hooks, called by Load and Clear in their fixed order.
  void LoadAnalyzerPlugin(const poshark::platform::ProfileReader& ini);
  void LoadPreprocessPlugin(const poshark::platform::ProfileReader& ini);
  void LoadFilterPlugin(const poshark::platform::ProfileReader& ini);
  void LoadBarcodeAnalyze(const poshark::platform::ProfileReader& ini);
  void ReleasePlugins();
  // Entry point of the analyzer plug-in for a type-3 command, or null.
  PFN_ParamAnalyze ResolveAnalyze(const std::string& name);
  static PFN_ParamAnalyze ResolveAnalyzeThunk(void* pThis, const std::string& name);

  void LoadLists(const poshark::platform::ProfileReader& ini);
  void BuildDispatch();
  void ResetLineEnd();
  void BuildLineEndTree();
  // The child of a node for the next byte, or -1.
  int32_t LineEndChild(int32_t nNode, unsigned char by) const;
  bool GrowBuffer(std::unique_ptr<unsigned char[]>& buf, int& nCap, int nNeed);
  int MatchGroupsSlow(const unsigned char* pData, int nLen, STRUCT_PrnCmd** ppFound);
  int MatchSinglesSlow(const unsigned char* pData, int nLen, STRUCT_PrnCmd** ppFound);
  int Match(unsigned char* pData, int& nLen, bool bCloseUp);
  int TakeMatched(unsigned char* pData, int& nLen, bool bCloseUp);

  // First-byte dispatch, rebuilt by Load. Lists keep entry order, so the
  // first hit in a bucket is the first hit of the whole list.
  struct GroupIndex {
    int nMaxLen = 0;
    // Commands that can match when the second data byte is b: those whose
    // second byte is b plus those of one byte, in entry order.
    std::array<uint32_t, 257> aSecondStart{};
    std::vector<STRUCT_PrnCmd*> arBySecond;
  };
  std::array<uint32_t, 257> aSingleStart_{};
  std::vector<STRUCT_PrnCmd*> arSingleByFirst_;
  // First bytes that start many single commands are indexed by the second
  // byte as well (nMaxLen unused): -1, or the index into singleBySecond_.
  std::array<int32_t, 256> aSingleBySecond_{};
  std::vector<GroupIndex> singleBySecond_;
  int nMaxSingleLen_ = 0;
  std::array<uint32_t, 257> aGroupStart_{};
  std::vector<uint32_t> arGroupByLead_;  // indices into arMulti / groupIndex_
  std::vector<GroupIndex> groupIndex_;
  // The change-line commands as a prefix tree; node 0 is the empty prefix.
  // A node's command is the first in entry order that starts with the
  // node's bytes. Every listener loads its own sets, so the tree is kept
  // flat: a node's children, sorted by byte, are nCount entries of
  // lineEndChildren_ from nChildren on.
  struct LineEndNode {
    int32_t nFirst = -1;
    int32_t nChildren = 0;
    int32_t nCount = 0;
  };
  std::vector<LineEndNode> lineEndNodes_{1};
  std::vector<std::pair<unsigned char, int32_t>> lineEndChildren_;
  int32_t nLineEndNode_ = 0;  // the node of the bytes matched so far
  // LF and the first bytes of the change-line commands, and their scan.
  std::array<uint8_t, 256> aLineEndStarts_{};
  poshark::commands::ScanPlan lineEndScan_;
};

// Asked after every command the analyzer takes: inline.
inline int RCCmdSet::TakeTranEvent() {
  if (pLastCmd && pLastCmd->nTran == TRAN_STOP) {
    bTranClosed = true;
    return TRAN_STOP;
  }
  if (TakeAutoStart()) return TRAN_START;
  if (!pLastCmd) return TRAN_NONE;
  if (pLastCmd->nTran == TRAN_START) bTranClosed = false;
  return pLastCmd->nTran;
}

inline bool RCCmdSet::TakeAutoStart() {
  // The plain load spares the locked exchange while a transaction is open.
  bool closed = true;
  return bAutoStart && bTranClosed.load() && bTranClosed.compare_exchange_strong(closed, false);
}

// RCCmdSet: loading, the command table's matchers and the transaction state.
#include "commands/RCCmdSet.h"

#include "commands/Plugins.h"
#include "platform/DynLib.h"
#include "platform/Profile.h"

#include <algorithm>
#include <cstring>

using poshark::platform::ProfileReader;
namespace cmds = poshark::commands;

namespace {

constexpr const char* kMain = "Main";

// A fixed-length command's parameter: the bytes up to the total length
// given; a total below the command's own length names no parameter.
inline int MeasureFixed(const STRUCT_PrnCmd& cmd, int n, int* pStart, int* pParamLen) {
  *pStart = 0;
  *pParamLen = std::max(0, cmd.nParam - cmd.nCmdLen);
  return *pParamLen <= n ? CMD_DONE : CMD_MORE;
}

// Command bytes are a few bytes long: a loop beats a library call.
inline bool SameBytes(const unsigned char* a, const unsigned char* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Compact bucket lists ("CSR"): aStart[b]..aStart[b+1] index the entries of
// bucket b in arItems, in the order they were added.
template <typename T, typename KeyFn>
void BuildBuckets(const std::vector<T>& items, KeyFn key, std::array<uint32_t, 257>& aStart,
                  std::vector<T>& arItems) {
  aStart.fill(0);
  for (const T& item : items) ++aStart[key(item) + 1];
  for (int b = 0; b < 256; ++b) aStart[b + 1] += aStart[b];
  arItems.assign(items.size(), T{});
  std::array<uint32_t, 256> fill{};
  for (int b = 0; b < 256; ++b) fill[b] = aStart[b];
  for (const T& item : items) arItems[fill[key(item)]++] = item;
}

// Single commands sharing a first byte, from this many on, are also indexed
// by their second byte.
constexpr uint32_t kMinSinglesBySecond = 4;

// Commands that can match when the second data byte is b: those whose second
// byte is b plus those of one byte, in the order of cmds.
template <typename List>
void IndexBySecond(const List& cmds, std::array<uint32_t, 257>& aStart,
                   std::vector<STRUCT_PrnCmd*>& arBy) {
  arBy.clear();
  for (int b = 0; b < 256; ++b) {
    aStart[b] = static_cast<uint32_t>(arBy.size());
    for (auto& c : cmds)
      if (c->nCmdLen == 1 || c->pCmd[1] == b) arBy.push_back(&*c);
  }
  aStart[256] = static_cast<uint32_t>(arBy.size());
}

// Parameter bounds as a plug-in may answer them: inside the n bytes.
bool ParamInside(int nStart, int nParamLen, int n) {
  return nStart >= 0 && nParamLen >= 0 &&
         static_cast<long long>(nStart) + nParamLen <= static_cast<long long>(n);
}

}  // namespace

RCCmdSet::RCCmdSet() { BuildDispatch(); }

RCCmdSet::~RCCmdSet() { Clear(); }

// ---------------------------------------------------------------- loading

bool RCCmdSet::Load(std::string strFilePath) {
  Clear();
  // The transaction state belongs to the stream this file describes; the
  // switches are cleared below by the keywords the file really carries.
  bStopEvent = true;
  bAutoStart = true;
  bTranClosed = true;
  nIdleCount = 0;

  strPath = std::move(strFilePath);
  // Profile names without a folder mean the poshark home; a set's path is
  // always a file path.
  std::string file = strPath.find('/') == std::string::npos ? "./" + strPath : strPath;
  ProfileReader ini(file.c_str());

  strName = ini.GetString(kMain, "Module_Name");
  bGraphMode = ini.GetInt(kMain, "bGraphMode", 0) != 0;
  bPOSTextSenderMode = ini.GetInt(kMain, "bPOSTextSenderMode", 0) != 0;
  tables.Load(ini, bGraphMode || bPOSTextSenderMode);
  LoadAnalyzerPlugin(ini);
  nSpaceCount = ini.GetInt("TAB", "SpaceCount", 1);
  LoadPreprocessPlugin(ini);
  LoadLists(ini);
  (void)ini.GetInt(kMain, "R-Num", 0);  // the barcode section has exactly one entry

  int wait = ini.GetInt("STOP_EVENT", "WaitTime", 30);
  nWaitTime = std::clamp(wait, 1, 600);

  LoadFilterPlugin(ini);
  tables.Finish();
  BuildDispatch();
  return true;
}

void RCCmdSet::LoadLists(const ProfileReader& ini) {
  cmds::EntryKeywords keywords;

  int nC = ini.GetInt(kMain, "C-Num", 0);
  int nMaxLen = 0;
  for (auto& [n, value] : ini.GetNumberedValues("ChangeLine-Command", nC)) {
    if (auto cmd = cmds::ParseChangeLineEntry(value)) {
      nMaxLen = std::max(nMaxLen, cmd->nCmdLen);
      arChangeLine.push_back(std::move(cmd));
    }
  }
  if (!arChangeLine.empty()) pLineEndBuf = std::make_unique<unsigned char[]>(nMaxLen);

  int nS = ini.GetInt(kMain, "S-Num", 0);
  for (auto& [n, value] : ini.GetNumberedValues("Single-Command", nS)) {
    if (auto cmd =
            cmds::ParseCommandEntry(value, nSpaceCount, &keywords, ResolveAnalyzeThunk, this)) {
      tables.MarkCommand("Single-Command", n, *cmd);
      arSingle.push_back(std::move(cmd));
    }
  }

  int nM = ini.GetInt(kMain, "M-Num", 0);
  for (auto& [n, value] : ini.GetNumberedValues("Mutli-Command", nM)) {
    std::string section;
    unsigned char lead = 0;
    int count = 0;
    if (!cmds::ParseGroupEntry(value, &section, &lead, &count)) continue;
    auto group = std::make_unique<STRUCT_MultiCmd>();
    group->byLead = lead;
    for (auto& [i, entry] : ini.GetNumberedValues(section, count)) {
      if (auto cmd =
              cmds::ParseCommandEntry(entry, nSpaceCount, &keywords, ResolveAnalyzeThunk, this)) {
        tables.MarkCommand(section, i, *cmd);
        group->arCmds.push_back(std::move(cmd));
      }
    }
    arMulti.push_back(std::move(group));
  }

  if (ini.HasKey("BARCODE", "1")) {
    pBarcode = cmds::ParseCommandEntry(ini.GetString("BARCODE", "1"), nSpaceCount, &keywords,
                                       ResolveAnalyzeThunk, this);
    if (pBarcode) LoadBarcodeAnalyze(ini);
  }

  if (keywords.bSawStart) bAutoStart = false;
  if (keywords.bSawStop) bStopEvent = false;
}

void RCCmdSet::Clear() {
  ResetLineEnd();
  ReleasePlugins();
  arChangeLine.clear();
  arSingle.clear();
  arMulti.clear();
  pBarcode.reset();
  pCurCmd = nullptr;
  pLastCmd = nullptr;
  pCurBarcode = nullptr;
  pfnBarcodeAnalyze = nullptr;
  tables.Clear();
  nLastTableParam = -1;
  nSwallowedLeads = 0;
  BuildDispatch();
}

PFN_ParamAnalyze RCCmdSet::ResolveAnalyzeThunk(void* pThis, const std::string& name) {
  return static_cast<RCCmdSet*>(pThis)->ResolveAnalyze(name);
}

void RCCmdSet::BuildDispatch() {
  std::vector<STRUCT_PrnCmd*> singles;
  nMaxSingleLen_ = 0;
  for (auto& c : arSingle) {
    singles.push_back(c.get());
    nMaxSingleLen_ = std::max(nMaxSingleLen_, c->nCmdLen);
  }
  BuildBuckets(
      singles, [](STRUCT_PrnCmd* c) { return c->pCmd[0]; }, aSingleStart_, arSingleByFirst_);
  aSingleBySecond_.fill(-1);
  singleBySecond_.clear();
  for (int f = 0; f < 256; ++f) {
    if (aSingleStart_[f + 1] - aSingleStart_[f] < kMinSinglesBySecond) continue;
    std::vector<STRUCT_PrnCmd*> bucket(arSingleByFirst_.begin() + aSingleStart_[f],
                                       arSingleByFirst_.begin() + aSingleStart_[f + 1]);
    aSingleBySecond_[f] = static_cast<int32_t>(singleBySecond_.size());
    GroupIndex& sx = singleBySecond_.emplace_back();
    IndexBySecond(bucket, sx.aSecondStart, sx.arBySecond);
  }

  std::vector<uint32_t> groups;
  groupIndex_.assign(arMulti.size(), GroupIndex{});
  for (size_t g = 0; g < arMulti.size(); ++g) {
    groups.push_back(static_cast<uint32_t>(g));
    GroupIndex& gx = groupIndex_[g];
    for (auto& c : arMulti[g]->arCmds) gx.nMaxLen = std::max(gx.nMaxLen, c->nCmdLen);
    IndexBySecond(arMulti[g]->arCmds, gx.aSecondStart, gx.arBySecond);
  }
  BuildBuckets(
      groups, [this](uint32_t g) { return arMulti[g]->byLead; }, aGroupStart_, arGroupByLead_);

  BuildLineEndTree();
}

// ---------------------------------------------------------------- change-line matching

void RCCmdSet::ResetLineEnd() {
  nLineEndMatched = 0;
  if (pLineEndBuf) pLineEndBuf[0] = 0;
  pLineEndCmd = nullptr;
  nLineEndIndex = 0;
  nLineEndNode_ = 0;
}

bool RCCmdSet::IsLineEnd(unsigned char byData) {
  if (!pLineEndBuf) return false;
  int& k = nLineEndMatched;
  int32_t nNode = -1;
  if (k > 0 && pLineEndCmd) {
    if (k >= pLineEndCmd->nCmdLen) {
      ResetLineEnd();
      return false;
    }
    pLineEndBuf[k] = byData;
    nNode = LineEndChild(nLineEndNode_, byData);
    // No command goes on with these bytes: the byte may start a new one.
    if (nNode < 0) ResetLineEnd();
  } else if (k > 0) {
    ResetLineEnd();
  }
  if (nNode < 0) {
    nNode = LineEndChild(0, byData);
    if (nNode < 0) return false;
    pLineEndBuf[0] = byData;
  }
  // The node's command is the first in entry order that starts with the
  // bytes seen; the line ends when those bytes are all of it.
  int32_t nFirst = lineEndNodes_[static_cast<size_t>(nNode)].nFirst;
  STRUCT_PrnCmd* c = arChangeLine[static_cast<size_t>(nFirst)].get();
  if (c->nCmdLen == ++k) {
    ResetLineEnd();
    return true;
  }
  pLineEndCmd = c;
  nLineEndIndex = nFirst;
  nLineEndNode_ = nNode;
  return false;
}

namespace {

using LineEndChildren = std::vector<std::pair<unsigned char, int32_t>>;

// The child of a node for a byte among its children sorted by byte; -1 when
// there is none.
int32_t FindChild(const std::pair<unsigned char, int32_t>* pFirst, size_t nCount,
                  unsigned char by) {
  const auto* pEnd = pFirst + nCount;
  const auto* it = std::lower_bound(
      pFirst, pEnd, by, [](const auto& child, unsigned char b) { return child.first < b; });
  return it != pEnd && it->first == by ? it->second : -1;
}

}  // namespace

int32_t RCCmdSet::LineEndChild(int32_t nNode, unsigned char by) const {
  const LineEndNode& node = lineEndNodes_[static_cast<size_t>(nNode)];
  return FindChild(lineEndChildren_.data() + node.nChildren, static_cast<size_t>(node.nCount), by);
}

// The prefix tree of the change-line commands. Commands go in in entry
// order, so a node's first command is the one that made it. Built with a
// list of children per node, then laid out flat.
void RCCmdSet::BuildLineEndTree() {
  std::vector<int32_t> firsts{-1};
  std::vector<LineEndChildren> children(1);
  for (size_t i = 0; i < arChangeLine.size(); ++i) {
    const STRUCT_PrnCmd& cmd = *arChangeLine[i];
    size_t nNode = 0;
    for (int j = 0; j < cmd.nCmdLen; ++j) {
      unsigned char by = cmd.pCmd[static_cast<size_t>(j)];
      int32_t nNext = FindChild(children[nNode].data(), children[nNode].size(), by);
      if (nNext < 0) {
        nNext = static_cast<int32_t>(firsts.size());
        firsts.push_back(static_cast<int32_t>(i));
        children.emplace_back();
        auto& list = children[nNode];
        list.insert(std::lower_bound(list.begin(), list.end(), std::make_pair(by, nNext)),
                    std::make_pair(by, nNext));
      }
      nNode = static_cast<size_t>(nNext);
    }
  }
  lineEndNodes_.assign(firsts.size(), LineEndNode{});
  lineEndChildren_.clear();
  lineEndChildren_.reserve(firsts.size() - 1);
  for (size_t n = 0; n < firsts.size(); ++n) {
    lineEndNodes_[n] = {firsts[n], static_cast<int32_t>(lineEndChildren_.size()),
                        static_cast<int32_t>(children[n].size())};
    lineEndChildren_.insert(lineEndChildren_.end(), children[n].begin(), children[n].end());
  }
  aLineEndStarts_.fill(0);
  aLineEndStarts_[0x0A] = 1;
  for (const auto& [by, nChild] : children[0]) aLineEndStarts_[by] = 1;
  lineEndScan_ = poshark::commands::MakeScanPlan(aLineEndStarts_.data());
}

// ---------------------------------------------------------------- command matching

// Exactly the list walk: a command longer than the bytes left answers "more
// data" as soon as the walk reaches it. Used only near the end of a buffer.
int RCCmdSet::MatchGroupsSlow(const unsigned char* pData, int nLen, STRUCT_PrnCmd** ppFound) {
  for (auto& group : arMulti) {
    if (group->byLead != pData[0]) continue;
    for (auto& c : group->arCmds) {
      if (c->nCmdLen > nLen) return CMD_MORE;
      if (SameBytes(c->pCmd.get() + 1, pData + 1, c->nCmdLen - 1)) {
        *ppFound = c.get();
        return CMD_NONE;
      }
    }
  }
  return CMD_NONE;
}

int RCCmdSet::MatchSinglesSlow(const unsigned char* pData, int nLen, STRUCT_PrnCmd** ppFound) {
  for (auto& c : arSingle) {
    if (c->nCmdLen > nLen) return CMD_MORE;
    if (SameBytes(c->pCmd.get(), pData, c->nCmdLen)) {
      *ppFound = c.get();
      return CMD_NONE;
    }
  }
  return CMD_NONE;
}

int RCCmdSet::MatchCommand(unsigned char* pData, int& nLen) { return Match(pData, nLen, true); }

int RCCmdSet::MatchCommandAtFront(unsigned char* pData, int& nLen) {
  return Match(pData, nLen, false);
}

int RCCmdSet::Match(unsigned char* pData, int& nLen, bool bCloseUp) {
  if (!pCurCmd) {
    if (!pData || nLen < 1) return arSingle.empty() ? CMD_NONE : CMD_MORE;
    STRUCT_PrnCmd* found = nullptr;
    const unsigned char lead = pData[0];

    // Groups with this lead byte, in list order. Far from the end of the
    // buffer no command can be longer than the bytes left, so only the
    // commands whose second byte fits need comparing.
    for (uint32_t i = aGroupStart_[lead]; i < aGroupStart_[lead + 1] && !found; ++i) {
      uint32_t g = arGroupByLead_[i];
      const GroupIndex& gx = groupIndex_[g];
      if (nLen >= gx.nMaxLen && nLen >= 2) {
        const unsigned char second = pData[1];
        for (uint32_t j = gx.aSecondStart[second]; j < gx.aSecondStart[second + 1]; ++j) {
          STRUCT_PrnCmd* c = gx.arBySecond[j];
          if (SameBytes(c->pCmd.get() + 1, pData + 1, c->nCmdLen - 1)) {
            found = c;
            break;
          }
        }
      } else {
        for (auto& c : arMulti[g]->arCmds) {
          if (c->nCmdLen > nLen) return CMD_MORE;
          if (SameBytes(c->pCmd.get() + 1, pData + 1, c->nCmdLen - 1)) {
            found = c.get();
            break;
          }
        }
      }
    }

    if (!found) {
      if (nLen >= nMaxSingleLen_) {
        uint32_t j = aSingleStart_[lead];
        uint32_t jEnd = aSingleStart_[lead + 1];
        STRUCT_PrnCmd* const* list = arSingleByFirst_.data();
        if (int32_t s = aSingleBySecond_[lead]; s >= 0 && nLen >= 2) {
          const GroupIndex& sx = singleBySecond_[static_cast<size_t>(s)];
          j = sx.aSecondStart[pData[1]];
          jEnd = sx.aSecondStart[pData[1] + 1];
          list = sx.arBySecond.data();
        }
        for (; j < jEnd; ++j) {
          STRUCT_PrnCmd* c = list[j];
          if (SameBytes(c->pCmd.get(), pData, c->nCmdLen)) {
            found = c;
            break;
          }
        }
      } else if (MatchSinglesSlow(pData, nLen, &found) == CMD_MORE) {
        return CMD_MORE;
      }
    }
    if (!found) return CMD_NONE;
    pCurCmd = found;
  }
  return TakeMatched(pData, nLen, bCloseUp);
}

void RCCmdSet::CountSwallowedLeads(const unsigned char* pParam, int nParamLen) {
  uint32_t n = 0;
  for (int i = 0; i < nParamLen; ++i) {
    if (aGroupStart_[pParam[i]] != aGroupStart_[pParam[i] + 1]) ++n;
  }
  if (n > 0) nSwallowedLeads.fetch_add(n, std::memory_order_relaxed);
}

int RCCmdSet::TakeMatched(unsigned char* pData, int& nLen, bool bCloseUp) {
  STRUCT_PrnCmd* c = pCurCmd;
  if (c->nType == 1 && c->nParam == 0) {
    pCurCmd = nullptr;
    pLastCmd = c;
    return CMD_MARKER;
  }
  int n = nLen - c->nCmdLen;
  int start = 0;
  int paramLen = 0;
  // Most commands have a fixed length: measured here, without the call.
  int result = c->nType == 1 ? MeasureFixed(*c, n, &start, &paramLen)
                             : MeasureParam(pData + c->nCmdLen, n, c, &start, &paramLen);
  // A plug-in's answer that points outside the data cannot be taken.
  if (result == CMD_DONE && !ParamInside(start, paramLen, n)) result = CMD_DISCARD;
  if (result == CMD_DONE) {
    if (c->tableRole == TableRole::kSelect) nLastTableParam = pData[c->nCmdLen + c->nTableAt];
    if (c->nType == 1) CountSwallowedLeads(pData + c->nCmdLen + start, paramLen);
    // The bytes before the parameter stay; the command and the parameter go.
    if (start > 0) std::memmove(pData, pData + c->nCmdLen, static_cast<size_t>(start));
    int rest = n - start - paramLen;
    if (rest > 0 && (bCloseUp || start > 0))
      std::memmove(pData + start, pData + c->nCmdLen + start + paramLen, static_cast<size_t>(rest));
    nLen -= c->nCmdLen + paramLen;
    pLastCmd = c;
    pCurCmd = nullptr;
    return CMD_DONE;
  }
  if (result == CMD_DISCARD) {
    if (nLen > 0) pData[0] = 0;
    nLen = 0;
    pCurCmd = nullptr;
    return CMD_DISCARD;
  }
  return result;
}

int RCCmdSet::MeasureParam(unsigned char* pData, int n, STRUCT_PrnCmd* pCmd, int* pStart,
                           int* pParamLen) {
  if (!pCmd || !pStart || !pParamLen) return CMD_DISCARD;
  switch (pCmd->nType) {
    case 1:
      return MeasureFixed(*pCmd, n, pStart, pParamLen);
    case 2: {
      if (n < 1) return CMD_MORE;
      const void* nul = std::memchr(pData, 0, static_cast<size_t>(n));
      if (!nul) return CMD_MORE;
      *pStart = 0;
      *pParamLen = static_cast<int>(static_cast<const unsigned char*>(nul) - pData) + 1;
      return CMD_DONE;
    }
    case 3:
      if (pCmd->pfnAnalyze) {
        if (n < 0) return CMD_MORE;
        // Answers and ranges are checked there: nothing but 1, 2 or 3
        // comes back, so the analyzer always makes progress.
        return cmds::CallParamAnalyze(pCmd->pfnAnalyze, pData, n, pStart, pParamLen);
      }
      return CMD_DISCARD;
    default:
      return CMD_DISCARD;
  }
}

// ---------------------------------------------------------------- barcode

bool RCCmdSet::GrowBuffer(std::unique_ptr<unsigned char[]>& buf, int& nCap, int nNeed) {
  if (nNeed < 1) nNeed = 1;
  if (buf && nCap >= nNeed) return true;
  buf = std::make_unique<unsigned char[]>(static_cast<size_t>(nNeed));
  nCap = nNeed;
  return true;
}

int RCCmdSet::AnalyzeBarcode(unsigned char* pData, int& nLen) {
  if (!pBarcode) return CMD_NONE;
  if (!pCurBarcode) {
    if (!pData || nLen < 1 || pBarcode->pCmd[0] != pData[0]) return CMD_NONE;
    if (pBarcode->nCmdLen > nLen) return CMD_MORE;
    if (std::memcmp(pBarcode->pCmd.get() + 1, pData + 1,
                    static_cast<size_t>(pBarcode->nCmdLen - 1)) != 0)
      return CMD_NONE;
    pCurBarcode = pBarcode.get();
  }
  STRUCT_PrnCmd* c = pCurBarcode;
  int n = nLen - c->nCmdLen;
  unsigned char* param = pData + c->nCmdLen;
  // A plug-in measures a private copy, so it cannot disturb the stream.
  if (c->nType == 3 && c->pfnAnalyze && n > 0) {
    GrowBuffer(pCopyBuf, nCopyCap, n);
    std::memcpy(pCopyBuf.get(), param, static_cast<size_t>(n));
    param = pCopyBuf.get();
  }
  int start = 0;
  int paramLen = 0;
  int result = MeasureParam(param, n, c, &start, &paramLen);
  if (result == CMD_DONE && !ParamInside(start, paramLen, n)) result = CMD_DISCARD;

  if (result == CMD_DONE) {
    const unsigned char* barcode = param + start;
    int barcodeLen = paramLen;
    std::unique_ptr<unsigned char[]> block;
    if (pfnBarcodeAnalyze) {
      int count = start + paramLen;
      block = std::make_unique<unsigned char[]>(static_cast<size_t>(count) * 2 + 1);
      std::memcpy(block.get(), param, static_cast<size_t>(count));
      int outStart = 0;
      int outLen = count;
      int answer = pfnBarcodeAnalyze(block.get(), count, &outStart, &outLen) & 0xFFFF;
      if (answer == CMD_DONE && ParamInside(outStart, outLen, count * 2)) {
        barcode = block.get() + outStart;
        barcodeLen = outLen;
      }
    }
    // A code that the transform reads as no text at all (a QR code sent
    // through the barcode command) prints no line, not even the prefix.
    int textLen = c->pText && barcodeLen > 0 ? c->nTextLen : 0;
    GrowBuffer(pOutBuf, nOutCap, textLen + barcodeLen);
    if (textLen > 0) std::memcpy(pOutBuf.get(), c->pText.get(), static_cast<size_t>(textLen));
    if (barcodeLen > 0)
      std::memcpy(pOutBuf.get() + textLen, barcode, static_cast<size_t>(barcodeLen));
    nOutLen = textLen + barcodeLen;

    int taken = c->nCmdLen + start + paramLen;
    std::memmove(pData, pData + taken, static_cast<size_t>(nLen - taken));
    nLen -= taken;
    pCurBarcode = nullptr;
    return CMD_DONE;
  }
  if (result == CMD_DISCARD) {
    if (nLen > 0) pData[0] = 0;
    nLen = 0;
    pCurBarcode = nullptr;
    return CMD_DISCARD;
  }
  return result;
}

bool RCCmdSet::GetBarcodeText(unsigned char* pBuf, int& nSize) {
  if (!pOutBuf) return false;
  if (pBuf && nSize >= nOutLen) {
    if (nOutLen > 0) std::memcpy(pBuf, pOutBuf.get(), static_cast<size_t>(nOutLen));
    return true;
  }
  nSize = nOutLen;
  return true;
}

int RCCmdSet::GetLastCmdLen() { return pLastCmd ? pLastCmd->nCmdLen : 0; }

int RCCmdSet::GetLastCmdText(unsigned char* pBuf) {
  if (!pLastCmd || !pLastCmd->pText) return 0;
  if (pBuf && pLastCmd->nTextLen > 0)
    std::memcpy(pBuf, pLastCmd->pText.get(), static_cast<size_t>(pLastCmd->nTextLen));
  return pLastCmd->nTextLen;
}

// ---------------------------------------------------------------- transaction state

bool RCCmdSet::IdleTick() {
  if (bTranClosed) return false;
  if (nIdleCount.fetch_add(1) + 1 < nWaitTime) return false;
  nIdleCount = 0;
  // The analyzer may have closed the transaction meanwhile: one stop only.
  return !bTranClosed.exchange(true);
}

void RCCmdSet::ResetIdle() { nIdleCount = 0; }

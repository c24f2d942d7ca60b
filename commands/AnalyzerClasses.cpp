// What the analyzer derives from a command set once per session: the class
// of every byte, the window the matchers need, the text scan, and the
// commands that their first two bytes settle.
#include "commands/AnalyzerPass.h"
#include "commands/RCCmdSet.h"

#include <algorithm>
#include <limits>

namespace poshark::commands {
namespace {

void MarkCommand(uint8_t* byClass, unsigned char by, const STRUCT_PrnCmd& cmd, int* pNeed) {
  uint8_t cls = cmd.nType == 3 ? kFullLength : kWindowed;
  byClass[by] = std::max(byClass[by], cls);
  *pNeed = std::max({*pNeed, cmd.nCmdLen, cmd.nType == 1 ? cmd.nParam : 0});
}

// A command the analyzer may take by itself: fixed length, at most two
// bytes to compare, and all it removes or passes within the window.
bool IsPlain(const STRUCT_PrnCmd& cmd, int nWindow) {
  return cmd.nType == 1 && cmd.nCmdLen <= 2 && std::max(cmd.nCmdLen, cmd.nParam) <= nWindow;
}

// What taking a plain command needs.
SettledCommand Settle(STRUCT_PrnCmd& cmd) {
  SettledCommand settled;
  settled.pCmd = &cmd;
  settled.bMarker = cmd.nParam == 0;
  settled.nTake = settled.bMarker ? cmd.nCmdLen : std::max(cmd.nCmdLen, cmd.nParam);
  if (!settled.bMarker && cmd.pText && cmd.nTextLen > 0) {
    settled.pText = reinterpret_cast<const unsigned char*>(cmd.pText.get());
    settled.nText = cmd.nTextLen;
  }
  return settled;
}

// The row of a first byte: for each second byte, the first single command in
// entry order that can start with the two bytes (the one the matcher takes,
// or the first it tries), when that one is plain. False when no entry is.
bool FillSettledRow(const RCCmdSet& set, unsigned char byLead, StreamAnalyzer::ByteClasses& classes,
                    SettledRow& row) {
  constexpr size_t kMaxIndex = std::numeric_limits<SettledRow::value_type>::max() - 1;
  std::array<bool, 256> bSettled{};
  row.fill(0);
  bool bAny = false;
  auto settle = [&](int nSecond, SettledRow::value_type k) {
    if (!bSettled[nSecond]) {
      bSettled[nSecond] = true;
      row[nSecond] = k;
      bAny = bAny || k != 0;
    }
  };
  for (const auto& pCmd : set.arSingle) {
    STRUCT_PrnCmd& cmd = *pCmd;
    if (cmd.nCmdLen < 1 || cmd.pCmd[0] != byLead) {
      continue;
    }
    SettledRow::value_type k = 0;
    if (IsPlain(cmd, classes.nFirstWindow) && classes.settled.size() < kMaxIndex) {
      classes.settled.push_back(Settle(cmd));
      k = static_cast<SettledRow::value_type>(classes.settled.size());
    }
    if (cmd.nCmdLen >= 2) {
      settle(cmd.pCmd[1], k);
      continue;
    }
    for (int b = 0; b < 256; ++b) {
      settle(b, k);
    }
    break;  // every second byte is settled
  }
  return bAny;
}

// First bytes at which only single commands can start: no group, no
// barcode and no plug-in-measured command begins with them.
void FillSettledRows(const RCCmdSet& set, StreamAnalyzer::ByteClasses& classes) {
  if (classes.nMaxSingle > classes.nFirstWindow) {
    return;  // the matcher would not see every single command whole
  }
  std::array<bool, 256> bShared{};
  for (const auto& pGroup : set.arMulti) {
    if (pGroup) bShared[pGroup->byLead] = true;
  }
  if (set.pBarcode && set.pBarcode->nCmdLen >= 1) {
    bShared[set.pBarcode->pCmd[0]] = true;
  }
  SettledRow row;
  for (int b = 0; b < 256; ++b) {
    if (classes.byClass[b] != kWindowed || bShared[b] ||
        classes.settledRows.size() >= kMaxSettledRows) {
      continue;
    }
    if (FillSettledRow(set, static_cast<unsigned char>(b), classes, row)) {
      classes.settledRows.push_back(row);
      classes.aSettledRow[b] = static_cast<uint8_t>(classes.settledRows.size());
    }
  }
}

}  // namespace

// The classes for this set: kept for the whole of a session (during which
// the set is not reloaded), built anew otherwise.
const StreamAnalyzer::ByteClasses& StreamAnalyzer::ClassesFor(const RCCmdSet& set) {
  if (nSessions_ > 0 && pClassesFor_ == &set) {
    return *pClasses_;
  }
  ByteClasses classes;
  int nNeed = 1;
  uint8_t* const view = classes.byClass;
  for (const auto& pCmd : set.arSingle) {
    if (pCmd && pCmd->nCmdLen >= 1) {
      MarkCommand(view, pCmd->pCmd[0], *pCmd, &nNeed);
      classes.nMaxSingle = std::max(classes.nMaxSingle, pCmd->nCmdLen);
    }
  }
  for (const auto& pGroup : set.arMulti) {
    if (!pGroup) {
      continue;
    }
    classes.byClass[pGroup->byLead] = std::max<uint8_t>(classes.byClass[pGroup->byLead], kWindowed);
    for (const auto& pCmd : pGroup->arCmds) {
      if (pCmd) {
        MarkCommand(view, pGroup->byLead, *pCmd, &nNeed);
      }
    }
  }
  if (set.pBarcode && set.pBarcode->nCmdLen >= 1) {
    unsigned char by = set.pBarcode->pCmd[0];
    MarkCommand(view, by, *set.pBarcode, &nNeed);
    classes.byClass[by] = std::max<uint8_t>(classes.byClass[by], kWindowed);
  }
  classes.scan = MakeScanPlan(classes.byClass);
  classes.nFirstWindow = std::min(nNeed + 1, kMaxFirstWindow);
  FillSettledRows(set, classes);
  *pClasses_ = std::move(classes);
  pClassesFor_ = nSessions_ > 0 ? &set : nullptr;
  return *pClasses_;
}

}  // namespace poshark::commands

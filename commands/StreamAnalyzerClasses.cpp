// What the analyzer derives from a command set once per session: the class
// of every byte, the window the matchers need, the text scan, and the
// commands that their first two bytes settle.
#include "commands/RCCmdSet.h"
#include "commands/StreamAnalyzerPass.h"

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
// bytes to compare, all it removes or passes within the window, and no
// code-table role (those go through the matcher, which reads the number).
bool IsPlain(const STRUCT_PrnCmd& cmd, int nWindow) {
  return cmd.nType == 1 && cmd.nCmdLen <= 2 && std::max(cmd.nCmdLen, cmd.nParam) <= nWindow &&
         cmd.tableRole == TableRole::kNone;
}

// What taking a plain command needs.
SettledCommand Settle(STRUCT_PrnCmd& cmd) {
  SettledCommand settled;
  settled.pCmd = &cmd;
  settled.bMarker = cmd.nParam == 0;
  settled.nTake = settled.bMarker ? cmd.nCmdLen : std::max(cmd.nCmdLen, cmd.nParam);
  settled.nParams = settled.nTake - cmd.nCmdLen;
  if (!settled.bMarker && cmd.pText && cmd.nTextLen > 0) {
    settled.pText = reinterpret_cast<const unsigned char*>(cmd.pText.get());
    settled.nText = cmd.nTextLen;
  }
  return settled;
}

// Builds the row of one first byte. The commands that can start with it are
// offered in the order the matchers try them; for each second byte the first
// one that can start with the two bytes decides: the row names it when it is
// plain, and sends the byte to the matchers otherwise.
class RowBuilder {
 public:
  RowBuilder(StreamAnalyzer::ByteClasses& classes, SettledRow& row) : classes_(classes), row_(row) {
    row_.nNeed = 2;
    row_.aCommand.fill(0);
  }

  // The bytes the matchers must see to answer at once.
  void Need(int n) { row_.nNeed = std::max(row_.nNeed, n); }
  // A second byte the matchers must see (a barcode may start there).
  void Leave(unsigned char bySecond) { Decide(bySecond, 0); }
  // False once every second byte is decided.
  bool Offer(STRUCT_PrnCmd& cmd) {
    if (cmd.nCmdLen >= 2) {
      if (!bDecided_[cmd.pCmd[1]]) {
        Decide(cmd.pCmd[1], Index(cmd));
      }
      return true;
    }
    auto k = Index(cmd);
    for (int b = 0; b < 256; ++b) {
      Decide(static_cast<unsigned char>(b), k);
    }
    return false;
  }
  // True when some second byte names a command.
  bool Useful() const { return bAny_ && row_.nNeed <= classes_.nFirstWindow; }

 private:
  SettledRow::Index Index(STRUCT_PrnCmd& cmd) {
    constexpr size_t kMaxIndex = std::numeric_limits<SettledRow::Index>::max() - 1;
    if (!IsPlain(cmd, classes_.nFirstWindow) || classes_.settled.size() >= kMaxIndex) {
      return 0;
    }
    classes_.settled.push_back(Settle(cmd));
    return static_cast<SettledRow::Index>(classes_.settled.size());
  }
  void Decide(unsigned char bySecond, SettledRow::Index k) {
    if (!bDecided_[bySecond]) {
      bDecided_[bySecond] = true;
      row_.aCommand[bySecond] = k;
      bAny_ = bAny_ || k != 0;
    }
  }

  StreamAnalyzer::ByteClasses& classes_;
  SettledRow& row_;
  std::array<bool, 256> bDecided_{};
  bool bAny_ = false;
};

// The matchers' order at a first byte: a barcode that may start there, the
// groups of that lead byte (a group command's first byte stands for the
// lead and is not compared), then the single commands.
bool FillSettledRow(const RCCmdSet& set, unsigned char byLead, StreamAnalyzer::ByteClasses& classes,
                    SettledRow& row) {
  RowBuilder builder(classes, row);
  const STRUCT_PrnCmd* pBarcode = set.pBarcode.get();
  if (pBarcode && pBarcode->nCmdLen >= 1 && pBarcode->pCmd[0] == byLead) {
    if (pBarcode->nCmdLen < 2) {
      return false;  // every byte after it may be a barcode's
    }
    builder.Need(pBarcode->nCmdLen);
    builder.Leave(pBarcode->pCmd[1]);
  }
  builder.Need(classes.nMaxSingle);
  for (const auto& pGroup : set.arMulti) {
    if (pGroup && pGroup->byLead == byLead) {
      for (const auto& pCmd : pGroup->arCmds) {
        builder.Need(pCmd ? pCmd->nCmdLen : 0);
      }
    }
  }
  auto offerAll = [&] {
    for (const auto& pGroup : set.arMulti) {
      if (!pGroup || pGroup->byLead != byLead) {
        continue;
      }
      for (const auto& pCmd : pGroup->arCmds) {
        if (pCmd && !builder.Offer(*pCmd)) {
          return;
        }
      }
    }
    for (const auto& pCmd : set.arSingle) {
      if (pCmd && pCmd->nCmdLen >= 1 && pCmd->pCmd[0] == byLead && !builder.Offer(*pCmd)) {
        return;
      }
    }
  };
  offerAll();
  return builder.Useful();
}

// Rows for the first bytes that start anything.
void FillSettledRows(const RCCmdSet& set, StreamAnalyzer::ByteClasses& classes) {
  SettledRow row;
  for (int b = 0; b < 256; ++b) {
    if (classes.byClass[b] == kText || classes.settledRows.size() >= kMaxSettledRows) {
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

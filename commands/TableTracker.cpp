// Code tables followed along the analyzer's text.
#include "commands/TableTracker.h"

#include <algorithm>
#include <cstring>

namespace poshark::commands {

void TableTracker::Reset(const CodeTables& tables) {
  active_ = State{tables.StartTable(), false};
  switches_.clear();
}

void TableTracker::AddSwitch(State state, int nHead) {
  if (!switches_.empty() && switches_.back().nAt >= nHead) {
    switches_.back().state = state;  // nothing printed in between
  } else {
    switches_.push_back({nHead, state});
  }
}

void TableTracker::OnCommand(CodeTables& tables, TableRole role, int nParam, int nHead) {
  State state = Current();
  switch (role) {
    case TableRole::kSelect:
      if (!tables.Page(nParam)) {
        tables.CountUnknown(nParam);  // the page in force stays
        return;
      }
      state.nTable = nParam;
      break;
    case TableRole::kReset:
      state = State{tables.StartTable(), false};
      break;
    case TableRole::kDoubleOn:
      state.bDouble = true;
      break;
    case TableRole::kDoubleOff:
      state.bDouble = false;
      break;
    case TableRole::kNone:
      return;
  }
  AddSwitch(state, nHead);
}

const TablePage* TableTracker::PageOf(const CodeTables& tables, State state) {
  const TablePage* pPage = state.bDouble ? tables.DoublePage() : nullptr;
  return pPage ? pPage : tables.Page(state.nTable);
}

const char* TableTracker::Decode(const CodeTables& tables, const unsigned char* pData, int n,
                                 bool bHead, int* pnOut) {
  if (out_.size() < Utf8Room(n)) {
    out_.resize(Utf8Room(n));
  }
  char* o = out_.data();
  State state = bHead ? active_ : Current();
  int nFrom = 0;
  auto appendTo = [&](int nTo) {
    nTo = std::clamp(nTo, nFrom, n);
    const TablePage* pPage = PageOf(tables, state);
    if (pPage) {
      o += WriteUtf8(*pPage, pData + nFrom, nTo - nFrom, o);
    } else if (nTo > nFrom) {
      std::memcpy(o, pData + nFrom, static_cast<size_t>(nTo - nFrom));
      o += nTo - nFrom;
    }
    nFrom = nTo;
  };
  if (bHead) {
    for (const Switch& sw : switches_) {
      appendTo(sw.nAt);
      state = sw.state;
    }
    active_ = state;
    switches_.clear();
  }
  appendTo(n);
  *pnOut = static_cast<int>(o - out_.data());
  return out_.data();
}

void TableTracker::Settle() {
  active_ = Current();
  switches_.clear();
}

}  // namespace poshark::commands

#include "keywords/MdbMap.h"

#include <algorithm>

namespace poshark::keywords {

MdbMap::MdbMap(std::initializer_list<int> types, int nSlots)
    : types_(types),
      nSlots_(std::max(nSlots, 0)),
      slots_(types_.size() * static_cast<size_t>(nSlots_), -1) {}

int MdbMap::TableOf(int nType) const {
  auto it = std::find(types_.begin(), types_.end(), nType);
  return it == types_.end() ? -1 : static_cast<int>(it - types_.begin());
}

bool MdbMap::HasType(int nType) const { return TableOf(nType) >= 0; }

bool MdbMap::HasSlot(int nType, int nID) const {
  return HasType(nType) && nID >= 0 && nID < nSlots_;
}

void MdbMap::Set(int nType, int nID, int nIndex) {
  if (HasSlot(nType, nID)) {
    slots_[SlotOf(TableOf(nType), nID)] = nIndex;
  }
}

int MdbMap::Get(int nType, int nID) const {
  if (!HasSlot(nType, nID)) {
    return -1;
  }
  return slots_[SlotOf(TableOf(nType), nID)];
}

int MdbMap::GetNew(int nType) const {
  int nTable = TableOf(nType);
  if (nTable < 0) {
    return -1;
  }
  for (int nID = 0; nID < nSlots_; ++nID) {
    if (slots_[SlotOf(nTable, nID)] == -1) {
      return nID;
    }
  }
  return -1;
}

void MdbMap::Clear() { std::fill(slots_.begin(), slots_.end(), -1); }

}  // namespace poshark::keywords

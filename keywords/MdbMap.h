// Per MDB type, a table of slots indexed by MDB ID, each holding the list
// index of the keyword that uses the ID or -1 when the ID is free. The
// keyword catcher maps types 1, 3 and 4 with 5 slots each; the colour-key
// catcher type 12 with 32 slots. IDs outside a table and types without one
// are never written. Not synchronised: the owning catcher's list rules apply.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace poshark::keywords {

class MdbMap {
 public:
  MdbMap(std::initializer_list<int> types, int nSlots);

  // True when the type has a table.
  bool HasType(int nType) const;
  // True when the type has a table and the ID is one of its slots.
  bool HasSlot(int nType, int nID) const;
  // Sets a slot; ignored when HasSlot is false.
  void Set(int nType, int nID, int nIndex);
  // The slot's index, or -1 when free or when there is no such slot.
  int Get(int nType, int nID) const;
  // The lowest free ID of the type, or -1 when all are taken or the type
  // has no table.
  int GetNew(int nType) const;
  // Every slot to -1.
  void Clear();
  int SlotCount() const { return nSlots_; }

 private:
  // Index in slots_ of ID nID of table nTable (both checked by the caller).
  size_t SlotOf(int nTable, int nID) const {
    return static_cast<size_t>(nTable) * static_cast<size_t>(nSlots_) + static_cast<size_t>(nID);
  }
  int TableOf(int nType) const;

  std::vector<int> types_;
  int nSlots_;
  std::vector<int> slots_;  // types_.size() tables of nSlots_
};

}  // namespace poshark::keywords

// Keyword groups: the keywords that start with one byte, in list order, one
// group per first byte, groups in the order in which their bytes first occur
// in the list. Groups refer to keywords; they never own them.
#pragma once

#include <poshark/KeyRecords.h>

#include <array>
#include <memory>
#include <vector>

namespace poshark::keywords {

struct KeyWordGroup {
  char cFirst = 0;
  std::vector<STRUCT_KeyWord*> aKeyWords;
};

class KeyGroups {
 public:
  KeyGroups() { groupOfByte_.fill(-1); }

  // Drops every group; the keywords stay.
  void Clear();
  // One group per first byte of the list; empty keywords join none.
  void Rebuild(const std::vector<STRUCT_KeyWord*>& keys);
  // Drops pKey from every group.
  void Forget(STRUCT_KeyWord* pKey);
  // Points every reference to pOld at pNew. True when pNew was grouped and
  // no longer starts with its group's byte (the groups must be rebuilt).
  bool Replace(STRUCT_KeyWord* pOld, STRUCT_KeyWord* pNew);
  // The keywords of keys group by group, then those in no group (added since
  // the last rebuild) in their list order.
  std::vector<STRUCT_KeyWord*> Order(const std::vector<STRUCT_KeyWord*>& keys) const;
  // The group of keywords that start with c, or null.
  const std::vector<STRUCT_KeyWord*>* Starting(char c) const;

 private:
  std::vector<std::unique_ptr<KeyWordGroup>> groups_;
  std::array<int, 256> groupOfByte_{};  // group index per first byte, -1 none
};

}  // namespace poshark::keywords

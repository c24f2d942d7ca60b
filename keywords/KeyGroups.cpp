#include "keywords/KeyWordGroup.h"

#include "keywords/Records.h"

#include <algorithm>
#include <unordered_set>

namespace poshark::keywords {

void KeyGroups::Clear() {
  groups_.clear();
  groupOfByte_.fill(-1);
}

void KeyGroups::Rebuild(const std::vector<STRUCT_KeyWord*>& keys) {
  Clear();
  for (STRUCT_KeyWord* pKey : keys) {
    pKey->nKeyLen = static_cast<int>(BoundedLength(pKey->pszKeyWord, kMaxKeyTextLen));
    if (pKey->nKeyLen < 1) continue;  // an empty keyword would match the terminator
    auto nByte = static_cast<unsigned char>(pKey->pszKeyWord[0]);
    int nGroup = groupOfByte_[nByte];
    if (nGroup < 0) {
      auto pGroup = std::make_unique<KeyWordGroup>();
      pGroup->cFirst = pKey->pszKeyWord[0];
      nGroup = static_cast<int>(groups_.size());
      groups_.push_back(std::move(pGroup));
      groupOfByte_[nByte] = nGroup;
    }
    groups_[static_cast<size_t>(nGroup)]->aKeyWords.push_back(pKey);
  }
}

void KeyGroups::Forget(STRUCT_KeyWord* pKey) {
  for (auto& pGroup : groups_) {
    auto& refs = pGroup->aKeyWords;
    refs.erase(std::remove(refs.begin(), refs.end(), pKey), refs.end());
  }
}

bool KeyGroups::Replace(STRUCT_KeyWord* pOld, STRUCT_KeyWord* pNew) {
  bool bRegroup = false;
  for (auto& pGroup : groups_) {
    for (STRUCT_KeyWord*& pRef : pGroup->aKeyWords) {
      if (pRef != pOld) continue;
      pRef = pNew;
      if (pNew->nKeyLen < 1 || pNew->pszKeyWord[0] != pGroup->cFirst) bRegroup = true;
    }
  }
  return bRegroup;
}

std::vector<STRUCT_KeyWord*> KeyGroups::Order(const std::vector<STRUCT_KeyWord*>& keys) const {
  std::unordered_set<STRUCT_KeyWord*> listed(keys.begin(), keys.end());
  std::unordered_set<STRUCT_KeyWord*> placed;
  std::vector<STRUCT_KeyWord*> order;
  auto place = [&](STRUCT_KeyWord* pKey) {
    if (listed.count(pKey) != 0 && placed.insert(pKey).second) order.push_back(pKey);
  };
  for (const auto& pGroup : groups_)
    for (STRUCT_KeyWord* pKey : pGroup->aKeyWords) place(pKey);
  // Keywords added since the last regrouping are in no group; dropping them
  // from the list would lose them.
  for (STRUCT_KeyWord* pKey : keys) place(pKey);
  return order;
}

const std::vector<STRUCT_KeyWord*>* KeyGroups::Starting(char c) const {
  int nGroup = groupOfByte_[static_cast<unsigned char>(c)];
  return nGroup < 0 ? nullptr : &groups_[static_cast<size_t>(nGroup)]->aKeyWords;
}

}  // namespace poshark::keywords

#include "keywords/CatcherCore.h"

#include "platform/Profile.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace poshark::keywords {

ScratchItem::ScratchItem() { Clear(); }

STRUCT_KeyWord* ScratchItem::Clear() {
  std::memset(szKeyWord, 0, sizeof szKeyWord);
  std::memset(szName, 0, sizeof szName);
  freqRecs.RemoveAll();
  record.pszKeyWord = szKeyWord;
  record.pszName = szName;
  record.pszKeyRTL = nullptr;
  record.pCondition = &condition;
  condition.pFreqRecs = &freqRecs;
  return &record;
}

STRUCT_KeyWord KeyFields(const char* pszKeyWord, const char* pszName, int nMDBType, int nMDBID,
                         uint32_t nColorValue1, uint32_t nColorValue2, uint32_t crKeyColor,
                         bool bCatchTime, SYSTEMTIME stCatchStart, SYSTEMTIME stCatchEnd,
                         bool bCondition, const STRUCT_Condition* pCondition) {
  STRUCT_KeyWord k{};
  k.pszKeyWord = const_cast<char*>(pszKeyWord);
  k.pszName = const_cast<char*>(pszName);
  k.nMDBType = nMDBType;
  k.nMDBID = nMDBID;
  k.nColorValue1 = nColorValue1;
  k.nColorValue2 = nColorValue2;
  k.crKeyColor = crKeyColor;
  k.bCatchTime = bCatchTime;
  k.stCatchStart = stCatchStart;
  k.stCatchEnd = stCatchEnd;
  k.bCondition = bCondition;
  k.pCondition = const_cast<STRUCT_Condition*>(pCondition);
  return k;
}

CatcherCore::CatcherCore(std::initializer_list<int> mdbTypes, int nSlots,
                         const FilterLayout& layout, int nMaxResults)
    : map_(mdbTypes, nSlots), layout_(layout), nMaxResults_(nMaxResults) {}

CatcherCore::~CatcherCore() { ReleaseAll(); }

// ---- Keyword list -----------------------------------------------------------

STRUCT_KeyWord* CatcherCore::Add(const STRUCT_KeyWord& f) {
  // An empty keyword would match everywhere, and a longer one than its
  // buffer holds would be searched as some other text.
  size_t nKeyLen = BoundedLength(f.pszKeyWord, kKeyTextSize);
  if (nKeyLen == 0 || nKeyLen > static_cast<size_t>(kMaxKeyTextLen)) return nullptr;
  int nMDBID = f.nMDBID < 0 ? map_.GetNew(f.nMDBType) : f.nMDBID;
  if (nMDBID < 0) return nullptr;
  auto* pKey = new STRUCT_KeyWord(f);
  pKey->pszKeyWord = pKey->pszName = pKey->pszKeyRTL = nullptr;
  pKey->pCondition = nullptr;
  try {
    pKey->nIndex = Count();
    pKey->nMDBID = nMDBID;
    pKey->nKeyLen = static_cast<int>(nKeyLen);
    pKey->pszKeyWord = NewKeyText(f.pszKeyWord);
    pKey->pszName = NewKeyText(f.pszName != nullptr ? f.pszName : f.pszKeyWord);
    // A condition flag without a condition cannot be honoured.
    pKey->bCondition = f.bCondition && f.pCondition != nullptr;
    pKey->pCondition = pKey->bCondition ? CopyCondition(*f.pCondition) : nullptr;
    keys_.push_back(pKey);
  } catch (...) {
    ReleaseKeyWordRecord(pKey);
    throw;
  }
  // An ID outside the table stays in the record but takes no slot.
  map_.Set(pKey->nMDBType, nMDBID, pKey->nIndex);
  return pKey;
}

STRUCT_KeyWord* CatcherCore::At(int nIndex) const {
  if (nIndex < 0 || nIndex >= Count())
    throw std::invalid_argument("GetKeyWord: index outside the list");
  return keys_[static_cast<size_t>(nIndex)];
}

STRUCT_KeyWord* CatcherCore::Find(int nIndex, const char* pszWho) const {
  if (nIndex < 0) throw std::invalid_argument(std::string(pszWho) + ": negative index");
  return nIndex < Count() ? keys_[static_cast<size_t>(nIndex)] : nullptr;
}

bool CatcherCore::Store(STRUCT_KeyWord* pKey, int nIndex, const char* pszWho,
                        const KeyCallback& onReplace) {
  STRUCT_KeyWord* pOld = Find(nIndex, pszWho);
  if (pOld == nullptr || pKey == nullptr) return false;
  // Held twice, the record would be released twice.
  for (int i = 0; i < Count(); ++i)
    if (keys_[static_cast<size_t>(i)] == pKey && i != nIndex) return false;
  pKey->nKeyLen = static_cast<int>(BoundedLength(pKey->pszKeyWord, kMaxKeyTextLen));
  if (onReplace) onReplace(pOld);
  keys_[static_cast<size_t>(nIndex)] = pKey;
  if (pOld != pKey) ReleaseKeyWordRecord(pOld);
  return true;
}

bool CatcherCore::Delete(int nIndex, const char* pszWho, const KeyCallback& onRemove) {
  STRUCT_KeyWord* pKey = Find(nIndex, pszWho);
  if (pKey == nullptr) return false;
  map_.Set(pKey->nMDBType, pKey->nMDBID, -1);
  if (onRemove) onRemove(pKey);
  keys_.erase(keys_.begin() + nIndex);
  ReleaseKeyWordRecord(pKey);
  return true;
}

void CatcherCore::ReleaseAll() {
  for (STRUCT_KeyWord* pKey : keys_) ReleaseKeyWordRecord(pKey);
  std::vector<STRUCT_KeyWord*>().swap(keys_);
}

void CatcherCore::Reorder(std::vector<STRUCT_KeyWord*> order) {
  keys_ = std::move(order);
  map_.Clear();
  for (int i = 0; i < Count(); ++i) {
    STRUCT_KeyWord* pKey = keys_[static_cast<size_t>(i)];
    pKey->nIndex = i;
    map_.Set(pKey->nMDBType, pKey->nMDBID, i);
  }
}

// ---- Results ----------------------------------------------------------------

int CatcherCore::Take(STRUCT_CatchData* pCatch, STRUCT_AlarmData* pAlarm,
                      STRUCT_ColorKeyRange* pRange, int nMax, int nArrays) {
  platform::MutexLock lock(mu);
  const bool bGiven[3] = {pCatch != nullptr, pAlarm != nullptr, pRange != nullptr};
  for (int i = 0; i < nArrays && i < 3; ++i)
    if (!bGiven[i]) return results_.Count();
  return results_.Take(nMax, pCatch, pAlarm, pRange);
}

void CatcherCore::PushLocked(const STRUCT_CatchData& caught, const STRUCT_AlarmData& alarm,
                             const STRUCT_ColorKeyRange& range) {
  // A host that stops collecting must not exhaust memory: the oldest
  // results give way.
  if (nMaxResults_ > 0 && results_.Count() >= nMaxResults_)
    results_.Take(1, nullptr, nullptr, nullptr);
  results_.Push(caught, alarm, range);
}

// ---- Filter file ------------------------------------------------------------

std::string CatcherCore::IniFile() {
  if (strIniFile_.empty()) strIniFile_ = kFilterFileName;
  return strIniFile_;
}

std::string CatcherCore::Section(int nPOSNo) const { return ItemKey(layout_.pszSection, nPOSNo); }

void CatcherCore::Load(int nPOSNo, const ItemReader& read, const KeyCallback& add) {
  platform::ProfileReader reader(IniFile().c_str());
  FilterSection section(reader, Section(nPOSNo));
  // Only the items whose keys exist are visited: a huge count costs nothing.
  for (int n : section.ItemNumbers(layout_.pszItem, section.Int(layout_.pszCount, 0))) {
    STRUCT_KeyWord* pScratch = scratch_.Clear();
    if (read(section, n, pScratch)) add(pScratch);
  }
  scratch_.Clear();
}

bool CatcherCore::LoadOne(const std::string& section, int n, STRUCT_KeyWord* pKey,
                          const ItemReader& read) {
  if (pKey == nullptr || pKey->pszKeyWord == nullptr || pKey->pszName == nullptr) return false;
  platform::ProfileReader reader(IniFile().c_str());
  return read(FilterSection(reader, section), n, pKey);
}

void CatcherCore::Save(int nPOSNo, const ItemWriter& write) {
  const std::string section = Section(nPOSNo);
  FilterWriter out(IniFile());  // the section is replaced whole or not at all
  out.ClearSection(section);
  out.Write(section, layout_.pszCount, std::to_string(Count()));
  for (int i = 0; i < Count(); ++i) write(out, section, i + 1, keys_[static_cast<size_t>(i)]);
  out.Commit();
}

void CatcherCore::SaveOne(const std::string& section, int n, STRUCT_KeyWord* pKey,
                          const ItemWriter& write) {
  if (pKey == nullptr) return;
  FilterWriter out(IniFile());
  write(out, section, n, pKey);
  out.Commit();
}

void CatcherCore::SaveLimitState(int nPOSNo) {
  FilterWriter out(IniFile());
  WriteLimitState(out, Section(nPOSNo), keys_, *layout_.pConditionKeys);
  out.Commit();
}

bool CatcherCore::ReadNames(const FilterSection& section, int n, STRUCT_KeyWord* pKey) const {
  std::string key, flags, name, rest, sign, id, type;
  if (!SplitAtLastComma(section.Value(layout_.pszItem, n), &key, &flags) || flags.empty() ||
      key.empty() || key.size() > static_cast<size_t>(kMaxKeyTextLen))
    return false;
  if (!SplitAtLastComma(section.Value(layout_.pszName, n), &rest, &sign) ||
      (sign.empty() && !layout_.bEmptySignAllowed) || !SplitAtLastComma(rest, &rest, &id) ||
      id.empty() || !SplitAtLastComma(rest, &name, &type) || type.empty() || name.empty())
    return false;
  name.resize(std::min(name.size(), static_cast<size_t>(kMaxKeyTextLen)));
  std::memcpy(pKey->pszKeyWord, key.c_str(), key.size() + 1);
  pKey->nKeyLen = static_cast<int>(key.size());
  pKey->nCatchFlags = platform::ParseDecimal(flags);
  std::memcpy(pKey->pszName, name.c_str(), name.size() + 1);
  pKey->nMDBType = platform::ParseDecimal(type);
  pKey->nMDBID = platform::ParseDecimal(id);
  pKey->cDecimalSign = sign.empty() ? '\0' : ASCII2BYTE(sign);
  return true;
}

void CatcherCore::WriteNames(FilterWriter& out, const std::string& section, int n,
                             const STRUCT_KeyWord& key) const {
  std::string text(key.pszKeyWord != nullptr ? key.pszKeyWord : "",
                   BoundedLength(key.pszKeyWord, kMaxKeyTextLen));
  std::string name(key.pszName != nullptr ? key.pszName : "",
                   BoundedLength(key.pszName, kMaxKeyTextLen));
  out.Write(section, ItemKey(layout_.pszItem, n), Format("%s,%d", text.c_str(), key.nCatchFlags));
  // The decimal sign as "%.3d", sign-extended: "046" for ".", "-001" for -1.
  out.Write(section, ItemKey(layout_.pszName, n),
            Format("%s,%d,%d,%.3d", name.c_str(), key.nMDBType, key.nMDBID,
                   static_cast<int>(key.cDecimalSign)));
}

void CatcherCore::WriteConditionKeys(FilterWriter& out, const std::string& section, int n,
                                     const STRUCT_KeyWord& key) const {
  if (key.bCondition && key.pCondition != nullptr)
    WriteConditionExtras(out, section, n, *layout_.pConditionKeys, *key.pCondition);
  else
    CleanConditionKeys(out, section, n, *layout_.pConditionKeys);
}

void CatcherCore::ReadConditionExtras(const FilterSection& section, int n,
                                      STRUCT_Condition* pCond) const {
  StoreConditionExtras(LoadConditionExtras(section, n, *layout_.pConditionKeys), pCond);
  if (pCond->bFreq) LoadFreqRecs(section, n, *layout_.pConditionKeys, pCond->pFreqRecs);
}

}  // namespace poshark::keywords

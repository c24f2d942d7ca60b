// ColorKeyCatcher: the key list and the matching, on top of the core it
// shares with the keyword catcher. The filter-file items are in
// ColorKeyFile.cpp.
#include <poshark/ColorKeyCatcher.h>

#include "colorkeys/KeySearch.h"
#include "keywords/CatcherOperations.h"

namespace kw = poshark::keywords;

ColorKeyCatcher::ColorKeyCatcher()
    : m_pCore(std::make_unique<kw::CatcherCore>(std::initializer_list<int>{kColorKeyMDBType},
                                                kMDBSlots, kw::kColorKeyLayout, kMaxQueuedResults)),
      m_pSearch(std::make_unique<poshark::colorkeys::KeySearch>(*m_pCore)) {
  FindKeyDataZero();
}

ColorKeyCatcher::~ColorKeyCatcher() {
  FindKeyDataZero();
  ReleaseKeyWordAll();
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): ASCII2BYTE's exported signature takes a copy
POSHARK_CATCHER_COMMON_OPERATIONS(ColorKeyCatcher)

bool ColorKeyCatcher::AddKeyWord(const char* pszKeyWord, const char* pszName, int nMDBType,
                                 int nMDBID, uint32_t nColorValue1, uint32_t nColorValue2,
                                 uint32_t crKeyColor, bool bCatchTime, SYSTEMTIME stCatchStart,
                                 SYSTEMTIME stCatchEnd, bool bCondition,
                                 const STRUCT_Condition* pCondition) {
  STRUCT_KeyWord* pKey = m_pCore->Add(
      kw::KeyFields(pszKeyWord, pszName, nMDBType, nMDBID, nColorValue1, nColorValue2, crKeyColor,
                    bCatchTime, stCatchStart, stCatchEnd, bCondition, pCondition));
  if (pKey == nullptr) return false;
  m_pSearch->PrepareNewKey(pKey);
  return true;
}

bool ColorKeyCatcher::AddKeyWord(const STRUCT_KeyWord* p) {
  return p != nullptr && AddKeyWord(p->pszKeyWord, p->pszName, p->nMDBType, p->nMDBID,
                                    p->nColorValue1, p->nColorValue2, p->crKeyColor, p->bCatchTime,
                                    p->stCatchStart, p->stCatchEnd, p->bCondition, p->pCondition);
}

bool ColorKeyCatcher::SetKeyWord(STRUCT_KeyWord* pKeyWord, int nIndex) {
  return m_pCore->Store(pKeyWord, nIndex, "SetKeyWord", nullptr);
}

bool ColorKeyCatcher::DeleteKeyWord(int nIndex) {
  return m_pCore->Delete(nIndex, "DeleteKeyWord", nullptr);
}

void ColorKeyCatcher::ReleaseKeyWordAll() { m_pCore->ReleaseAll(); }

bool ColorKeyCatcher::FindKeyData(const char* pszData, int /*nLength*/, int& nCount,
                                  SYSTEMTIME stTime, uint32_t nCharSet) {
  m_pSearch->Find(pszData, nCount, stTime, nCharSet);
  return true;
}

void ColorKeyCatcher::FindKeyDataZero() { m_pSearch->Zero(); }

// KeyDataCatcher: object lifetime, keyword list, groups and matching, on top
// of the core it shares with the colour-key catcher.
#include <poshark/KeyDataCatcher.h>

#include "keywords/CatcherOperations.h"
#include "keywords/KeyMatcher.h"
#include "keywords/KeyWordGroup.h"

namespace kw = poshark::keywords;

namespace {

// MDB types with map slots in the keyword catcher, and IDs per type.
constexpr int kMdbSlotsPerType = 5;

}  // namespace

KeyDataCatcher::KeyDataCatcher()
    : m_pCore(std::make_unique<kw::CatcherCore>(std::initializer_list<int>{1, 3, 4},
                                                kMdbSlotsPerType, kw::kKeyWordLayout, 0)),
      m_pGroups(std::make_unique<kw::KeyGroups>()),
      m_pMatcher(std::make_unique<kw::KeyMatcher>(*m_pCore, *m_pGroups)) {
  FindKeyDataZero();
}

KeyDataCatcher::~KeyDataCatcher() {
  FindKeyDataZero();
  ReleaseKeyWordAll();
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): ASCII2BYTE's exported signature takes a copy
POSHARK_CATCHER_COMMON_OPERATIONS(KeyDataCatcher)

bool KeyDataCatcher::AddKeyWord(const char* pszKeyWord, int nCatchFlags, bool bShift, int nShift,
                                const char* pszName, int nMDBType, int nMDBID, char cDecimalSign,
                                char c1KSign, uint32_t nColorValue1, uint32_t nColorValue2,
                                uint32_t crKeyColor, bool bCatchTime, SYSTEMTIME stCatchStart,
                                SYSTEMTIME stCatchEnd, bool bCondition,
                                STRUCT_Condition* pCondition) {
  STRUCT_KeyWord fields =
      kw::KeyFields(pszKeyWord, pszName, nMDBType, nMDBID, nColorValue1, nColorValue2, crKeyColor,
                    bCatchTime, stCatchStart, stCatchEnd, bCondition, pCondition);
  fields.nCatchFlags = nCatchFlags;
  fields.bShift = bShift;
  fields.nShift = nShift;
  fields.cDecimalSign = cDecimalSign;
  fields.c1KSign = c1KSign;
  return m_pCore->Add(fields) != nullptr;
}

bool KeyDataCatcher::AddKeyWord(STRUCT_KeyWord* pKeyWord) {
  return pKeyWord != nullptr && m_pCore->Add(*pKeyWord) != nullptr;
}

bool KeyDataCatcher::SetKeyWord(STRUCT_KeyWord* pKeyWord, int nIndex) {
  bool bRegroup = false;
  bool bStored = m_pCore->Store(pKeyWord, nIndex, "SetKeyWord", [&](STRUCT_KeyWord* pOld) {
    // Groups and a waiting match keep referring to the keyword at this
    // index, under the byte it now starts with.
    bRegroup = m_pGroups->Replace(pOld, pKeyWord);
    m_pMatcher->Replace(pOld, pKeyWord);
  });
  if (bRegroup) ReBuildGroupFromAll();
  return bStored;
}

bool KeyDataCatcher::DeleteKeyWord(int nIndex) {
  if (!m_pCore->Delete(nIndex, "DeleteKeyWord", [&](STRUCT_KeyWord* pKey) {
        // Matching must never reach a released record.
        m_pGroups->Forget(pKey);
        m_pMatcher->Replace(pKey, nullptr);
      }))
    return false;
  ReBuildGroupFromAll();
  return true;
}

void KeyDataCatcher::ReleaseKeyWordAll() {
  // Groups and a waiting match refer to the records: they go first.
  ReleaseKeyWordGroup();
  m_pMatcher->Forget();
  m_pCore->ReleaseAll();
}

void KeyDataCatcher::ReleaseKeyWordGroup() { m_pGroups->Clear(); }

void KeyDataCatcher::ReBuildGroupFromAll() { m_pGroups->Rebuild(m_pCore->Keys()); }

void KeyDataCatcher::ReBuildAllFromGroup() { m_pCore->Reorder(m_pGroups->Order(m_pCore->Keys())); }

bool KeyDataCatcher::FindKeyData(const char* pData, int nLen, int& nCount) {
  return m_pMatcher->Find(pData, nLen, nCount);
}

void KeyDataCatcher::FindKeyDataZero() { m_pMatcher->Zero(); }

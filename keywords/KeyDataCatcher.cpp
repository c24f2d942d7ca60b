// KeyDataCatcher: object lifetime, keyword list, groups and MDB map.
#include <poshark/KeyDataCatcher.h>

#include "keywords/KeyWordGroup.h"
#include "keywords/Limits.h"
#include "keywords/MdbMap.h"
#include "keywords/Records.h"
#include "keywords/ResultQueues.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

using poshark::keywords::KeyWordGroup;

namespace {

// MDB types with map slots in the keyword catcher, and IDs per type.
constexpr int kMdbSlotsPerType = 5;

int KeyLength(const STRUCT_KeyWord* pKey) {
  return static_cast<int>(
      poshark::keywords::BoundedLength(pKey->pszKeyWord, poshark::keywords::kMaxKeyTextLen));
}

}  // namespace

KeyDataCatcher::KeyDataCatcher()
    : m_pMDBMap(std::make_unique<poshark::keywords::MdbMap>(std::initializer_list<int>{1, 3, 4},
                                                             kMdbSlotsPerType)),
      m_pResults(std::make_unique<poshark::keywords::ResultQueues>()),
      m_pBuffer(new char[kBufferSize + 2]()) {
  m_aGroupOfByte.fill(-1);
  m_ScratchKeyWord.pszKeyWord = m_szScratchKeyWord;
  m_ScratchKeyWord.pszName = m_szScratchName;
  FindKeyDataZero();
}

KeyDataCatcher::~KeyDataCatcher() {
  FindKeyDataZero();
  ReleaseKeyWordAll();
  ReleaseKeyWordGroup();
}

bool KeyDataCatcher::AddKeyWord(const char* pszKeyWord, int nCatchFlags, bool bShift, int nShift,
                                const char* pszName, int nMDBType, int nMDBID, char cDecimalSign,
                                char c1KSign, uint32_t nColorValue1, uint32_t nColorValue2,
                                uint32_t crKeyColor, bool bCatchTime, SYSTEMTIME stCatchStart,
                                SYSTEMTIME stCatchEnd, bool bCondition,
                                STRUCT_Condition* pCondition) {
  using namespace poshark::keywords;
  size_t nKeyLen = BoundedLength(pszKeyWord, kKeyTextSize);
  if (nKeyLen == 0 || nKeyLen > static_cast<size_t>(kMaxKeyTextLen)) {
    return false;
  }
  if (nMDBID < 0) {
    nMDBID = GetNewMDBID(nMDBType);
    if (nMDBID < 0) {
      return false;
    }
  }
  auto* pKey = new STRUCT_KeyWord{};
  pKey->nIndex = static_cast<int>(m_aKeyWords.size());
  pKey->nMDBID = nMDBID;
  pKey->nMDBType = nMDBType;
  pKey->nKeyLen = static_cast<int>(nKeyLen);
  pKey->pszKeyRTL = nullptr;
  pKey->pszKeyWord = NewKeyText(pszKeyWord);
  pKey->pszName = NewKeyText(pszName != nullptr ? pszName : pszKeyWord);
  m_pMDBMap->Set(nMDBType, nMDBID, pKey->nIndex);
  pKey->nCatchFlags = nCatchFlags;
  pKey->bShift = bShift;
  pKey->nShift = nShift;
  pKey->cDecimalSign = cDecimalSign;
  pKey->c1KSign = c1KSign;
  pKey->nColorValue1 = nColorValue1;
  pKey->nColorValue2 = nColorValue2;
  pKey->crKeyColor = crKeyColor;
  pKey->bCatchTime = bCatchTime;
  pKey->stCatchStart = stCatchStart;
  pKey->stCatchEnd = stCatchEnd;
  pKey->bCondition = bCondition && pCondition != nullptr;
  pKey->pCondition = pKey->bCondition ? CopyCondition(*pCondition) : nullptr;
  m_aKeyWords.push_back(pKey);
  return true;
}

bool KeyDataCatcher::AddKeyWord(STRUCT_KeyWord* p) {
  if (p == nullptr) {
    return false;
  }
  return AddKeyWord(p->pszKeyWord, p->nCatchFlags, p->bShift, p->nShift, p->pszName, p->nMDBType,
                    p->nMDBID, p->cDecimalSign, p->c1KSign, p->nColorValue1, p->nColorValue2,
                    p->crKeyColor, p->bCatchTime, p->stCatchStart, p->stCatchEnd, p->bCondition,
                    p->pCondition);
}

bool KeyDataCatcher::SetKeyWord(STRUCT_KeyWord* pKeyWord, int nIndex) {
  if (nIndex < 0) {
    throw std::invalid_argument("KeyDataCatcher::SetKeyWord: negative index");
  }
  if (static_cast<size_t>(nIndex) >= m_aKeyWords.size() || pKeyWord == nullptr) {
    return false;
  }
  for (size_t i = 0; i < m_aKeyWords.size(); ++i) {
    if (m_aKeyWords[i] == pKeyWord && i != static_cast<size_t>(nIndex)) {
      return false;  // one record at two places would be released twice
    }
  }
  STRUCT_KeyWord* pOld = m_aKeyWords[static_cast<size_t>(nIndex)];
  pKeyWord->nKeyLen = KeyLength(pKeyWord);

  // Groups keep referring to the keyword at this index, under the byte it
  // now starts with.
  bool bRegroup = false;
  bool bGrouped = false;
  for (auto& pGroup : m_aGroups) {
    for (STRUCT_KeyWord*& pRef : pGroup->aKeyWords) {
      if (pRef == pOld) {
        bGrouped = true;
        pRef = pKeyWord;
        if (pKeyWord->nKeyLen < 1 || pKeyWord->pszKeyWord[0] != pGroup->cFirst) {
          bRegroup = true;
        }
      }
    }
  }
  {
    std::lock_guard<std::recursive_mutex> lock(m_csLock);
    if (m_pCurKeyWord == pOld) {
      m_pCurKeyWord = pKeyWord;
    }
  }
  m_aKeyWords[static_cast<size_t>(nIndex)] = pKeyWord;
  if (pOld != pKeyWord) {
    poshark::keywords::ReleaseKeyWordRecord(pOld);
  }
  if (bGrouped && bRegroup) {
    ReBuildGroupFromAll();
  }
  return true;
}

STRUCT_KeyWord* KeyDataCatcher::GetKeyWord(int nIndex) {
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_aKeyWords.size()) {
    throw std::invalid_argument("KeyDataCatcher::GetKeyWord: index outside the list");
  }
  return m_aKeyWords[static_cast<size_t>(nIndex)];
}

int KeyDataCatcher::GetKeyWordNum() {
  return static_cast<int>(m_aKeyWords.size());
}

void KeyDataCatcher::ForgetKeyWord(STRUCT_KeyWord* pKeyWord) {
  for (auto& pGroup : m_aGroups) {
    auto& refs = pGroup->aKeyWords;
    refs.erase(std::remove(refs.begin(), refs.end(), pKeyWord), refs.end());
  }
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  if (m_pCurKeyWord == pKeyWord) {
    // The keyword waiting for its data is gone: look for keywords again.
    ResetMatchState();
  }
}

bool KeyDataCatcher::DeleteKeyWord(int nIndex) {
  if (nIndex < 0) {
    throw std::invalid_argument("KeyDataCatcher::DeleteKeyWord: negative index");
  }
  if (static_cast<size_t>(nIndex) >= m_aKeyWords.size()) {
    return false;
  }
  STRUCT_KeyWord* pKey = m_aKeyWords[static_cast<size_t>(nIndex)];
  m_pMDBMap->Set(pKey->nMDBType, pKey->nMDBID, -1);
  ForgetKeyWord(pKey);
  m_aKeyWords.erase(m_aKeyWords.begin() + nIndex);
  poshark::keywords::ReleaseKeyWordRecord(pKey);
  ReBuildGroupFromAll();
  return true;
}

bool KeyDataCatcher::DeleteAllKeyWord() {
  ReleaseKeyWordAll();
  ReleaseKeyWordGroup();
  CleanMDBID2KeyImdex();
  return true;
}

void KeyDataCatcher::ReleaseKeyWordAll() {
  // Groups refer to the records: they go first.
  ReleaseKeyWordGroup();
  {
    std::lock_guard<std::recursive_mutex> lock(m_csLock);
    if (m_pCurKeyWord != nullptr) {
      ResetMatchState();
    }
  }
  for (STRUCT_KeyWord* pKey : m_aKeyWords) {
    poshark::keywords::ReleaseKeyWordRecord(pKey);
  }
  std::vector<STRUCT_KeyWord*>().swap(m_aKeyWords);
}

void KeyDataCatcher::ReleaseKeyWordGroup() {
  m_aGroups.clear();
  m_aGroupOfByte.fill(-1);
}

void KeyDataCatcher::ReBuildGroupFromAll() {
  ReleaseKeyWordGroup();
  for (STRUCT_KeyWord* pKey : m_aKeyWords) {
    pKey->nKeyLen = KeyLength(pKey);
    if (pKey->nKeyLen < 1) {
      continue;  // an empty keyword would match the terminator
    }
    auto nByte = static_cast<unsigned char>(pKey->pszKeyWord[0]);
    int nGroup = m_aGroupOfByte[nByte];
    if (nGroup < 0) {
      auto pGroup = std::make_unique<KeyWordGroup>();
      pGroup->cFirst = pKey->pszKeyWord[0];
      nGroup = static_cast<int>(m_aGroups.size());
      m_aGroups.push_back(std::move(pGroup));
      m_aGroupOfByte[nByte] = nGroup;
    }
    m_aGroups[static_cast<size_t>(nGroup)]->aKeyWords.push_back(pKey);
  }
}

void KeyDataCatcher::ReBuildAllFromGroup() {
  std::vector<STRUCT_KeyWord*> aOld;
  aOld.swap(m_aKeyWords);
  CleanMDBID2KeyImdex();
  std::unordered_set<STRUCT_KeyWord*> listed(aOld.begin(), aOld.end());
  std::unordered_set<STRUCT_KeyWord*> placed;
  auto place = [&](STRUCT_KeyWord* pKey) {
    pKey->nIndex = static_cast<int>(m_aKeyWords.size());
    m_pMDBMap->Set(pKey->nMDBType, pKey->nMDBID, pKey->nIndex);
    m_aKeyWords.push_back(pKey);
    placed.insert(pKey);
  };
  for (auto& pGroup : m_aGroups) {
    for (STRUCT_KeyWord* pKey : pGroup->aKeyWords) {
      if (listed.count(pKey) != 0 && placed.count(pKey) == 0) {
        place(pKey);
      }
    }
  }
  // Keywords added since the last regrouping are in no group; dropping them
  // from the list would lose them.
  for (STRUCT_KeyWord* pKey : aOld) {
    if (placed.count(pKey) == 0) {
      place(pKey);
    }
  }
}

bool KeyDataCatcher::SetMDBID2KeyImdex(int nMDBType, int nMDBID, int nIndex) {
  m_pMDBMap->Set(nMDBType, nMDBID, nIndex);
  return true;
}

int KeyDataCatcher::GetNewMDBID(int nMDBType) {
  return m_pMDBMap->GetNew(nMDBType);
}

void KeyDataCatcher::CleanMDBID2KeyImdex() {
  m_pMDBMap->Clear();
}

SYSTEMTIME KeyDataCatcher::GetFreqLimitTime(uint32_t nUnit, SYSTEMTIME t) {
  return poshark::keywords::GetFreqLimitTime(nUnit, t);
}

bool KeyDataCatcher::IsMatchFreqAndRec(STRUCT_KeyWord* pKeyWord) {
  return poshark::keywords::IsMatchFreqAndRec(pKeyWord);
}

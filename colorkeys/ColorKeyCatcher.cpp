// ColorKeyCatcher: the key list, the MDB map and the matching. The filter
// file operations are in ColorKeyFile.cpp.
#include <poshark/ColorKeyCatcher.h>

#include "colorkeys/LineSearch.h"
#include "keywords/FilterFile.h"
#include "keywords/Limits.h"
#include "keywords/MdbMap.h"
#include "keywords/Records.h"
#include "keywords/ResultQueues.h"
#include "platform/CodePage.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace kw = poshark::keywords;

namespace {

constexpr uint32_t kNoCharSet = 0xFFFFFFFFu;
constexpr size_t kMaxLineLength = static_cast<size_t>(INT32_MAX) - 64;

// Length of a record text, never reading past its 31-byte buffer.
size_t KeyTextLength(const char* pszText) {
  return kw::BoundedLength(pszText, kw::kKeyTextSize);
}

}  // namespace

ColorKeyCatcher::ColorKeyCatcher()
    : m_MDBMap(std::make_unique<kw::MdbMap>(std::initializer_list<int>{kColorKeyMDBType},
                                             kMDBSlots)),
      m_Results(std::make_unique<kw::ResultQueues>()),
      m_Search(std::make_unique<poshark::colorkeys::LineSearch>()) {
  m_stScratchKey.pszKeyWord = m_szScratchKeyWord;
  m_stScratchKey.pszName = m_szScratchName;
  FindKeyDataZero();
}

ColorKeyCatcher::~ColorKeyCatcher() {
  FindKeyDataZero();
  ReleaseKeyWordAll();
  m_ScratchFreqRecs.RemoveAll();
}

// ---- Key list ---------------------------------------------------------------

bool ColorKeyCatcher::AddKeyWord(const char* pszKeyWord, const char* pszName, int nMDBType,
                                 int nMDBID, uint32_t nColorValue1, uint32_t nColorValue2,
                                 uint32_t crKeyColor, bool bCatchTime, SYSTEMTIME stCatchStart,
                                 SYSTEMTIME stCatchEnd, bool bCondition,
                                 const STRUCT_Condition* pCondition) {
  // An empty key would match at every byte, and a longer one than its
  // 31-byte buffer holds would be searched as some other text.
  size_t nKeyLen = kw::BoundedLength(pszKeyWord, kw::kMaxKeyTextLen + 1);
  if (nKeyLen == 0 || nKeyLen > static_cast<size_t>(kw::kMaxKeyTextLen)) return false;
  if (nMDBID < 0) {
    if (nMDBType != kColorKeyMDBType) return false;
    nMDBID = m_MDBMap->GetNew(kColorKeyMDBType);
    if (nMDBID < 0) return false;
  }

  auto* pKey = new STRUCT_KeyWord{};
  pKey->nIndex = static_cast<int>(m_arrKeyWord.size());
  pKey->nMDBID = nMDBID;
  pKey->nMDBType = nMDBType;
  pKey->nKeyLen = static_cast<int>(nKeyLen);
  pKey->pszKeyRTL = nullptr;
  try {
    // A key added after the display-order forms were worked out gets its own
    // at once; otherwise a reloaded Hebrew or Arabic key would go unfound
    // until the character set of the lines changed.
    {
      std::lock_guard<std::recursive_mutex> lock(m_csLock);
      if (m_nCharSet != kNoCharSet) pKey->pszKeyRTL = GetKeyRTLOrder(pszKeyWord, m_nCharSet);
    }
    pKey->pszName = kw::NewKeyText(pszName != nullptr ? pszName : pszKeyWord);
    pKey->pszKeyWord = kw::NewKeyText(pszKeyWord);
    pKey->nColorValue1 = nColorValue1;
    pKey->nColorValue2 = nColorValue2;
    pKey->crKeyColor = crKeyColor;
    pKey->bCatchTime = bCatchTime;
    pKey->stCatchStart = stCatchStart;
    pKey->stCatchEnd = stCatchEnd;
    // A condition flag without a condition cannot be honoured.
    pKey->bCondition = bCondition && pCondition != nullptr;
    pKey->pCondition = pKey->bCondition ? kw::CopyCondition(*pCondition) : nullptr;
    m_arrKeyWord.push_back(pKey);
  } catch (...) {
    kw::ReleaseKeyWordRecord(pKey);
    throw;
  }
  // An ID outside the table stays in the record (nothing of a file is lost)
  // but takes no slot.
  if (nMDBType == kColorKeyMDBType) m_MDBMap->Set(nMDBType, nMDBID, pKey->nIndex);
  return true;
}

bool ColorKeyCatcher::AddKeyWord(const STRUCT_KeyWord* pKeyWord) {
  if (pKeyWord == nullptr) return false;
  return AddKeyWord(pKeyWord->pszKeyWord, pKeyWord->pszName, pKeyWord->nMDBType,
                    pKeyWord->nMDBID, pKeyWord->nColorValue1, pKeyWord->nColorValue2,
                    pKeyWord->crKeyColor, pKeyWord->bCatchTime, pKeyWord->stCatchStart,
                    pKeyWord->stCatchEnd, pKeyWord->bCondition, pKeyWord->pCondition);
}

bool ColorKeyCatcher::SetKeyWord(STRUCT_KeyWord* pKeyWord, int nIndex) {
  if (nIndex < 0) throw std::invalid_argument("ColorKeyCatcher::SetKeyWord: negative index");
  if (static_cast<size_t>(nIndex) >= m_arrKeyWord.size() || pKeyWord == nullptr) return false;
  STRUCT_KeyWord*& slot = m_arrKeyWord[static_cast<size_t>(nIndex)];
  if (slot == pKeyWord) return true;
  // Held twice, the record would be released twice.
  for (const STRUCT_KeyWord* p : m_arrKeyWord)
    if (p == pKeyWord) return false;
  kw::ReleaseKeyWordRecord(slot);
  slot = pKeyWord;
  return true;
}

STRUCT_KeyWord* ColorKeyCatcher::GetKeyWord(int nIndex) {
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_arrKeyWord.size())
    throw std::invalid_argument("ColorKeyCatcher::GetKeyWord: index outside the list");
  return m_arrKeyWord[static_cast<size_t>(nIndex)];
}

int ColorKeyCatcher::GetKeyWordNum() {
  return static_cast<int>(m_arrKeyWord.size());
}

bool ColorKeyCatcher::DeleteKeyWord(int nIndex) {
  if (nIndex < 0) throw std::invalid_argument("ColorKeyCatcher::DeleteKeyWord: negative index");
  if (static_cast<size_t>(nIndex) >= m_arrKeyWord.size()) return false;
  STRUCT_KeyWord* pKey = m_arrKeyWord[static_cast<size_t>(nIndex)];
  if (pKey != nullptr && pKey->nMDBType == kColorKeyMDBType)
    m_MDBMap->Set(kColorKeyMDBType, pKey->nMDBID, -1);
  kw::ReleaseKeyWordRecord(pKey);
  m_arrKeyWord.erase(m_arrKeyWord.begin() + nIndex);
  return true;
}

bool ColorKeyCatcher::DeleteAllKeyWord() {
  ReleaseKeyWordAll();
  CleanMDBID2KeyImdex();
  return true;
}

void ColorKeyCatcher::ReleaseKeyWordAll() {
  for (STRUCT_KeyWord* pKey : m_arrKeyWord) kw::ReleaseKeyWordRecord(pKey);
  std::vector<STRUCT_KeyWord*>().swap(m_arrKeyWord);
}

bool ColorKeyCatcher::SetMDBID2KeyImdex(int nMDBType, int nMDBID, int nIndex) {
  m_MDBMap->Set(nMDBType, nMDBID, nIndex);  // ignores other types and IDs
  return true;
}

int ColorKeyCatcher::GetNewMDBID(int nMDBType) {
  return m_MDBMap->GetNew(nMDBType);
}

void ColorKeyCatcher::CleanMDBID2KeyImdex() {
  m_MDBMap->Clear();
}

// ---- Matching ---------------------------------------------------------------

char* ColorKeyCatcher::GetKeyRTLOrder(const char* pszKeyWord, uint32_t nCharSet) {
  size_t nLen = KeyTextLength(pszKeyWord);
  if (nLen == 0) return nullptr;
  std::string display;
  // A key whose display order cannot be worked out keeps none and is
  // searched as stored; an empty form would match everywhere.
  if (!poshark::platform::ToDisplayOrder(std::string_view(pszKeyWord, nLen), nCharSet,
                                         &display) ||
      display.size() != nLen)
    return nullptr;
  char* pszRTL = static_cast<char*>(std::malloc(nLen + 1));
  if (pszRTL == nullptr) return nullptr;
  std::memcpy(pszRTL, display.data(), nLen);
  pszRTL[nLen] = '\0';
  return pszRTL;
}

bool ColorKeyCatcher::FindKeyData(const char* pszData, int /*nLength*/, int& nCount,
                                  SYSTEMTIME stTime, uint32_t nCharSet) {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  std::string_view line = pszData != nullptr ? std::string_view(pszData) : std::string_view();
  // Positions are reported as int.
  if (line.size() > kMaxLineLength) line = line.substr(0, kMaxLineLength);
  const uint16_t nNow = poshark::colorkeys::MinuteOfDay(stTime);

  if (nCharSet != m_nCharSet) {
    for (STRUCT_KeyWord* pKey : m_arrKeyWord) {
      if (pKey == nullptr) continue;
      std::free(pKey->pszKeyRTL);
      pKey->pszKeyRTL = GetKeyRTLOrder(pKey->pszKeyWord, nCharSet);
    }
    m_nCharSet = nCharSet;
  }

  bool bPrepared = false;
  for (STRUCT_KeyWord* pKey : m_arrKeyWord) {
    if (pKey == nullptr) continue;
    const char* pszSearch = pKey->pszKeyRTL != nullptr ? pKey->pszKeyRTL : pKey->pszKeyWord;
    std::string_view needle(pszSearch != nullptr ? pszSearch : "", KeyTextLength(pszSearch));
    if (needle.empty()) continue;
    if (pKey->bCatchTime &&
        !poshark::colorkeys::IsInCatchWindow(poshark::colorkeys::MinuteOfDay(pKey->stCatchStart),
                                             poshark::colorkeys::MinuteOfDay(pKey->stCatchEnd),
                                             nNow))
      continue;
    if (!bPrepared) {
      // Character starts are worked out once per line, and only when a key
      // is looked for at all.
      m_Search->Reset(line, poshark::platform::CodePage::Ansi());
      bPrepared = true;
    }
    for (size_t pos = m_Search->Find(needle, 0); pos != std::string_view::npos;
         pos = m_Search->Find(needle, pos + 1)) {
      STRUCT_ColorKeyRange range{};
      range.nColorValue1 = pKey->nColorValue1;
      range.crKeyColor = pKey->crKeyColor;
      range.nColorValue2 = pKey->nColorValue2;
      range.nStart = static_cast<int>(pos);
      range.nEnd = static_cast<int>(pos + needle.size());
      STRUCT_CatchData catchData{pKey->nMDBID, pKey->nMDBType, nullptr};
      STRUCT_AlarmData alarm{false, -1, 0};
      if (pKey->bCondition && pKey->pCondition != nullptr && kw::IsMatchFreqAndRec(pKey))
        alarm = STRUCT_AlarmData{true, pKey->nIndex, 2};
      // A host that stops collecting must not exhaust memory: the oldest
      // results give way.
      if (m_Results->Count() >= kMaxQueuedResults) m_Results->Take(1, nullptr, nullptr, nullptr);
      m_Results->Push(catchData, alarm, range);
      ++nCount;
    }
  }
  return true;
}

int ColorKeyCatcher::GetKeyData(STRUCT_CatchData*& pCatchData, int nMax) {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  if (pCatchData == nullptr) return m_Results->Count();
  return m_Results->Take(nMax, pCatchData, nullptr, nullptr);
}

int ColorKeyCatcher::GetKeyData(STRUCT_CatchData*& pCatchData, STRUCT_AlarmData*& pAlarmData,
                                int nMax) {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  if (pCatchData == nullptr || pAlarmData == nullptr) return m_Results->Count();
  return m_Results->Take(nMax, pCatchData, pAlarmData, nullptr);
}

int ColorKeyCatcher::GetKeyData(STRUCT_CatchData* pCatchData, STRUCT_AlarmData* pAlarmData,
                                STRUCT_ColorKeyRange* pRange, int nMax) {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  if (pCatchData == nullptr || pAlarmData == nullptr || pRange == nullptr)
    return m_Results->Count();
  return m_Results->Take(nMax, pCatchData, pAlarmData, pRange);
}

void ColorKeyCatcher::FindKeyDataZero() {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  m_Results->Clear();
  m_nCharSet = kNoCharSet;
}

// ---- Limits -----------------------------------------------------------------

SYSTEMTIME ColorKeyCatcher::GetFreqLimitTime(uint32_t nUnit, SYSTEMTIME t) {
  return kw::GetFreqLimitTime(nUnit, t);
}

bool ColorKeyCatcher::IsMatchFreqAndRec(STRUCT_KeyWord* pKeyWord) {
  return kw::IsMatchFreqAndRec(pKeyWord);
}

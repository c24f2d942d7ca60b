#include "colorkeys/KeySearch.h"

#include "keywords/Limits.h"
#include "keywords/Records.h"
#include "platform/CodePage.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace poshark::colorkeys {

namespace {

constexpr uint32_t kNoCharSet = 0xFFFFFFFFu;
// Positions are reported as int.
constexpr size_t kMaxLineLength = static_cast<size_t>(INT32_MAX) - 64;
// Alarm source of the colour-key catcher.
constexpr int kColorKeySource = 2;

// Length of a record text, never reading past its 31-byte buffer.
size_t KeyTextLength(const char* pszText) {
  return keywords::BoundedLength(pszText, keywords::kKeyTextSize);
}

// Display-order form of a key for a right-to-left character set: a new
// malloc'ed string of the key's length, or null (any other character set,
// empty key, or no form can be computed; an empty form would match
// everywhere).
char* GetKeyRTLOrder(const char* pszKeyWord, uint32_t nCharSet) {
  size_t nLen = KeyTextLength(pszKeyWord);
  if (nLen == 0) return nullptr;
  std::string display;
  if (!platform::ToDisplayOrder(std::string_view(pszKeyWord, nLen), nCharSet, &display) ||
      display.size() != nLen)
    return nullptr;
  char* pszRTL = static_cast<char*>(std::malloc(nLen + 1));
  if (pszRTL == nullptr) return nullptr;
  std::memcpy(pszRTL, display.data(), nLen);
  pszRTL[nLen] = '\0';
  return pszRTL;
}

}  // namespace

void KeySearch::Zero() {
  platform::MutexLock lock(core_.mu);
  core_.ClearResultsLocked();
  nCharSet_ = kNoCharSet;
}

void KeySearch::PrepareNewKey(STRUCT_KeyWord* pKey) {
  platform::MutexLock lock(core_.mu);
  if (nCharSet_ != kNoCharSet) pKey->pszKeyRTL = GetKeyRTLOrder(pKey->pszKeyWord, nCharSet_);
}

void KeySearch::Renew(uint32_t nCharSet) {
  if (nCharSet == nCharSet_) return;
  for (STRUCT_KeyWord* pKey : core_.Keys()) {
    std::free(pKey->pszKeyRTL);
    pKey->pszKeyRTL = GetKeyRTLOrder(pKey->pszKeyWord, nCharSet);
  }
  nCharSet_ = nCharSet;
}

void KeySearch::Find(const char* pszLine, int& nCount, SYSTEMTIME stTime, uint32_t nCharSet) {
  platform::MutexLock lock(core_.mu);
  std::string_view line = pszLine != nullptr ? std::string_view(pszLine) : std::string_view();
  if (line.size() > kMaxLineLength) line = line.substr(0, kMaxLineLength);
  const uint16_t nNow = MinuteOfDay(stTime);
  Renew(nCharSet);
  bool bPrepared = false;
  for (const STRUCT_KeyWord* pKey : core_.Keys()) {
    const char* pszSearch = pKey->pszKeyRTL != nullptr ? pKey->pszKeyRTL : pKey->pszKeyWord;
    std::string_view needle(pszSearch != nullptr ? pszSearch : "", KeyTextLength(pszSearch));
    if (needle.empty()) continue;
    if (pKey->bCatchTime &&
        !IsInCatchWindow(MinuteOfDay(pKey->stCatchStart), MinuteOfDay(pKey->stCatchEnd), nNow))
      continue;
    if (!bPrepared) {
      // Character starts are worked out once per line, and only when a key
      // is looked for at all.
      search_.Reset(line, platform::CodePage::Ansi());
      bPrepared = true;
    }
    SearchKey(*pKey, needle, nCount);
  }
}

void KeySearch::SearchKey(const STRUCT_KeyWord& key, std::string_view needle, int& nCount) {
  for (size_t pos = search_.Find(needle, 0); pos != std::string_view::npos;
       pos = search_.Find(needle, pos + 1)) {
    STRUCT_ColorKeyRange range{};
    range.nColorValue1 = key.nColorValue1;
    range.crKeyColor = key.crKeyColor;
    range.nColorValue2 = key.nColorValue2;
    range.nStart = static_cast<int>(pos);
    range.nEnd = static_cast<int>(pos + needle.size());
    STRUCT_AlarmData alarm{false, -1, 0};
    if (key.bCondition && key.pCondition != nullptr &&
        keywords::IsMatchFreqAndRec(const_cast<STRUCT_KeyWord*>(&key)))
      alarm = STRUCT_AlarmData{true, key.nIndex, kColorKeySource};
    core_.PushLocked(STRUCT_CatchData{key.nMDBID, key.nMDBType, nullptr}, alarm, range);
    ++nCount;
  }
}

}  // namespace poshark::colorkeys

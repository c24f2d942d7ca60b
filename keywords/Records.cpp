#include "keywords/Records.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace poshark::keywords {

size_t BoundedLength(const char* pszText, size_t nMax) {
  return pszText == nullptr ? 0 : strnlen(pszText, nMax);
}

char* NewKeyText(const char* pszText) {
  char* p = static_cast<char*>(std::calloc(kKeyTextSize, 1));
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  std::memcpy(p, pszText == nullptr ? "" : pszText, BoundedLength(pszText, kMaxKeyTextLen));
  return p;
}

STRUCT_Condition* CopyCondition(const STRUCT_Condition& src) {
  auto* pCopy = new STRUCT_Condition(src);
  pCopy->szValue1[sizeof pCopy->szValue1 - 1] = '\0';
  pCopy->szValue2[sizeof pCopy->szValue2 - 1] = '\0';
  pCopy->szRNV[sizeof pCopy->szRNV - 1] = '\0';
  pCopy->pFreqRecs = src.pFreqRecs != nullptr ? new FreqRecList(*src.pFreqRecs) : nullptr;
  return pCopy;
}

void ReleaseCondition(STRUCT_Condition* pCond) {
  if (pCond == nullptr) {
    return;
  }
  delete pCond->pFreqRecs;
  delete pCond;
}

void ReleaseKeyWordRecord(STRUCT_KeyWord* pKey) {
  if (pKey == nullptr) {
    return;
  }
  // A condition pointer without its flag is released too: the record owns
  // whatever it points at, and nothing else does.
  ReleaseCondition(pKey->pCondition);
  std::free(pKey->pszKeyWord);
  std::free(pKey->pszName);
  std::free(pKey->pszKeyRTL);
  delete pKey;
}

}  // namespace poshark::keywords

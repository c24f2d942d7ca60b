// The keyword catcher's matching, capture and alarms.
#include "keywords/KeyMatcher.h"

#include <poshark/KeyDataCatcher.h>

#include "keywords/Compare.h"
#include "keywords/Limits.h"
#include "keywords/Records.h"
#include "platform/Number.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace poshark::keywords {

namespace {

constexpr int kBufferSize = KeyDataCatcher::kBufferSize;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

KeyMatcher::KeyMatcher(CatcherCore& core, const KeyGroups& groups) : core_(core), groups_(groups) {
  platform::MutexLock lock(core_.mu);
  pBuffer_.reset(new char[kBufferSize + 2]());
}

void KeyMatcher::ResetLocked() {
  nFedLen = 0;
  nScanPos = 0;
  nRemainLen = 0;
  nCatchState = 0;
  nSpaceRun = 0;
  nDataStart = 0;
  nDataEnd = 0;
  nShiftLeft = 0;
  nEndPos = 0;
  pCur_ = nullptr;
}

void KeyMatcher::Zero() {
  platform::MutexLock lock(core_.mu);
  core_.ClearResultsLocked();
  ResetLocked();
}

void KeyMatcher::Replace(STRUCT_KeyWord* pOld, STRUCT_KeyWord* pNew) {
  platform::MutexLock lock(core_.mu);
  if (pCur_ != pOld) return;
  if (pNew != nullptr) {
    pCur_ = pNew;
  } else {
    ResetLocked();  // the keyword waiting for its data is gone: look for keywords again
  }
}

void KeyMatcher::Forget() {
  platform::MutexLock lock(core_.mu);
  if (pCur_ != nullptr) ResetLocked();
}

bool KeyMatcher::Find(const char* pData, int nLen, int& nCount) {
  if (nLen < 0 || (pData == nullptr && nLen > 0)) {
    return false;
  }
  platform::MutexLock lock(core_.mu);
  bool bResult = true;
  int nDone = 0;
  do {
    int nPiece = std::min(nLen - nDone, kBufferSize);
    bResult = FeedPiece(pData + nDone, nPiece, nCount, nDone == 0);
    nDone += nPiece;
  } while (nDone < nLen);
  return bResult;
}

bool KeyMatcher::FeedPiece(const char* pData, int nLen, int& nCount, bool bFirstPiece) {
  char* pBuffer = pBuffer_.get();
  if (nCatchState == 0 || nFedLen + nLen > kBufferSize || nScanPos + nLen > kBufferSize) {
    // Later pieces of one long call keep the results of the earlier ones.
    if (bFirstPiece) core_.ClearResultsLocked();
    ResetLocked();
  }
  if (nLen > 0) {
    std::memcpy(pBuffer + nScanPos, pData, static_cast<size_t>(nLen));
  }
  nEndPos = nScanPos + nLen;
  pBuffer[nEndPos] = '\0';
  nFedLen += nLen;
  nRemainLen += nLen;

  // The shift of a keyword that ended the previous call goes on here.
  if (nShiftLeft > 0) {
    int nSkip = nShiftLeft;
    nShiftLeft = 0;
    if (nRemainLen - nSkip <= 0) {
      nShiftLeft = nSkip - nRemainLen;
      nRemainLen = 0;
      nScanPos = 0;
      return false;
    }
    nRemainLen -= nSkip;
    std::memmove(pBuffer, pBuffer + nScanPos + nSkip, static_cast<size_t>(nRemainLen));
    nEndPos = nRemainLen;
    pBuffer[nEndPos] = '\0';
    nScanPos = 0;
  }

  do {
    if (nCatchState == 0 && FindMatchKeyWord(pBuffer + nScanPos)) {
      nCatchState = 1;
      if (!SkipAfterKeyWord()) return false;
    }
    const char c = pBuffer[nScanPos];
    if (nCatchState == 1 && FindDataStart(c)) {
      nCatchState = 2;
    }
    if (nCatchState == 2 && FindDataEnd(c)) {
      if (CaptureData()) {
        ++nCount;
      }
      nCatchState = 0;
      pCur_ = nullptr;
    }
    ++nScanPos;
    --nRemainLen;
  } while (nRemainLen >= 0);
  FinishPiece(nCount);
  return true;
}

bool KeyMatcher::SkipAfterKeyWord() {
  char* pBuffer = pBuffer_.get();
  const STRUCT_KeyWord* pKey = pCur_;
  long long nSkip = std::min(pKey->nKeyLen, kMaxKeyTextLen);
  if (pKey->bShift && pKey->nShift > 0) {
    nSkip += std::min(pKey->nShift, kBufferSize + 1);
  }
  // Counted from the terminator: a call that carries a waiting keyword
  // stops its scan one byte earlier, but what follows a keyword is the
  // same either way.
  long long nAfter = static_cast<long long>(nEndPos - nScanPos) - nSkip;
  if (nAfter <= 0) {
    nShiftLeft = static_cast<int>(-nAfter);
    nRemainLen = 0;
    nScanPos = 0;
    nEndPos = 0;
    return false;
  }
  std::memmove(pBuffer, pBuffer + nScanPos + nSkip, static_cast<size_t>(nAfter));
  nEndPos = static_cast<int>(nAfter);
  pBuffer[nEndPos] = '\0';
  nRemainLen = nEndPos;
  nScanPos = 0;
  return true;
}

void KeyMatcher::FinishPiece(int& nCount) {
  if (nCatchState != 2) return;
  nDataEnd = nScanPos;
  if (pCur_->nCatchFlags & POSHARK_CATCH_TEXT_SPACES) {
    nDataEnd = nScanPos - nSpaceRun + 1;
  }
  if (CaptureData()) {
    ++nCount;
  }
  nCatchState = 0;
  pCur_ = nullptr;
}

bool KeyMatcher::FindMatchKeyWord(const char* pAt) {
  const std::vector<STRUCT_KeyWord*>* pGroup = groups_.Starting(*pAt);
  if (pGroup == nullptr) {
    return false;
  }
  for (STRUCT_KeyWord* pKey : *pGroup) {
    int nKeyLen = std::min(pKey->nKeyLen, kMaxKeyTextLen);
    if (nKeyLen >= 1 && nKeyLen <= nEndPos - nScanPos &&
        std::memcmp(pAt, pKey->pszKeyWord, static_cast<size_t>(nKeyLen)) == 0) {
      pCur_ = pKey;
      return true;
    }
  }
  return false;
}

bool KeyMatcher::FindDataStart(char c) {
  int nFlags = pCur_->nCatchFlags;
  if (((nFlags & POSHARK_CATCH_DIGITS) && IsDigit(c)) ||
      ((nFlags & POSHARK_CATCH_TEXT) && c != ' ')) {
    nDataStart = nScanPos;
    return true;
  }
  return false;
}

bool KeyMatcher::FindDataEnd(char c) {
  const STRUCT_KeyWord& key = *pCur_;
  int nFlags = key.nCatchFlags;
  if (c != ' ') {
    nSpaceRun = 0;
  }
  if (((nFlags & POSHARK_CATCH_DECIMAL) && c == key.cDecimalSign) ||
      ((nFlags & POSHARK_CATCH_1KSIGN) && c == key.c1KSign) ||
      ((nFlags & POSHARK_CATCH_DIGITS) && IsDigit(c))) {
    return false;
  }
  if (nFlags & POSHARK_CATCH_TEXT) {
    if (nFlags & POSHARK_CATCH_TEXT_SPACES) {
      if (c == ' ') {
        ++nSpaceRun;
        if (nSpaceRun < 2) {
          return false;
        }
      } else {
        return false;
      }
    } else if (c != ' ') {
      return false;
    }
  }
  nDataEnd = nScanPos;
  if (nFlags & POSHARK_CATCH_TEXT_SPACES) {
    nDataEnd = nScanPos - nSpaceRun + 1;
  }
  return true;
}

bool KeyMatcher::CaptureData() {
  const STRUCT_KeyWord* pKey = pCur_;
  // The data ends at the latest at the terminator after the fed bytes.
  int nEnd = std::min(nDataEnd, kBufferSize + 1);
  int nLen = nEnd - nDataStart;
  if (pKey == nullptr || nLen < 1 || nDataStart < 0) {
    return false;
  }
  const char* pFrom = pBuffer_.get() + nDataStart;
  size_t nCopy = strnlen(pFrom, static_cast<size_t>(nLen));
  char* pszText = static_cast<char*>(std::malloc(nCopy + 1));
  if (pszText == nullptr) {
    throw std::bad_alloc();
  }
  std::memcpy(pszText, pFrom, nCopy);
  pszText[nCopy] = '\0';

  // A NUL sign would find the terminator, so it is never searched for.
  char* pDecimal = nullptr;
  if ((pKey->nCatchFlags & POSHARK_CATCH_DECIMAL) && pKey->cDecimalSign != '\0') {
    pDecimal = std::strrchr(pszText, pKey->cDecimalSign);
    if (pDecimal != nullptr) {
      *pDecimal = '.';
    }
  }
  if ((pKey->nCatchFlags & POSHARK_CATCH_1KSIGN) && pKey->c1KSign != '\0' &&
      std::strchr(pszText, pKey->c1KSign) != nullptr) {
    char* pOut = pszText;
    for (char* pIn = pszText; *pIn != '\0'; ++pIn) {
      if (*pIn != pKey->c1KSign || pIn == pDecimal) {
        *pOut++ = *pIn;
      }
    }
    *pOut = '\0';
  }

  STRUCT_CatchData caught{pKey->nMDBID, pKey->nMDBType, pszText};
  STRUCT_AlarmData alarm{false, -1, 0};
  // The limits record the match, so they are asked only when the condition holds.
  if (pKey->bCondition && pKey->pCondition != nullptr && IsMatchCondition(pszText) &&
      IsMatchFreqAndRec(pCur_)) {
    alarm = STRUCT_AlarmData{true, pKey->nIndex, 1};
  }
  core_.PushLocked(caught, alarm, STRUCT_ColorKeyRange{});
  return true;
}

bool KeyMatcher::IsMatchCondition(const char* pszData) {
  const STRUCT_Condition& cond = *pCur_->pCondition;
  // Operands are compared only up to the end of their arrays.
  char szValue1[sizeof cond.szValue1 + 1] = {};
  char szValue2[sizeof cond.szValue2 + 1] = {};
  std::memcpy(szValue1, cond.szValue1, sizeof cond.szValue1);
  std::memcpy(szValue2, cond.szValue2, sizeof cond.szValue2);
  float fCaught = 0;
  if (cond.bNumeric) {
    fCaught = static_cast<float>(poshark::platform::AtofC(pszData));
  }
  auto compare = [&](float fStored, const char* pszStored, int nOperator) {
    return cond.bNumeric ? CmpCondition(fCaught, fStored, nOperator)
                         : CmpCondition(pszData, pszStored, nOperator);
  };
  if (compare(cond.fValue1, szValue1, cond.nOperator1)) {
    return cond.nJoin == 1 ? compare(cond.fValue2, szValue2, cond.nOperator2) : true;
  }
  return cond.nJoin == 2 ? compare(cond.fValue2, szValue2, cond.nOperator2) : false;
}

}  // namespace poshark::keywords

// KeyDataCatcher: matching, capture and the result queues.
#include <poshark/KeyDataCatcher.h>

#include "keywords/Compare.h"
#include "keywords/KeyWordGroup.h"
#include "keywords/Limits.h"
#include "keywords/Records.h"
#include "keywords/ResultQueues.h"
#include "platform/Number.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kw = poshark::keywords;

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void KeyDataCatcher::ResetMatchState() {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  nFedLen = 0;
  nScanPos = 0;
  nRemainLen = 0;
  nCatchState = 0;
  nSpaceRun = 0;
  nDataStart = 0;
  nDataEnd = 0;
  nShiftLeft = 0;
  nEndPos = 0;
  m_pCurKeyWord = nullptr;
}

void KeyDataCatcher::FindKeyDataZero() {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  m_pResults->Clear();
  ResetMatchState();
}

bool KeyDataCatcher::FindKeyData(const char* pData, int nLen, int& nCount) {
  if (nLen < 0 || (pData == nullptr && nLen > 0)) {
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  bool bResult = true;
  int nDone = 0;
  do {
    int nPiece = std::min(nLen - nDone, kBufferSize);
    bResult = FeedPiece(pData + nDone, nPiece, nCount, nDone == 0);
    nDone += nPiece;
  } while (nDone < nLen);
  return bResult;
}

bool KeyDataCatcher::FeedPiece(const char* pData, int nLen, int& nCount, bool bFirstPiece) {
  char* pBuffer = m_pBuffer.get();
  if (nCatchState == 0 || nFedLen + nLen > kBufferSize || nScanPos + nLen > kBufferSize) {
    // Later pieces of one long call keep the results of the earlier ones.
    if (bFirstPiece) {
      FindKeyDataZero();
    } else {
      ResetMatchState();
    }
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
      const STRUCT_KeyWord* pKey = m_pCurKeyWord;
      long long nSkip = std::min(pKey->nKeyLen, kw::kMaxKeyTextLen);
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
      m_pCurKeyWord = nullptr;
    }
    ++nScanPos;
    --nRemainLen;
  } while (nRemainLen >= 0);

  if (nCatchState == 2) {
    nDataEnd = nScanPos;
    if (m_pCurKeyWord->nCatchFlags & POSHARK_CATCH_TEXT_SPACES) {
      nDataEnd = nScanPos - nSpaceRun + 1;
    }
    if (CaptureData()) {
      ++nCount;
    }
    nCatchState = 0;
    m_pCurKeyWord = nullptr;
  }
  return true;
}

bool KeyDataCatcher::FindMatchKeyWord(const char* pAt) {
  int nGroup = m_aGroupOfByte[static_cast<unsigned char>(*pAt)];
  if (nGroup < 0) {
    return false;
  }
  for (STRUCT_KeyWord* pKey : m_aGroups[static_cast<size_t>(nGroup)]->aKeyWords) {
    int nKeyLen = std::min(pKey->nKeyLen, kw::kMaxKeyTextLen);
    if (nKeyLen >= 1 && nKeyLen <= nEndPos - nScanPos &&
        std::memcmp(pAt, pKey->pszKeyWord, static_cast<size_t>(nKeyLen)) == 0) {
      m_pCurKeyWord = pKey;
      return true;
    }
  }
  return false;
}

bool KeyDataCatcher::FindDataStart(char c) {
  int nFlags = m_pCurKeyWord->nCatchFlags;
  if (((nFlags & POSHARK_CATCH_DIGITS) && IsDigit(c)) || ((nFlags & POSHARK_CATCH_TEXT) && c != ' ')) {
    nDataStart = nScanPos;
    return true;
  }
  return false;
}

bool KeyDataCatcher::FindDataEnd(char c) {
  const STRUCT_KeyWord& key = *m_pCurKeyWord;
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

bool KeyDataCatcher::CaptureData() {
  const STRUCT_KeyWord* pKey = m_pCurKeyWord;
  // The data ends at the latest at the terminator after the fed bytes.
  int nEnd = std::min(nDataEnd, kBufferSize + 1);
  int nLen = nEnd - nDataStart;
  if (pKey == nullptr || nLen < 1 || nDataStart < 0) {
    return false;
  }
  const char* pFrom = m_pBuffer.get() + nDataStart;
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
      kw::IsMatchFreqAndRec(m_pCurKeyWord)) {
    alarm = STRUCT_AlarmData{true, pKey->nIndex, 1};
  }
  m_pResults->Push(caught, alarm, STRUCT_ColorKeyRange{});
  return true;
}

bool KeyDataCatcher::IsMatchCondition(const char* pszData) {
  const STRUCT_Condition& cond = *m_pCurKeyWord->pCondition;
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

bool KeyDataCatcher::CmpCondition(float fCaught, float fStored, int nOperator) {
  return kw::CmpCondition(fCaught, fStored, nOperator);
}

bool KeyDataCatcher::CmpCondition(const char* pszCaught, const char* pszStored, int nOperator) {
  return kw::CmpCondition(pszCaught, pszStored, nOperator);
}

int KeyDataCatcher::GetKeyData(STRUCT_CatchData*& pCatchData, int nMax) {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  if (pCatchData == nullptr) {
    return m_pResults->Count();
  }
  return m_pResults->Take(nMax, pCatchData, nullptr, nullptr);
}

int KeyDataCatcher::GetKeyData(STRUCT_CatchData*& pCatchData, STRUCT_AlarmData*& pAlarmData,
                               int nMax) {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  if (pCatchData == nullptr || pAlarmData == nullptr) {
    return m_pResults->Count();
  }
  return m_pResults->Take(nMax, pCatchData, pAlarmData, nullptr);
}

int KeyDataCatcher::GetKeyData(STRUCT_CatchData* pCatchData, STRUCT_AlarmData* pAlarmData,
                               STRUCT_ColorKeyRange* pRange, int nMax) {
  std::lock_guard<std::recursive_mutex> lock(m_csLock);
  if (pCatchData == nullptr || pAlarmData == nullptr || pRange == nullptr) {
    return m_pResults->Count();
  }
  return m_pResults->Take(nMax, pCatchData, pAlarmData, pRange);
}

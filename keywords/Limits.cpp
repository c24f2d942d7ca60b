#include "keywords/Limits.h"

#include "platform/Clock.h"

#include <algorithm>

namespace poshark::keywords {

namespace {

uint16_t ToField(int64_t n) { return static_cast<uint16_t>(n); }

}  // namespace

bool IsLeapYear(int nYear) { return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0; }

int DaysInMonth(int nYear, int nMonth) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (nMonth < 1 || nMonth > 12) {
    return 0;
  }
  return nMonth == 2 && IsLeapYear(nYear) ? 29 : kDays[nMonth - 1];
}

SYSTEMTIME AddMonths(SYSTEMTIME st, int nCount) {
  if (nCount <= 0) {
    return st;
  }
  // A month outside 1..12 is carried as it stands; only valid months wrap.
  int64_t nMonth = static_cast<int64_t>(st.wMonth) + nCount;
  if (st.wMonth >= 1 && st.wMonth <= 12 && nMonth > 12) {
    int64_t nZero = nMonth - 1;
    st.wYear = ToField(st.wYear + nZero / 12);
    nMonth = nZero % 12 + 1;
  }
  st.wMonth = ToField(nMonth);
  return st;
}

SYSTEMTIME AddDays(SYSTEMTIME st, int nCount) {
  if (st.wMonth < 1 || st.wMonth > 12 || nCount <= 0) {
    return st;
  }
  int64_t nDay = static_cast<int64_t>(st.wDay) + nCount;
  // Whole 400-year cycles (146097 days) first, so long counts stay cheap.
  const int64_t kCycle = 146097;
  if (nDay > kCycle) {
    int64_t nCycles = (nDay - 1) / kCycle;
    st.wYear = ToField(st.wYear + nCycles * 400);
    nDay -= nCycles * kCycle;
  }
  int nLen = DaysInMonth(st.wYear, st.wMonth);
  while (nDay > nLen) {
    nDay -= nLen;
    st = AddMonths(st, 1);
    nLen = DaysInMonth(st.wYear, st.wMonth);
  }
  st.wDay = ToField(nDay);
  return st;
}

SYSTEMTIME AddHours(SYSTEMTIME st, int nCount) {
  if (nCount <= 0) {
    return st;
  }
  int64_t nSum = static_cast<int64_t>(st.wHour) + nCount;
  if (nSum >= 24) {
    st.wHour = ToField(nSum % 24);
    st = AddDays(st, static_cast<int>(nSum / 24));
  } else {
    st.wHour = ToField(nSum);
  }
  return st;
}

SYSTEMTIME AddMinutes(SYSTEMTIME st, int nCount) {
  if (nCount <= 0) {
    return st;
  }
  int64_t nSum = static_cast<int64_t>(st.wMinute) + nCount;
  if (nSum >= 60) {
    st.wMinute = ToField(nSum % 60);
    st = AddHours(st, static_cast<int>(nSum / 60));
  } else {
    st.wMinute = ToField(nSum);
  }
  return st;
}

int CompareToSecond(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  const uint16_t SYSTEMTIME::*kFields[] = {&SYSTEMTIME::wYear,   &SYSTEMTIME::wMonth,
                                           &SYSTEMTIME::wDay,    &SYSTEMTIME::wHour,
                                           &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond};
  for (auto field : kFields) {
    int nDiff = static_cast<int>(a.*field) - static_cast<int>(b.*field);
    if (nDiff != 0) {
      return nDiff;
    }
  }
  return 0;
}

SYSTEMTIME GetFreqLimitTime(uint32_t nUnit, SYSTEMTIME t) {
  switch (nUnit) {
    case kFreqUnitHour:
      t = AddHours(t, 1);
      break;
    case kFreqUnitHalfDay:
      if (t.wHour < 12) {
        t.wHour = 12;
      } else {
        t = AddDays(t, 1);
        t.wHour = 0;
      }
      break;
    case kFreqUnitDay:
      t = AddDays(t, 1);
      t.wHour = 0;
      break;
    case kFreqUnitWeek: {
      // The week runs from Sunday 00:00 to the next Sunday 00:00, so a
      // match on a Saturday still belongs to its week.
      int nDow = 0;
      if (t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
          t.wDay <= DaysInMonth(t.wYear, t.wMonth)) {
        nDow = platform::DayOfWeek(t.wYear, t.wMonth, t.wDay);
      }
      t = AddDays(t, 7 - nDow);
      t.wHour = 0;
      break;
    }
    case kFreqUnitMonth:
      t = AddMonths(t, 1);
      t.wDay = 1;
      t.wHour = 0;
      break;
    default: {
      SYSTEMTIME never{};
      never.wYear = 255;
      return never;
    }
  }
  t.wMinute = 0;
  t.wSecond = 0;
  t.wMilliseconds = 0;
  return t;
}

bool IsMatchFreqAndRecAt(STRUCT_Condition* pCond, const SYSTEMTIME& stNow) {
  if (pCond == nullptr) {
    return false;
  }
  if (pCond->bFreq) {
    if (pCond->pFreqRecs == nullptr) {
      pCond->pFreqRecs = new FreqRecList();
    }
    FreqRecList& recs = *pCond->pFreqRecs;
    // Fewer than one match cannot be counted: every match meets such a limit.
    int nNeeded = std::clamp(pCond->nFreqCount, 1, kMaxFreqCount);
    recs.Add(stNow);
    if (recs.GetSize() < nNeeded) {
      return false;
    }
    recs.RemoveOldest(recs.GetSize() - nNeeded);
    SYSTEMTIME stLimit = GetFreqLimitTime(static_cast<uint32_t>(pCond->nFreqUnit), recs.GetAt(0));
    if (CompareToSecond(stLimit, stNow) <= 0) {
      return false;
    }
    if (pCond->bFreqReset) {
      recs.RemoveAll();
    }
  }
  if (pCond->bIdle) {
    int nMinutes = std::clamp(pCond->nIdleMinutes, 0, kMaxIdleCount);
    int nHours = std::clamp(pCond->nIdleHours, 0, kMaxIdleCount);
    SYSTEMTIME stNext = AddHours(AddMinutes(pCond->stIdleLast, nMinutes), nHours);
    if (CompareToSecond(stNext, stNow) >= 0) {
      return false;
    }
  }
  pCond->stIdleLast = stNow;
  return true;
}

bool IsMatchFreqAndRec(STRUCT_KeyWord* pKeyWord) {
  if (pKeyWord == nullptr || !pKeyWord->bCondition || pKeyWord->pCondition == nullptr) {
    return false;
  }
  SYSTEMTIME stNow{};
  platform::GetLocalTime(&stNow);
  return IsMatchFreqAndRecAt(pKeyWord->pCondition, stNow);
}

}  // namespace poshark::keywords

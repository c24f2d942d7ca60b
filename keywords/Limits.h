// Frequency and idle limits of a condition, and the small calendar
// arithmetic on SYSTEMTIME values they use. Shared by both catchers.
//
// None of these functions takes a lock: the catchers call IsMatchFreqAndRec
// under their own lock.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstdint>

namespace poshark::keywords {

// Frequency periods (STRUCT_Condition::nFreqUnit).
enum : int {
  kFreqUnitHour = 1,
  kFreqUnitHalfDay = 2,
  kFreqUnitDay = 3,
  kFreqUnitWeek = 4,
  kFreqUnitMonth = 5,
};

// Bounds that keep the limit state finite whatever a file or host says:
// at most kMaxFreqCount records per condition, idle hours and minutes
// within 0..kMaxIdleCount.
inline constexpr int kMaxFreqCount = 65536;
inline constexpr int kMaxIdleCount = 65535;

// Calendar arithmetic. The day-of-week field is never updated; fields other
// than the ones named are kept. Results are undefined for years past 65535.

// Month + nCount (nCount >= 0), carrying into the year. The day is kept.
SYSTEMTIME AddMonths(SYSTEMTIME st, int nCount);
// Day + nCount (nCount >= 0), carrying through month ends with the Gregorian
// leap-year rule. A month outside 1..12 leaves the time unchanged.
SYSTEMTIME AddDays(SYSTEMTIME st, int nCount);
// Hour + nCount (nCount >= 0), carrying whole days into AddDays.
SYSTEMTIME AddHours(SYSTEMTIME st, int nCount);
// Minute + nCount (nCount >= 0), carrying whole hours into AddHours.
SYSTEMTIME AddMinutes(SYSTEMTIME st, int nCount);
// Compares year, month, day, hour, minute, second in turn: the difference
// (a - b) of the first field that differs, 0 when all six are equal.
int CompareToSecond(const SYSTEMTIME& a, const SYSTEMTIME& b);

// True for a Gregorian leap year.
bool IsLeapYear(int nYear);
// Days in nMonth (1..12) of nYear; 0 for any other month.
int DaysInMonth(int nYear, int nMonth);

// The time before which a match made at t still counts towards the period
// of nUnit: the start of the next hour, half day, day, week (Sunday 00:00)
// or month. Minutes, seconds and milliseconds are 0. Any other unit gives a
// time earlier than every real time (year 255), so its limit never passes.
SYSTEMTIME GetFreqLimitTime(uint32_t nUnit, SYSTEMTIME t);

// Applies the limits of pCond to a match that happens at stNow, records the
// match and answers whether the alarm is let through. A null pCond answers
// false. A frequency limit without a list gets one.
bool IsMatchFreqAndRecAt(STRUCT_Condition* pCond, const SYSTEMTIME& stNow);

// IsMatchFreqAndRecAt with the keyword's condition and the local time now
// (platform::GetLocalTime). False when the keyword has no condition.
bool IsMatchFreqAndRec(STRUCT_KeyWord* pKeyWord);

}  // namespace poshark::keywords

// Conditions: comparisons, numbers read from caught texts, calendars and limits.
#include "keywords/Limits.h"

#include "keywords/Compare.h"
#include "platform/Number.h"

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <tuple>
#include <vector>

namespace poshark::keywords {
namespace {

using poshark::testing::MakeTime;

bool SameToSecond(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return CompareToSecond(a, b) == 0 && a.wMilliseconds == b.wMilliseconds;
}

STRUCT_Condition FreqCondition(int nCount, int nUnit, bool bReset) {
  STRUCT_Condition cond{};
  std::tie(cond.bFreq, cond.nFreqCount, cond.nFreqUnit, cond.bFreqReset) =
      std::tuple(true, nCount, nUnit, bReset);
  return cond;
}

TEST(CalendarTest, ShiftsCarryThroughDaysMonthsYearsAndLeapYearsAndCompareToTheSecond) {
  const std::tuple<SYSTEMTIME (*)(SYSTEMTIME, int), SYSTEMTIME, int, SYSTEMTIME> kCases[] = {
      {AddDays, MakeTime(2012, 2, 28), 1, MakeTime(2012, 2, 29)},
      // Century years are leap years only when divisible by 400.
      {AddDays, MakeTime(2100, 2, 28), 1, MakeTime(2100, 3, 1)},
      // Long counts go through whole 400-year cycles.
      {AddDays, MakeTime(2011, 3, 5), 146097 + 1, MakeTime(2411, 3, 6)},
      // An invalid month is left unchanged.
      {AddDays, SYSTEMTIME{}, 10, SYSTEMTIME{}},
      {AddMinutes, MakeTime(2011, 12, 31, 23, 59), 1, MakeTime(2012, 1, 1, 0, 0)},
      {AddMonths, MakeTime(2010, 12, 31), 1, MakeTime(2011, 1, 31)},
  };
  for (const auto& [pfnShift, from, n, want] : kCases)
    EXPECT_TRUE(SameToSecond(pfnShift(from, n), want))
        << from.wYear << "-" << from.wMonth << "-" << from.wDay << " +" << n;
  SYSTEMTIME a = MakeTime(2011, 5, 6, 7, 8, 9), b = a;
  b.wDayOfWeek = 3;
  b.wMilliseconds = 999;
  EXPECT_EQ(CompareToSecond(a, b), 0);  // the day of week and milliseconds play no part
}

TEST(FreqLimitTimeTest, PeriodsEndAtTheNextBoundaryAndWeeksAtSundayMidnight) {
  SYSTEMTIME wrongDow = MakeTime(2011, 3, 2, 15);
  wrongDow.wDayOfWeek = 6;  // the stored day of week plays no part
  wrongDow.wMilliseconds = 700;
  // 2011-03-02 was a Wednesday, 2011-03-05 a Saturday, 2011-03-06 a Sunday.
  const std::tuple<uint32_t, SYSTEMTIME, SYSTEMTIME> kCases[] = {
      {1, MakeTime(2011, 3, 1, 23, 45, 10), MakeTime(2011, 3, 2)},
      {3, MakeTime(2011, 2, 28, 8, 30), MakeTime(2011, 3, 1)},
      {5, MakeTime(2010, 12, 31, 22, 10), MakeTime(2011, 1, 1)},
      {4, MakeTime(2011, 3, 5, 23, 59), MakeTime(2011, 3, 6)},
      {4, MakeTime(2011, 3, 6, 0, 1), MakeTime(2011, 3, 13)},
      {4, wrongDow, MakeTime(2011, 3, 6)},
  };
  for (const auto& [nUnit, now, want] : kCases)
    EXPECT_TRUE(SameToSecond(GetFreqLimitTime(nUnit, now), want)) << nUnit << " " << now.wDay;
  // An unknown unit gives a time before every real time.
  for (uint32_t nUnit : {0u, 6u, 0xFFFFFFFFu})
    EXPECT_LT(CompareToSecond(GetFreqLimitTime(nUnit, MakeTime(2011, 3, 2)), MakeTime(1970, 1, 1)),
              0);
}

STRUCT_Condition IdleCondition(int nHours, int nMinutes, SYSTEMTIME last = {},
                               STRUCT_Condition cond = {}) {
  std::tie(cond.bIdle, cond.nIdleHours, cond.nIdleMinutes, cond.stIdleLast) =
      std::tuple(true, nHours, nMinutes, last);
  return cond;
}

TEST(LimitsTest, FrequencyAndIdleLimitsDecideWhichAlarmsPass) {
  auto at = [](int d, int h, int mi = 0, int s = 0) { return MakeTime(2011, 3, d, h, mi, s); };
  // what, condition, steps: match time, alarm let through
  const std::tuple<const char*, STRUCT_Condition, std::vector<std::pair<SYSTEMTIME, bool>>>
      kCases[] = {
          {"daily count needs all matches within one day",
           FreqCondition(3, kFreqUnitDay, false),
           {{at(1, 23), false},
            {at(1, 23, 30), false},
            {at(2, 0, 10), false},
            {at(2, 0, 20), false},
            {at(2, 0, 30), true}}},
          {"reset starts a new count after an alarm",
           FreqCondition(2, kFreqUnitHour, true),
           {{at(1, 9, 1), false}, {at(1, 9, 2), true}, {at(1, 9, 3), false}, {at(1, 9, 4), true}}},
          {"count 0 passes every match",
           FreqCondition(0, kFreqUnitDay, false),
           {{at(1, 9), true}, {at(1, 10), true}}},
          {"idle time must have strictly passed",
           IdleCondition(0, 30),
           {{at(1, 10), true},
            {at(1, 10, 20), false},
            {at(1, 10, 30), false},
            {at(1, 10, 30, 1), true}}},
          // 70000 hours would wrap to 4464 in 16 bits; 65535 hours is more than seven years.
          {"huge idle period is clamped",
           IdleCondition(70000, 0, MakeTime(2011, 1, 1)),
           {{MakeTime(2018, 6, 1), false}, {MakeTime(2018, 6, 30), true}}},
          // The count starts again at 9:03 although the idle time holds that alarm back.
          {"reset even when the idle limit holds the alarm back",
           IdleCondition(1, 0, {}, FreqCondition(2, kFreqUnitDay, true)),
           {{at(1, 9, 0), false},
            {at(1, 9, 1), true},
            {at(1, 9, 2), false},
            {at(1, 9, 3), false},
            {at(1, 10, 30), false},
            {at(1, 10, 31), true}}},
      };
  for (const auto& [pszName, given, steps] : kCases) {
    SCOPED_TRACE(pszName);
    STRUCT_Condition cond = given;
    for (const auto& [when, bPass] : steps) {
      EXPECT_EQ(IsMatchFreqAndRecAt(&cond, when), bPass) << when.wDay << " " << when.wHour;
      // Every alarm let through stamps the idle time.
      EXPECT_TRUE(!bPass || SameToSecond(cond.stIdleLast, when));
    }
    delete cond.pFreqRecs;
  }
  EXPECT_FALSE(IsMatchFreqAndRecAt(nullptr, MakeTime(2011, 3, 1)));
}

TEST(CompareTest, OperatorsOnNumbersAndTexts) {
  EXPECT_TRUE(CmpCondition(100.0f, 100.0f, POSHARK_OP_LESS_EQUAL) &&
              CmpCondition(1.0f, 2.0f, POSHARK_OP_NOT_EQUAL));
  // A prefix is the lesser; bytes compare unsigned.
  EXPECT_TRUE(CmpCondition("AB", "ABC", POSHARK_OP_LESS) &&
              CmpCondition("\xE9", "z", POSHARK_OP_GREATER));
  EXPECT_FALSE(CmpCondition(1.0f, 1.0f, 6) || CmpCondition(1.0f, 1.0f, -1) ||
               CmpCondition("A", "A", 7));
}

TEST(LocaleNumberTest, AcceptsWholeNumbersOnlyLeavesTheTargetOnRefusalAndAtofIgnoresTheLocale) {
  using platform::AtofC;
  using platform::LocaleTextToFloat;
  float f = 0;
  ASSERT_TRUE(LocaleTextToFloat("  -12.5\t", &f) && f == -12.5f);
  for (const char* pszText :
       {"", "12abc", "12 3", "0x10", "inf", "1e99", static_cast<const char*>(nullptr)})
    EXPECT_FALSE(LocaleTextToFloat(pszText, &f)) << (pszText ? pszText : "null");
  EXPECT_EQ(f, -12.5f);
  EXPECT_FALSE(LocaleTextToFloat("1", nullptr));
  // AtofC reads a point whatever the process locale, where a comma-decimal one is installed.
  EXPECT_DOUBLE_EQ(AtofC(" 1234.56xyz"), 1234.56);
  EXPECT_DOUBLE_EQ(AtofC(nullptr), 0.0);
  const char* pszOld = std::setlocale(LC_NUMERIC, nullptr);
  std::string old = pszOld ? pszOld : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
    EXPECT_DOUBLE_EQ(AtofC("12.50"), 12.5);
    std::setlocale(LC_NUMERIC, old.c_str());
  }
}

}  // namespace
}  // namespace poshark::keywords

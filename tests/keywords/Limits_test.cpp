#include "keywords/Limits.h"

#include "TempHome.h"

#include <gtest/gtest.h>

namespace poshark::keywords {
namespace {

using poshark::testing::FakeClock;
using poshark::testing::MakeTime;

::testing::AssertionResult SameToSecond(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  if (CompareToSecond(a, b) == 0 && a.wMilliseconds == b.wMilliseconds) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << a.wYear << "-" << a.wMonth << "-" << a.wDay << " " << a.wHour << ":" << a.wMinute << ":"
         << a.wSecond << "." << a.wMilliseconds << " vs " << b.wYear << "-" << b.wMonth << "-"
         << b.wDay << " " << b.wHour << ":" << b.wMinute << ":" << b.wSecond << "."
         << b.wMilliseconds;
}

STRUCT_Condition FreqCondition(int nCount, int nUnit, bool bReset) {
  STRUCT_Condition cond{};
  cond.bFreq = true;
  cond.nFreqCount = nCount;
  cond.nFreqUnit = nUnit;
  cond.bFreqReset = bReset;
  return cond;
}

TEST(CalendarTest, AddDaysFollowsTheGregorianLeapYearRule) {
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2012, 2, 28), 1), MakeTime(2012, 2, 29)));
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2011, 2, 28), 1), MakeTime(2011, 3, 1)));
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2000, 2, 28), 1), MakeTime(2000, 2, 29)));
  // Century years are leap years only when divisible by 400.
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(1900, 2, 28), 1), MakeTime(1900, 3, 1)));
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2100, 2, 28), 1), MakeTime(2100, 3, 1)));
}

TEST(CalendarTest, AddDaysCarriesThroughMonthsAndYears) {
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2010, 12, 31, 5), 1), MakeTime(2011, 1, 1, 5)));
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2011, 1, 31), 30), MakeTime(2011, 3, 2)));
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2011, 1, 1), 365), MakeTime(2012, 1, 1)));
  // Long counts go through whole 400-year cycles and land on the same date.
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2011, 3, 5), 146097 * 2), MakeTime(2811, 3, 5)));
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2011, 3, 5), 146097 + 1), MakeTime(2411, 3, 6)));
}

TEST(CalendarTest, AddDaysLeavesAnInvalidMonthUnchanged) {
  SYSTEMTIME zero{};
  EXPECT_TRUE(SameToSecond(AddDays(zero, 10), zero));
  EXPECT_TRUE(SameToSecond(AddDays(MakeTime(2011, 13, 1), 40), MakeTime(2011, 13, 1)));
}

TEST(CalendarTest, HoursAndMinutesCarryIntoTheNextDay) {
  EXPECT_TRUE(SameToSecond(AddHours(MakeTime(2011, 2, 28, 23), 1), MakeTime(2011, 3, 1, 0)));
  EXPECT_TRUE(SameToSecond(AddHours(MakeTime(2011, 1, 1, 10), 50), MakeTime(2011, 1, 3, 12)));
  EXPECT_TRUE(
      SameToSecond(AddMinutes(MakeTime(2011, 12, 31, 23, 59), 1), MakeTime(2012, 1, 1, 0, 0)));
  EXPECT_TRUE(
      SameToSecond(AddMinutes(MakeTime(2011, 1, 1, 10, 40), 30), MakeTime(2011, 1, 1, 11, 10)));
  EXPECT_TRUE(SameToSecond(AddMonths(MakeTime(2010, 12, 31), 1), MakeTime(2011, 1, 31)));
}

TEST(CalendarTest, CompareToSecondIgnoresDayOfWeekAndMilliseconds) {
  SYSTEMTIME a = MakeTime(2011, 5, 6, 7, 8, 9);
  SYSTEMTIME b = a;
  b.wDayOfWeek = 3;
  b.wMilliseconds = 999;
  EXPECT_EQ(CompareToSecond(a, b), 0);
  EXPECT_LT(CompareToSecond(a, MakeTime(2011, 5, 6, 7, 8, 10)), 0);
  EXPECT_GT(CompareToSecond(MakeTime(2012, 1, 1), a), 0);
  EXPECT_EQ(CompareToSecond(MakeTime(2011, 5, 6), MakeTime(2011, 5, 9)), -3);
}

TEST(FreqLimitTimeTest, HourHalfDayDayAndMonthPeriods) {
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(1, MakeTime(2011, 3, 1, 23, 45, 10)),
                           MakeTime(2011, 3, 2, 0, 0, 0)));
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(2, MakeTime(2011, 3, 1, 11, 59, 59)),
                           MakeTime(2011, 3, 1, 12, 0, 0)));
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(2, MakeTime(2011, 3, 1, 12, 0, 0)),
                           MakeTime(2011, 3, 2, 0, 0, 0)));
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(3, MakeTime(2011, 2, 28, 8, 30)),
                           MakeTime(2011, 3, 1, 0, 0, 0)));
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(5, MakeTime(2010, 12, 31, 22, 10)),
                           MakeTime(2011, 1, 1, 0, 0, 0)));
  SYSTEMTIME withMs = MakeTime(2011, 3, 1, 10, 5, 6);
  withMs.wMilliseconds = 700;
  EXPECT_EQ(GetFreqLimitTime(3, withMs).wMilliseconds, 0);
}

TEST(FreqLimitTimeTest, WeekEndsAtTheFollowingSundayMidnight) {
  // 2011-03-02 was a Wednesday, 2011-03-05 a Saturday, 2011-03-06 a Sunday.
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(4, MakeTime(2011, 3, 2, 15)), MakeTime(2011, 3, 6)));
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(4, MakeTime(2011, 3, 5, 23, 59)), MakeTime(2011, 3, 6)));
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(4, MakeTime(2011, 3, 6, 0, 1)), MakeTime(2011, 3, 13)));
  // The stored day of week plays no part.
  SYSTEMTIME wrongDow = MakeTime(2011, 3, 2, 15);
  wrongDow.wDayOfWeek = 6;
  EXPECT_TRUE(SameToSecond(GetFreqLimitTime(4, wrongDow), MakeTime(2011, 3, 6)));
}

TEST(FreqLimitTimeTest, UnknownUnitGivesATimeBeforeEveryRealTime) {
  for (uint32_t nUnit : {0u, 6u, 0xFFFFFFFFu}) {
    EXPECT_LT(CompareToSecond(GetFreqLimitTime(nUnit, MakeTime(2011, 3, 2)), MakeTime(1970, 1, 1)),
              0);
  }
}

TEST(FreqLimitTest, DailyCountNeedsAllMatchesWithinOneDay) {
  STRUCT_Condition cond = FreqCondition(3, kFreqUnitDay, false);
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10)));
  EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 11)));
  delete cond.pFreqRecs;

  STRUCT_Condition late = FreqCondition(3, kFreqUnitDay, false);
  EXPECT_FALSE(IsMatchFreqAndRecAt(&late, MakeTime(2011, 3, 1, 23, 0)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&late, MakeTime(2011, 3, 1, 23, 30)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&late, MakeTime(2011, 3, 2, 0, 10)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&late, MakeTime(2011, 3, 2, 0, 20)));
  EXPECT_TRUE(IsMatchFreqAndRecAt(&late, MakeTime(2011, 3, 2, 0, 30)));
  ASSERT_NE(late.pFreqRecs, nullptr);
  ASSERT_EQ(late.pFreqRecs->GetSize(), 3);
  EXPECT_TRUE(SameToSecond(late.pFreqRecs->GetAt(0), MakeTime(2011, 3, 2, 0, 10)));
  delete late.pFreqRecs;
}

TEST(FreqLimitTest, WeeklyLimitCountsAMatchMadeOnSaturday) {
  STRUCT_Condition cond = FreqCondition(2, kFreqUnitWeek, false);
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 5, 9)));  // Saturday
  EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 5, 10)));
  // Saturday and the Sunday after it belong to different weeks.
  STRUCT_Condition split = FreqCondition(2, kFreqUnitWeek, false);
  EXPECT_FALSE(IsMatchFreqAndRecAt(&split, MakeTime(2011, 3, 5, 23)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&split, MakeTime(2011, 3, 6, 1)));
  delete cond.pFreqRecs;
  delete split.pFreqRecs;
}

TEST(FreqLimitTest, ResetStartsANewCountAfterAnAlarm) {
  STRUCT_Condition cond = FreqCondition(2, kFreqUnitHour, true);
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9, 1)));
  EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9, 2)));
  EXPECT_EQ(cond.pFreqRecs->GetSize(), 0);
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9, 3)));
  EXPECT_EQ(cond.pFreqRecs->GetSize(), 1);
  EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9, 4)));
  delete cond.pFreqRecs;
}

TEST(FreqLimitTest, CountBelowOneIsMetByEveryMatch) {
  for (int nCount : {0, -5}) {
    STRUCT_Condition cond = FreqCondition(nCount, kFreqUnitDay, false);
    EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9)));
    EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10)));
    EXPECT_EQ(cond.pFreqRecs->GetSize(), 1);
    delete cond.pFreqRecs;
  }
}

TEST(FreqLimitTest, UnknownUnitNeverLetsAnAlarmThrough) {
  STRUCT_Condition cond = FreqCondition(1, 9, false);
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10)));
  delete cond.pFreqRecs;
}

TEST(IdleLimitTest, AlarmPassesOnlyWhenTheIdleTimeHasStrictlyPassed) {
  STRUCT_Condition cond{};
  cond.bIdle = true;
  cond.nIdleMinutes = 30;
  EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10, 0, 0)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10, 20, 0)));
  EXPECT_TRUE(SameToSecond(cond.stIdleLast, MakeTime(2011, 3, 1, 10, 0, 0)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10, 30, 0)));
  EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10, 30, 1)));
  EXPECT_TRUE(SameToSecond(cond.stIdleLast, MakeTime(2011, 3, 1, 10, 30, 1)));
}

TEST(IdleLimitTest, ResetHappensEvenWhenTheIdleLimitHoldsTheAlarmBack) {
  STRUCT_Condition cond = FreqCondition(1, kFreqUnitDay, true);
  cond.bIdle = true;
  cond.nIdleHours = 1;
  cond.stIdleLast = MakeTime(2011, 3, 1, 9, 30);
  cond.pFreqRecs = new FreqRecList();
  cond.pFreqRecs->Add(MakeTime(2011, 3, 1, 9, 0));
  EXPECT_FALSE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 10, 0)));
  EXPECT_EQ(cond.pFreqRecs->GetSize(), 0);
  EXPECT_TRUE(SameToSecond(cond.stIdleLast, MakeTime(2011, 3, 1, 9, 30)));
  delete cond.pFreqRecs;
}

TEST(IdleLimitTest, OutOfRangeIdlePeriodsAreClampedNotWrapped) {
  STRUCT_Condition huge{};
  huge.bIdle = true;
  huge.nIdleHours = 70000;  // would wrap to 4464 hours in 16 bits
  huge.stIdleLast = MakeTime(2011, 1, 1);
  // 65535 hours is more than seven years.
  EXPECT_FALSE(IsMatchFreqAndRecAt(&huge, MakeTime(2018, 6, 1)));
  EXPECT_TRUE(IsMatchFreqAndRecAt(&huge, MakeTime(2018, 6, 30)));

  STRUCT_Condition negative{};
  negative.bIdle = true;
  negative.nIdleMinutes = -1;
  negative.stIdleLast = MakeTime(2011, 1, 1, 10, 0, 0);
  EXPECT_TRUE(IsMatchFreqAndRecAt(&negative, MakeTime(2011, 1, 1, 10, 0, 1)));
}

TEST(LimitsTest, NoLimitsLetEveryAlarmThroughAndStampIt) {
  STRUCT_Condition cond{};
  EXPECT_TRUE(IsMatchFreqAndRecAt(&cond, MakeTime(2011, 3, 1, 9, 0, 5)));
  EXPECT_TRUE(SameToSecond(cond.stIdleLast, MakeTime(2011, 3, 1, 9, 0, 5)));
  EXPECT_FALSE(IsMatchFreqAndRecAt(nullptr, MakeTime(2011, 3, 1)));
}

TEST(LimitsTest, KeywordFormReadsThePlatformClock) {
  FakeClock clock;
  STRUCT_Condition cond{};
  cond.bIdle = true;
  cond.nIdleMinutes = 5;
  STRUCT_KeyWord key{};
  key.bCondition = true;
  key.pCondition = &cond;
  clock.Set(MakeTime(2011, 3, 1, 9, 0));
  EXPECT_TRUE(IsMatchFreqAndRec(&key));
  clock.Set(MakeTime(2011, 3, 1, 9, 4));
  EXPECT_FALSE(IsMatchFreqAndRec(&key));
  clock.Set(MakeTime(2011, 3, 1, 9, 6));
  EXPECT_TRUE(IsMatchFreqAndRec(&key));
  EXPECT_TRUE(SameToSecond(cond.stIdleLast, MakeTime(2011, 3, 1, 9, 6)));

  STRUCT_KeyWord noCondition{};
  EXPECT_FALSE(IsMatchFreqAndRec(&noCondition));
}

}  // namespace
}  // namespace poshark::keywords

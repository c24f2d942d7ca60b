#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

using namespace poshark::platform;

TEST(ClockTest, TickCountAndLocalTimeFollowTheSystemAndATestSourceReplacesIt) {
  uint32_t nStart = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  uint32_t nElapsed = GetTickCount() - nStart;  // unsigned difference survives a wrap
  EXPECT_GE(nElapsed, 29u);
  EXPECT_LT(nElapsed, 5000u);

  SYSTEMTIME st{};
  time_t before = time(nullptr);
  GetLocalTime(&st);
  GetLocalTime(nullptr);  // ignored
  tm local{};
  localtime_r(&before, &local);
  if (before == time(nullptr)) {  // else the second changed during the test
    EXPECT_EQ(st.wYear, local.tm_year + 1900);
    EXPECT_EQ(st.wMonth, local.tm_mon + 1);
    EXPECT_EQ(st.wDay, local.tm_mday);
    EXPECT_EQ(st.wDayOfWeek, local.tm_wday);
    EXPECT_EQ(st.wMinute, local.tm_min);
    EXPECT_LT(st.wMilliseconds, 1000);
  }
  SYSTEMTIME fixed{2024, 2, 4, 29, 23, 59, 58, 999};
  SetLocalTimeSourceForTesting([fixed] { return fixed; });
  GetLocalTime(&st);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wMilliseconds, 999);
  SetLocalTimeSourceForTesting(nullptr);
  GetLocalTime(&st);
  EXPECT_GE(st.wYear, 2020);
}

TEST(ClockTest, DayOfWeekFollowsTheGregorianCalendar) {
  EXPECT_EQ(DayOfWeek(2000, 2, 29), 2);   // Tuesday, leap day of a 400-year
  EXPECT_EQ(DayOfWeek(1900, 3, 1), 4);    // 1900 is no leap year
  EXPECT_EQ(DayOfWeek(1, 1, 1), 1);       // Monday, proleptic
  EXPECT_EQ(DayOfWeek(9999, 12, 31), 5);  // Friday
  for (int nYear = 1971; nYear < 2100; nYear += 7) {
    for (int nMonth = 1; nMonth <= 12; ++nMonth) {
      tm t{};
      t.tm_year = nYear - 1900;
      t.tm_mon = nMonth - 1;
      t.tm_mday = 28;
      timegm(&t);
      ASSERT_EQ(DayOfWeek(nYear, nMonth, 28), t.tm_wday) << nYear << "-" << nMonth;
    }
  }
}

// The small platform services: clock, events, free space, paths.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <tuple>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/TempHome.h"

using namespace poshark::platform;
using poshark::testing::EnvGuard;
using poshark::testing::TempHome;

TEST(ClockTest, LocalTimeFollowsTheSystemAndATestSourceReplacesIt) {
  SYSTEMTIME st{};
  time_t before = time(nullptr);
  GetLocalTime(&st);
  tm local{};
  localtime_r(&before, &local);
  if (before == time(nullptr)) {  // else the second changed during the test
    EXPECT_EQ(std::tie(st.wYear, st.wMonth, st.wDay, st.wDayOfWeek, st.wMinute),
              std::make_tuple(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday,
                              local.tm_min));
  }
  SYSTEMTIME fixed{2024, 2, 4, 29, 23, 59, 58, 999};
  SetLocalTimeSourceForTesting([fixed] { return fixed; });
  GetLocalTime(&st);
  SetLocalTimeSourceForTesting(nullptr);
  EXPECT_EQ(st.wMilliseconds, 999);
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
  EXPECT_EQ(DayOfWeek(1900, 3, 1), 4);  // 1900 is no leap year
  EXPECT_EQ(DayOfWeek(1, 1, 1), 1);     // Monday, proleptic
}

TEST(FilesTest, FreeSpaceIsKnownForAFolderAndNotForAMissingOne) {
  TempHome dir(TempHome::Env::kLeave);
  uint64_t nFree = 0;
  EXPECT_TRUE(GetFreeBytes(dir.Path(), &nFree));
  EXPECT_GT(nFree, 0u);
  EXPECT_FALSE(GetFreeBytes(dir / "missing", &nFree));
}

TEST(PathsTest, HomeAndWorkPathFollowTheEnvironmentAndJoinsKeepOneSeparator) {
  const std::pair<const char*, std::string> kHomes[] = {
      {"/tmp/somewhere///", "/tmp/somewhere"}, {nullptr, kDefaultHome}, {"", kDefaultHome}};
  for (const auto& [pszValue, want] : kHomes) {
    EnvGuard env("POSHARK_HOME", pszValue);
    EXPECT_EQ(PosharkHome(), want) << (pszValue ? pszValue : "(unset)");
  }
  {
    EnvGuard env("POSHARK_WORKDIR", "/opt/pos/");
    EXPECT_EQ(WorkPath(), "/opt/pos");
  }
  EnvGuard env("POSHARK_WORKDIR", nullptr);
  EXPECT_EQ(WorkPath(), std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
  const std::tuple<const char*, const char*, const char*> kJoins[] = {
      {"/a/", "/b", "/a/b"}, {"/a", "/b", "/a/b"}, {"/a/", "b", "/a/b"},
      {"/a", "b", "/a/b"},   {"", "b", "b"},       {"/a", "", "/a"}};
  for (const auto& [a, b, want] : kJoins) EXPECT_EQ(JoinPath(a, b), want) << a << " + " << b;
  TempHome dir(TempHome::Env::kLeave);
  std::string file = dir.Write("KexDeBug.ini", "[POSTrace]\n");
  EXPECT_TRUE(FileExists(file) && DirectoryExists(dir.Path()));
  EXPECT_FALSE(DirectoryExists(file) || FileExists(dir.Path()) || FileExists(dir / "missing"));
}

namespace {

TEST(EventTest, ManualResetStaysSetAndAutoResetMergesSetsIntoOneWait) {
  Event manual(Event::kManualReset, true), automatic(Event::kAutoReset, true);
  automatic.Set();  // many sets, one wait
  EXPECT_TRUE(manual.TryConsume() && manual.Wait(0) && automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  manual.Reset();
  automatic.Set();
  automatic.Reset();  // clears the pending signal
  EXPECT_FALSE(manual.TryConsume() || automatic.Wait(0));
  manual.Set();  // set again after a reset
  automatic.Set();
  EXPECT_TRUE(manual.Wait(0) && automatic.TryConsume());
}

TEST(EventTest, WaitForAnyAnswersTheLowestSignalledIndexConsumesOnlyItAndTimesOut) {
  Event stop(Event::kManualReset), data(Event::kAutoReset), other(Event::kAutoReset);
  data.Set();
  other.Set();
  for (int nWant : {1, 2, kWaitTimeout}) EXPECT_EQ(WaitForAny({&stop, &data, &other}, 0), nWant);
  stop.Set();
  data.Set();
  EXPECT_EQ(WaitForAny({&stop, &data}, 0), 0);
  EXPECT_EQ(WaitForAny({&stop, &data}, 0), 0);  // manual-reset stays set
  stop.Reset();
  EXPECT_EQ(WaitForAny({nullptr, &data}, 0), 1);  // not consumed meanwhile; null skipped
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForAny({nullptr, &data}, 60), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(59));
  std::atomic<int> nWoken{0};  // one set wakes exactly one of two waiters
  auto waiter = [&] { nWoken += data.Wait(300) ? 1 : 0; };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  data.Set();
  a.join();
  b.join();
  EXPECT_EQ(nWoken.load(), 1);
}

}  // namespace

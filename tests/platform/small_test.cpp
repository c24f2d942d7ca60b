// The small platform services: events and free space.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Event.h"
#include "platform/Files.h"
#include "support/TempHome.h"

using namespace poshark::platform;
using poshark::testing::TempHome;

TEST(FilesTest, FreeSpaceIsKnownForAFolderAndNotForAMissingOne) {
  TempHome dir(TempHome::Env::kLeave);
  uint64_t nFree = 0;
  EXPECT_TRUE(GetFreeBytes(dir.Path(), &nFree));
  EXPECT_GT(nFree, 0u);
  EXPECT_FALSE(GetFreeBytes(dir / "missing", &nFree));
}

namespace {

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

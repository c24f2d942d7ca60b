#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace poshark::platform;

namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

long ElapsedMs(SteadyClock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<Ms>(SteadyClock::now() - since).count());
}

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
  Event stop(Event::kManualReset);
  Event data(Event::kAutoReset);
  Event other(Event::kAutoReset);
  data.Set();
  other.Set();
  EXPECT_EQ(WaitForAny({&stop, &data, &other}, 0), 1);
  EXPECT_EQ(WaitForAny({&stop, &data, &other}, 0), 2);
  EXPECT_EQ(WaitForAny({&stop, &data, &other}, 0), kWaitTimeout);
  stop.Set();
  data.Set();
  EXPECT_EQ(WaitForAny({&stop, &data}, 0), 0);
  EXPECT_EQ(WaitForAny({&stop, &data}, 0), 0);  // manual-reset stays set
  stop.Reset();
  EXPECT_EQ(WaitForAny({nullptr, &data}, 0), 1);  // not consumed meanwhile; null skipped
  auto start = SteadyClock::now();
  EXPECT_EQ(WaitForAny({nullptr, &data}, 60), kWaitTimeout);
  EXPECT_GE(ElapsedMs(start), 59);
  std::atomic<int> nWoken{0};  // one set wakes exactly one of two waiters
  auto waiter = [&] { nWoken += data.Wait(300) ? 1 : 0; };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(Ms(30));
  data.Set();
  a.join();
  b.join();
  EXPECT_EQ(nWoken.load(), 1);
}

}  // namespace

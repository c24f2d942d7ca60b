#include "platform/Event.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using poshark::platform::Event;
using poshark::platform::kInfinite;
using poshark::platform::kWaitTimeout;
using poshark::platform::WaitForAny;

namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

long ElapsedMs(SteadyClock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<Ms>(SteadyClock::now() - since).count());
}

}  // namespace

TEST(EventTest, ManualResetStaysSetUntilReset) {
  Event ev(Event::kManualReset);
  EXPECT_FALSE(ev.Wait(0));
  ev.Set();
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_TRUE(ev.TryConsume());
  EXPECT_TRUE(ev.Wait(0));
  ev.Reset();
  EXPECT_FALSE(ev.Wait(0));
  EXPECT_FALSE(ev.TryConsume());
}

TEST(EventTest, AutoResetLetsOneWaitThroughAfterManySets) {
  Event ev(Event::kAutoReset);
  ev.Set();
  ev.Set();
  ev.Set();
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_FALSE(ev.Wait(0));
  ev.Set();
  EXPECT_TRUE(ev.TryConsume());
  EXPECT_FALSE(ev.TryConsume());
}

TEST(EventTest, InitiallySetEventsAreSignalled) {
  Event manual(Event::kManualReset, true);
  Event automatic(Event::kAutoReset, true);
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(EventTest, ResetOnAutoResetClearsPendingSignal) {
  Event ev(Event::kAutoReset);
  ev.Set();
  ev.Reset();
  EXPECT_FALSE(ev.Wait(0));
}

TEST(EventTest, WaitTimesOutAfterRoughlyTheGivenTime) {
  Event ev(Event::kAutoReset);
  auto start = SteadyClock::now();
  EXPECT_FALSE(ev.Wait(60));
  EXPECT_GE(ElapsedMs(start), 59);
}

TEST(EventTest, InfiniteWaitWakesOnSetFromAnotherThread) {
  Event ev(Event::kAutoReset);
  std::thread setter([&] {
    std::this_thread::sleep_for(Ms(20));
    ev.Set();
  });
  EXPECT_TRUE(ev.Wait(kInfinite));
  setter.join();
}

TEST(EventTest, AutoResetSignalWakesExactlyOneOfTwoWaiters) {
  Event ev(Event::kAutoReset);
  std::atomic<int> nWoken{0};
  auto waiter = [&] {
    if (ev.Wait(300)) {
      ++nWoken;
    }
  };
  std::thread a(waiter);
  std::thread b(waiter);
  std::this_thread::sleep_for(Ms(30));
  ev.Set();
  a.join();
  b.join();
  EXPECT_EQ(nWoken.load(), 1);
}

TEST(WaitForAnyTest, AnswersLowestSignalledIndexAndConsumesOnlyIt) {
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
  EXPECT_EQ(WaitForAny({&stop, &data}, 0), 1);  // data was not consumed meanwhile
}

TEST(WaitForAnyTest, SkipsNullEntries) {
  Event ev(Event::kAutoReset);
  ev.Set();
  EXPECT_EQ(WaitForAny({nullptr, &ev}, 0), 1);
  EXPECT_EQ(WaitForAny({nullptr, nullptr}, 10), kWaitTimeout);
}

TEST(WaitForAnyTest, HandlesMoreEventsThanTheInlineList) {
  std::vector<std::unique_ptr<Event>> evs;
  for (int i = 0; i < 10; ++i) {
    evs.push_back(std::make_unique<Event>(Event::kAutoReset));
  }
  evs[9]->Set();
  auto* e = evs.data();
  EXPECT_EQ(WaitForAny({e[0].get(), e[1].get(), e[2].get(), e[3].get(), e[4].get(), e[5].get(),
                        e[6].get(), e[7].get(), e[8].get(), e[9].get()},
                       0),
            9);
}

namespace {
void NoOpHandler(int) {}
}  // namespace

TEST(WaitForAnyTest, SignalInterruptionKeepsTheRemainingTimeOut) {
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = NoOpHandler;  // no SA_RESTART: poll returns EINTR
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  Event ev(Event::kAutoReset);
  std::atomic<bool> bDone{false};
  pthread_t waiter_id{};
  std::atomic<bool> bStarted{false};
  int nResult = 0;
  long nElapsed = 0;
  std::thread waiter([&] {
    waiter_id = pthread_self();
    bStarted = true;
    auto start = SteadyClock::now();
    nResult = WaitForAny({&ev}, 200);
    nElapsed = ElapsedMs(start);
    bDone = true;
  });
  while (!bStarted) {
    std::this_thread::sleep_for(Ms(1));
  }
  for (int i = 0; i < 5 && !bDone; ++i) {
    std::this_thread::sleep_for(Ms(20));
    if (!bDone) {
      pthread_kill(waiter_id, SIGUSR1);
    }
  }
  waiter.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(nResult, kWaitTimeout);
  // Neither cut short by the signals nor restarted from scratch after each.
  EXPECT_GE(nElapsed, 199);
  EXPECT_LT(nElapsed, 2000);
}

TEST(WaitForAnyTest, InterruptedInfiniteWaitStillWakesOnSet) {
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = NoOpHandler;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);

  Event stop(Event::kManualReset);
  std::atomic<bool> bStarted{false};
  pthread_t waiter_id{};
  int nResult = kWaitTimeout;
  std::thread waiter([&] {
    waiter_id = pthread_self();
    bStarted = true;
    nResult = WaitForAny({&stop}, kInfinite);
  });
  while (!bStarted) {
    std::this_thread::sleep_for(Ms(1));
  }
  std::this_thread::sleep_for(Ms(20));
  pthread_kill(waiter_id, SIGUSR2);
  std::this_thread::sleep_for(Ms(20));
  stop.Set();
  waiter.join();
  sigaction(SIGUSR2, &old, nullptr);
  EXPECT_EQ(nResult, 0);
}

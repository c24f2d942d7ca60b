#include "platform/Event.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
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

TEST(EventTest, ManualResetStaysSetAndAutoResetLetsOneWaitThrough) {
  Event manual(Event::kManualReset);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.TryConsume());
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.TryConsume());
  Event automatic(Event::kAutoReset);
  automatic.Set();
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));  // many sets, one wait
  EXPECT_FALSE(automatic.Wait(0));
  automatic.Set();
  automatic.Reset();  // clears the pending signal
  EXPECT_FALSE(automatic.TryConsume());
  Event initially(Event::kAutoReset, true);
  EXPECT_TRUE(initially.Wait(0));
  EXPECT_FALSE(initially.Wait(0));
}

TEST(EventTest, WaitTimesOutAndASetWakesExactlyOneOfTwoWaiters) {
  Event ev(Event::kAutoReset);
  auto start = SteadyClock::now();
  EXPECT_FALSE(ev.Wait(60));
  EXPECT_GE(ElapsedMs(start), 59);
  std::atomic<int> nWoken{0};
  auto waiter = [&] { nWoken += ev.Wait(300) ? 1 : 0; };
  std::thread a(waiter), b(waiter);
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
  EXPECT_EQ(WaitForAny({nullptr, &data}, 0), 1);  // data was not consumed meanwhile; null skipped
  EXPECT_EQ(WaitForAny({nullptr, nullptr}, 10), kWaitTimeout);
  std::vector<std::unique_ptr<Event>> evs;
  std::vector<Event*> list;
  for (int i = 0; i < 10; ++i)
    list.push_back((evs.emplace_back(new Event(Event::kAutoReset))).get());
  evs[9]->Set();
  EXPECT_EQ(WaitForAny({list[0], list[1], list[2], list[3], list[4], list[5], list[6], list[7],
                        list[8], list[9]},
                       0),
            9);
}

void NoOpHandler(int) {}

// Waits in another thread while signals without SA_RESTART hit it, so that
// poll returns EINTR; answers the wait's result and how long it took.
std::pair<int, long> WaitInterrupted(int nSignal, Event& ev, int nTimeout,
                                     const std::function<void(pthread_t)>& poke) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = NoOpHandler;
  sigemptyset(&sa.sa_mask);
  EXPECT_EQ(sigaction(nSignal, &sa, &old), 0);
  std::atomic<bool> bStarted{false};
  std::pair<int, long> result;
  std::thread waiter([&] {
    bStarted = true;
    auto start = SteadyClock::now();
    result.first = WaitForAny({&ev}, nTimeout);
    result.second = ElapsedMs(start);
  });
  while (!bStarted) std::this_thread::sleep_for(Ms(1));
  poke(waiter.native_handle());
  waiter.join();
  sigaction(nSignal, &old, nullptr);
  return result;
}

TEST(WaitForAnyTest, SignalInterruptionKeepsTheRemainingTimeOutAndTheWakeUp) {
  Event ev(Event::kAutoReset);
  auto [nResult, nElapsed] = WaitInterrupted(SIGUSR1, ev, 200, [](pthread_t t) {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(Ms(20));
      pthread_kill(t, SIGUSR1);
    }
  });
  EXPECT_EQ(nResult, kWaitTimeout);
  // Neither cut short by the signals nor restarted from scratch after each.
  EXPECT_GE(nElapsed, 199);
  EXPECT_LT(nElapsed, 2000);

  Event stop(Event::kManualReset);
  auto [nWoken, _] = WaitInterrupted(SIGUSR2, stop, kInfinite, [&](pthread_t t) {
    std::this_thread::sleep_for(Ms(20));
    pthread_kill(t, SIGUSR2);
    std::this_thread::sleep_for(Ms(20));
    stop.Set();
  });
  EXPECT_EQ(nWoken, 0);
}

}  // namespace

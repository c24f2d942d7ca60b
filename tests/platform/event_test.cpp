#include "platform/Event.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <chrono>
#include <functional>
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

TEST(EventTest, ManualResetStaysSetAndAutoResetLetsOneWaitThrough) {
  Event manual(Event::kManualReset);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
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

TEST(EventTest, WaitTimesOutOrWakesOnSetFromAnotherThread) {
  Event ev(Event::kAutoReset);
  auto start = SteadyClock::now();
  EXPECT_FALSE(ev.Wait(60));
  EXPECT_GE(ElapsedMs(start), 59);
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
    if (ev.Wait(300)) ++nWoken;
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

TEST(WaitForAnyTest, SkipsNullEntriesAndHandlesLongLists) {
  Event ev(Event::kAutoReset);
  ev.Set();
  EXPECT_EQ(WaitForAny({nullptr, &ev}, 0), 1);
  EXPECT_EQ(WaitForAny({nullptr, nullptr}, 10), kWaitTimeout);
  std::vector<std::unique_ptr<Event>> evs;
  for (int i = 0; i < 10; ++i) evs.push_back(std::make_unique<Event>(Event::kAutoReset));
  evs[9]->Set();
  auto* e = evs.data();
  EXPECT_EQ(WaitForAny({e[0].get(), e[1].get(), e[2].get(), e[3].get(), e[4].get(), e[5].get(),
                        e[6].get(), e[7].get(), e[8].get(), e[9].get()}, 0),
            9);
}

namespace {
void NoOpHandler(int) {}

// Installs a handler without SA_RESTART, so poll returns EINTR, and starts a waiter thread.
struct InterruptedWaiter {
  InterruptedWaiter(int nSignal, std::function<int()> wait) : nSignal_(nSignal) {
    struct sigaction sa {};
    sa.sa_handler = NoOpHandler;
    sigemptyset(&sa.sa_mask);
    EXPECT_EQ(sigaction(nSignal, &sa, &old_), 0);
    thread_ = std::thread([this, wait] {
      id_ = pthread_self();
      bStarted = true;
      auto start = SteadyClock::now();
      nResult = wait();
      nElapsed = ElapsedMs(start);
      bDone = true;
    });
    while (!bStarted) std::this_thread::sleep_for(Ms(1));
  }
  void Interrupt() { pthread_kill(id_, nSignal_); }
  void Join() {
    thread_.join();
    sigaction(nSignal_, &old_, nullptr);
  }
  int nSignal_;
  struct sigaction old_ {};
  std::thread thread_;
  pthread_t id_{};
  std::atomic<bool> bStarted{false};
  std::atomic<bool> bDone{false};
  int nResult = -99;
  long nElapsed = 0;
};
}  // namespace

TEST(WaitForAnyTest, SignalInterruptionKeepsTheRemainingTimeOut) {
  Event ev(Event::kAutoReset);
  InterruptedWaiter waiter(SIGUSR1, [&] { return WaitForAny({&ev}, 200); });
  for (int i = 0; i < 5 && !waiter.bDone; ++i) {
    std::this_thread::sleep_for(Ms(20));
    if (!waiter.bDone) waiter.Interrupt();
  }
  waiter.Join();
  EXPECT_EQ(waiter.nResult, kWaitTimeout);
  // Neither cut short by the signals nor restarted from scratch after each.
  EXPECT_GE(waiter.nElapsed, 199);
  EXPECT_LT(waiter.nElapsed, 2000);
}

TEST(WaitForAnyTest, InterruptedInfiniteWaitStillWakesOnSet) {
  Event stop(Event::kManualReset);
  InterruptedWaiter waiter(SIGUSR2, [&] { return WaitForAny({&stop}, kInfinite); });
  std::this_thread::sleep_for(Ms(20));
  waiter.Interrupt();
  std::this_thread::sleep_for(Ms(20));
  stop.Set();
  waiter.Join();
  EXPECT_EQ(waiter.nResult, 0);
}

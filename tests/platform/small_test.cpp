// The small platform services: events and free space.
#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

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

// CPU time of the calling thread so far: a wait must sleep, not spin.
std::chrono::milliseconds ThreadCpu() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::chrono::milliseconds(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
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
  auto cpuStart = ThreadCpu();
  EXPECT_EQ(WaitForAny({nullptr, &data}, 60), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(59));
  EXPECT_LT(ThreadCpu() - cpuStart, std::chrono::milliseconds(30));
  std::atomic<int> nWoken{0};  // one set wakes exactly one of two waiters
  auto waiter = [&] { nWoken += data.Wait(300) ? 1 : 0; };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  data.Set();
  a.join();
  b.join();
  EXPECT_EQ(nWoken.load(), 1);
}

// Two threads hand a turn back and forth, each waiting on a stop event too:
// a set that came between a waiter's look and its sleep and was lost would
// leave both waiting until the time-out.
TEST(EventTest, EverySetWakesAThreadWaitingOnSeveralEvents) {
  Event stop(Event::kManualReset), ping(Event::kAutoReset), pong(Event::kAutoReset);
  constexpr int kRounds = 5000;
  std::atomic<int> nMissed{0};
  // A set that woke nobody is seen only when the wait's time is up; the
  // first one stops both threads.
  auto wake = [&](Event& mine) {
    auto start = std::chrono::steady_clock::now();
    if (WaitForAny({&stop, &mine}, 2000) != 1 ||
        std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) {
      ++nMissed;
      stop.Set();
    }
  };
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      wake(ping);
      pong.Set();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    wake(pong);
  }
  other.join();
  EXPECT_EQ(nMissed.load(), 0);
  // A set of an event several threads wait on wakes them all; a wait
  // without limit sleeps too.
  std::atomic<int> nStopped{0};
  std::atomic<int> nSpun{0};
  std::vector<std::thread> waiters;
  for (int nTimeoutMs : {2000, 2000, kInfinite}) {
    waiters.emplace_back([&, nTimeoutMs] {
      auto cpuStart = ThreadCpu();
      nStopped += WaitForAny({&ping, &stop}, nTimeoutMs) == 1 ? 1 : 0;
      nSpun += ThreadCpu() - cpuStart >= std::chrono::milliseconds(50) ? 1 : 0;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop.Set();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(nStopped.load(), 3);
  EXPECT_EQ(nSpun.load(), 0);
}

TEST(EventTest, APollableEventIsReadableExactlyWhileSet) {
  Event brk(Event::kManualReset, false, Event::Poll::kYes);
  auto readable = [&] {
    pollfd pfd{brk.fd(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN);
  };
  EXPECT_FALSE(readable());
  brk.Set();
  brk.Set();
  EXPECT_TRUE(readable());
  EXPECT_TRUE(brk.TryConsume());
  EXPECT_TRUE(readable());  // manual-reset: stays set
  brk.Reset();
  EXPECT_FALSE(readable());
  EXPECT_FALSE(brk.TryConsume());
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    brk.Set();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(brk.Wait(2000));  // its waiters are woken as any event's
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  setter.join();
  EXPECT_EQ(Event(Event::kAutoReset).fd(), -1);
  EXPECT_THROW(Event(Event::kAutoReset, false, Event::Poll::kYes), std::invalid_argument);
}

}  // namespace

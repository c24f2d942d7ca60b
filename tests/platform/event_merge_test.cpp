// A Set on an event that is already set makes no system call; these races
// check that no wake-up is lost to that: a producer publishes a counter and
// sets the event, a consumer that finds the counter short waits, and a lost
// wake-up shows as a wait that times out.
#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using poshark::platform::Event;

void Race(Event::Kind kind) {
  constexpr int kRounds = 20000;
  Event event(kind);
  std::atomic<int> nPublished{0};
  std::thread producer([&] {
    for (int i = 1; i <= kRounds; ++i) {
      nPublished.store(i, std::memory_order_relaxed);
      event.Set();
      if (i % 64 == 0) std::this_thread::yield();  // let the consumer fall asleep at times
    }
  });
  int nWaits = 0;
  bool bLost = false;
  for (;;) {
    if (kind == Event::kManualReset) event.Reset();  // before looking, as a consumer must
    if (nPublished.load(std::memory_order_relaxed) == kRounds) break;
    ++nWaits;
    if (!event.Wait(5000)) {
      bLost = true;
      break;
    }
  }
  producer.join();
  EXPECT_FALSE(bLost) << "a wait timed out with " << nPublished.load() << " of " << kRounds
                      << " published, after " << nWaits << " waits";
}

TEST(EventMerge, AutoResetLosesNoWakeUpUnderRacingSets) { Race(Event::kAutoReset); }

TEST(EventMerge, ManualResetLosesNoWakeUpUnderRacingSetsAndResets) { Race(Event::kManualReset); }

TEST(EventMerge, SetsMergedIntoOneSignalLetOneWaitThrough) {
  Event automatic(Event::kAutoReset);
  automatic.Set();
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  automatic.Set();  // set again after the signal was taken
  EXPECT_TRUE(automatic.Wait(0));

  Event manual(Event::kManualReset, true);
  manual.Set();
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();  // set again after a reset
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
}

}  // namespace

// Transaction state of a command set: events of completed commands, the
// automatic start and the idle stop.
#include "commands/PluginTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

class TransactionTest : public ::testing::Test {
 protected:
  poshark_test::WorkFolder work_;
};

TEST_F(TransactionTest, CommandKeywordsAndTheAutomaticStartGiveEventsInOrder) {
  struct Step {
    std::string command;      // one whole command, or empty for none
    std::vector<int> events;  // TakeTranEvent answers after it
    int closed;               // bTranClosed after it, -1: not looked at
  };
  const struct {
    const char* singles;
    std::vector<Step> steps;
  } cases[] = {
      // No start command: the first event opens once until the next stop.
      {"2\n[Single-Command]\n1=1,A,1,1\n2=1,S,1,1,0,TRAN_STOP\n",
       {{"", {TRAN_START, TRAN_NONE}, 0}, {"A", {TRAN_NONE}, 0}, {"S", {TRAN_STOP}, 1}}},
      // Start commands open; a void does not.
      {"3\n[Single-Command]\n1=1,B,1,1,0,TRAN_START\n2=1,S,1,1,0,TRAN_STOP\n3=1,V,1,1,0,TRAN_"
       "VOID\n",
       {{"V", {TRAN_VOID}, 1}, {"B", {TRAN_START}, 0}, {"S", {TRAN_STOP}, 1}}},
      // The automatic start comes before the first command's own keyword.
      {"1\n[Single-Command]\n1=1,V,1,1,0,TRAN_VOID\n", {{"V", {TRAN_START, TRAN_VOID}, -1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.singles);
    auto set = work_.LoadSet(std::string("[Main]\nS-Num=") + c.singles);
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.command);
      std::string copy = step.command;
      int len = static_cast<int>(copy.size());
      if (len > 0) {
        ASSERT_EQ(set->MatchCommand(reinterpret_cast<unsigned char*>(copy.data()), len), CMD_DONE);
      }
      for (int event : step.events) EXPECT_EQ(set->TakeTranEvent(), event);
      if (step.closed >= 0) {
        EXPECT_EQ(set->bTranClosed, step.closed == 1);
      }
    }
  }
}

TEST_F(TransactionTest, IdleTickClosesAfterWaitTimeSecondsOnce) {
  auto set = work_.LoadSet("[STOP_EVENT]\nWaitTime=3\n");
  EXPECT_FALSE(set->IdleTick());  // closed: nothing to stop
  ASSERT_TRUE(set->TakeAutoStart());
  std::string ticks;
  for (int i = 0; i < 8; ++i) {
    if (i == 2) set->ResetIdle();  // data arrived
    ticks += set->IdleTick() ? 'S' : '.';
  }
  EXPECT_EQ(ticks, "....S...");
  EXPECT_TRUE(set->bTranClosed);
  // The next text opens a new transaction.
  EXPECT_TRUE(set->TakeAutoStart());
}

// The idle stop thread and the analyzer race on the same transaction: it is
// opened once per close and closed once per open, whoever gets there first.
TEST_F(TransactionTest, IdleStopAndAnalyzerNeverBothCloseOneTransaction) {
  auto set = work_.LoadSet("[STOP_EVENT]\nWaitTime=1\n");
  std::atomic<bool> run{true};
  std::atomic<int> idle_closes{0};
  std::thread idle([&] {
    while (run)
      if (set->IdleTick()) ++idle_closes;
  });
  int opens = 0;
  for (int i = 0; i < 20000; ++i) {
    if (set->TakeAutoStart()) ++opens;
    set->ResetIdle();
  }
  run = false;
  idle.join();
  // Every close reopened at most once; the last open may still be open.
  bool open_now = !set->bTranClosed;
  EXPECT_EQ(opens, idle_closes + (open_now ? 1 : 0));
}

}  // namespace

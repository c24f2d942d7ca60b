// Transaction state of a command set: events of completed commands, the
// automatic start and the idle stop.
#include "commands/CmdSetFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using poshark::test::LoadSet;
using poshark::test::TempDir;

namespace {

class TransactionTest : public ::testing::Test {
 protected:
  // Runs MatchCommand over bytes that hold exactly one command.
  static void Complete(RCCmdSet& set, const std::string& bytes) {
    std::string copy = bytes;
    int len = static_cast<int>(copy.size());
    int r = set.MatchCommand(reinterpret_cast<unsigned char*>(copy.data()), len);
    ASSERT_TRUE(r == CMD_DONE || r == CMD_MARKER) << r;
  }
  TempDir dir_;
};

TEST_F(TransactionTest, AutomaticStartOpensOnceUntilTheNextStop) {
  auto set = LoadSet(dir_, "[Main]\nS-Num=2\n[Single-Command]\n1=1,A,1,1\n2=1,S,1,1,0,TRAN_STOP\n");
  EXPECT_EQ(set->TakeTranEvent(), TRAN_START);  // no command yet, transaction closed
  EXPECT_FALSE(set->bTranClosed);
  EXPECT_EQ(set->TakeTranEvent(), TRAN_NONE);   // still no command
  Complete(*set, "A");
  EXPECT_EQ(set->TakeTranEvent(), TRAN_NONE);
  EXPECT_FALSE(set->TakeAutoStart());  // already open
  Complete(*set, "S");
  EXPECT_EQ(set->TakeTranEvent(), TRAN_STOP);
  EXPECT_TRUE(set->bTranClosed);
  EXPECT_TRUE(set->bAutoStart);  // this set has no start command
  EXPECT_TRUE(set->TakeAutoStart());
  EXPECT_FALSE(set->TakeAutoStart());
}

TEST_F(TransactionTest, StartCommandsOpenAndTheStopWinsOverTheAutomaticStart) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=3\n[Single-Command]\n1=1,B,1,1,0,TRAN_START\n"
                     "2=1,S,1,1,0,TRAN_STOP\n3=1,V,1,1,0,TRAN_VOID\n");
  EXPECT_FALSE(set->bAutoStart);
  EXPECT_FALSE(set->TakeAutoStart());
  Complete(*set, "V");
  EXPECT_EQ(set->TakeTranEvent(), TRAN_VOID);
  EXPECT_TRUE(set->bTranClosed);  // a void does not open
  Complete(*set, "B");
  EXPECT_EQ(set->TakeTranEvent(), TRAN_START);
  EXPECT_FALSE(set->bTranClosed);
  Complete(*set, "S");
  EXPECT_EQ(set->TakeTranEvent(), TRAN_STOP);
  EXPECT_TRUE(set->bTranClosed);
}

TEST_F(TransactionTest, AutomaticStartReplacesTheKeywordOfTheFirstCommand) {
  auto s = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=1,V,1,1,0,TRAN_VOID\n");
  Complete(*s, "V");
  EXPECT_EQ(s->TakeTranEvent(), TRAN_START);
  EXPECT_EQ(s->TakeTranEvent(), TRAN_VOID);
}

TEST_F(TransactionTest, IdleTickClosesAfterWaitTimeSecondsOnce) {
  auto set = LoadSet(dir_, "[STOP_EVENT]\nWaitTime=3\n");
  EXPECT_FALSE(set->IdleTick());  // closed: nothing to stop
  EXPECT_EQ(set->nIdleCount, 0);
  ASSERT_TRUE(set->TakeAutoStart());
  EXPECT_FALSE(set->IdleTick());
  EXPECT_FALSE(set->IdleTick());
  set->ResetIdle();  // data arrived
  EXPECT_FALSE(set->IdleTick());
  EXPECT_FALSE(set->IdleTick());
  EXPECT_TRUE(set->IdleTick());
  EXPECT_EQ(set->nIdleCount, 0);
  EXPECT_TRUE(set->bTranClosed);
  EXPECT_FALSE(set->IdleTick());
  EXPECT_FALSE(set->IdleTick());
  EXPECT_FALSE(set->IdleTick());
  // The next text opens a new transaction.
  EXPECT_TRUE(set->TakeAutoStart());
}

// The idle stop thread and the analyzer race on the same transaction: it is
// opened once per close and closed once per open, whoever gets there first.
TEST_F(TransactionTest, IdleStopAndAnalyzerNeverBothCloseOneTransaction) {
  auto set = LoadSet(dir_, "[STOP_EVENT]\nWaitTime=1\n");
  std::atomic<bool> run{true};
  std::atomic<int> idle_closes{0};
  std::thread idle([&] {
    while (run) {
      if (set->IdleTick()) ++idle_closes;
    }
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

// Lifecycle of RCPosHark: the worker threads ListenStart, ListenStop,
// KeyStop, KeyStart and the destructor start and end, counted by name as the
// kernel lists them.
#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "commands/RCCmdSet.h"
#include "listener/ListenerKit.h"
#include "listener/TestAccess.h"

namespace {

using Access = RCPosHarkTestAccess;

std::mutex g_lock;
std::vector<uint32_t> g_codes;  // GUARDED_BY(g_lock)

unsigned short CollectCode(int, uint32_t dwCode) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_codes.push_back(dwCode);
  return 0;
}

std::vector<uint32_t> Codes() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_codes;
}

std::string Name(int nPOSNo, const char* pszRole) {
  return "pos" + std::to_string(nPOSNo) + "." + pszRole;
}

// Analyzer, writer and idle stop thread once their count settles at nWant
// each (the port resume watcher is counted on its own).
bool WorkersSettleAt(int nPOSNo, int nWant) {
  bool bOk = true;
  for (const char* pszRole : {"analyze", "write", "idle"}) {
    bOk = kit::SettledThreads(Name(nPOSNo, pszRole), nWant) == nWant && bOk;
  }
  return bOk;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::Sink::Get().Reset();
    std::lock_guard<std::mutex> guard(g_lock);
    g_codes.clear();
  }

  // A listener with an empty command set selected, the idle stop as asked.
  static std::unique_ptr<RCPosHark> MakeListener(int nPOSNo, bool bIdleStop) {
    auto l = std::make_unique<RCPosHark>(nPOSNo);
    auto set = std::make_unique<RCCmdSet>();
    set->bStopEvent = bIdleStop;
    Access::SetCmdSet(*l, std::move(set));
    l->SetGateOpenTime(0);
    l->SetErrFt(CollectCode);
    return l;
  }
  static bool Delivers(RCPosHark& l, const std::string& token) {
    kit::Feed(l, token + "\n");
    return kit::Sink::Get().WaitForToken(token);
  }

  kit::Home home_;  // no settings, no trace, no command-set files
};

TEST_F(LifecycleTest, ListenStartStartsOneOfEachWorkerOnlyWithACommandSet) {
  struct Case {
    int nPOSNo;
    bool bSet;
    bool bIdleStop;
  };
  for (const Case& c : {Case{41, true, true}, Case{42, true, false}, Case{43, false, false}}) {
    SCOPED_TRACE(c.nPOSNo);
    kit::Sink::Get().Reset();
    auto l = c.bSet ? MakeListener(c.nPOSNo, c.bIdleStop) : std::make_unique<RCPosHark>(c.nPOSNo);
    l->ListenStart(kit::Sink::Callback, true);
    l->ListenStart(kit::Sink::Callback, true);  // a second start leaves one of each
    int nWant = c.bSet ? 1 : 0;
    EXPECT_EQ(kit::SettledThreads(Name(c.nPOSNo, "analyze"), nWant), nWant);
    EXPECT_EQ(kit::SettledThreads(Name(c.nPOSNo, "write"), nWant), nWant);
    EXPECT_EQ(kit::SettledThreads(Name(c.nPOSNo, "idle"), c.bIdleStop), c.bIdleStop);
    EXPECT_EQ(kit::Threads(Name(c.nPOSNo, "read")), 0) << "host feed: no serial reader";
    EXPECT_EQ(Access::Started(*l), c.bSet);
    if (c.bSet) {
      ASSERT_TRUE(Delivers(*l, "first line"));
      EXPECT_EQ(kit::Sink::Get().Lines().back().nPOSNo, c.nPOSNo);
    } else {
      kit::Feed(*l, "dropped\n");
      EXPECT_EQ(Access::AnalyzeQueue(*l).GetCount(), 0);
    }
  }
}

TEST_F(LifecycleTest, ListenStopEndsTheWorkersAndTheNextStartDropsWhatWasHeld) {
  auto l = MakeListener(44, true);
  l->ListenStart(kit::Sink::Callback, true);
  l->ListenStop();
  EXPECT_TRUE(WorkersSettleAt(44, 0));
  EXPECT_FALSE(Access::Started(*l));
  EXPECT_FALSE(Access::Running(*l));
  EXPECT_FALSE(Access::GateOpen(*l));
  kit::Feed(*l, "held\n");
  EXPECT_EQ(Access::AnalyzeQueue(*l).GetCount(), 1) << "bytes given while stopped wait";
  l->ListenStart(kit::Sink::Callback, true);
  EXPECT_EQ(Access::AnalyzeQueue(*l).GetCount(), 0);
  ASSERT_TRUE(Delivers(*l, "again"));
  EXPECT_EQ(kit::Sink::Get().Count("held"), 0);
}

TEST_F(LifecycleTest, KeyStopAndKeyStartReportEachCallAndResumeInTheModeOfTheLastStart) {
  auto l = MakeListener(45, true);
  l->KeyStart();  // never started: only reports
  EXPECT_TRUE(WorkersSettleAt(45, 0));
  EXPECT_EQ(kit::Threads(Name(45, "resume")), 0);
  l->ListenStart(kit::Sink::Callback, true);
  l->KeyStart();  // running: only reports
  EXPECT_EQ(kit::SettledThreads(Name(45, "analyze"), 1), 1);
  l->KeyStop();
  l->KeyStop();
  EXPECT_TRUE(WorkersSettleAt(45, 0));
  EXPECT_TRUE(Access::Started(*l));
  EXPECT_FALSE(Access::Running(*l));
  l->KeyStart();
  EXPECT_EQ(Codes(), (std::vector<uint32_t>{2, 2, 1, 1, 2}));
  EXPECT_TRUE(Access::Running(*l));
  EXPECT_TRUE(Access::HostFeed(*l));
  EXPECT_EQ(kit::SettledThreads(Name(45, "write"), 1), 1);
  EXPECT_EQ(kit::Threads(Name(45, "read")), 0) << "resumed as a host feed, not a serial reader";
  EXPECT_TRUE(Delivers(*l, "resumed"));
}

TEST_F(LifecycleTest, DestructorEndsEveryThreadWithoutCuttingTheWatcherShort) {
  kit::DebugCapture debug;
  int nBefore = kit::QuietThreadCount();
  {
    RCPosHark never(49);
    RCPosHark unnumbered;
    EXPECT_EQ(kit::Threads(), nBefore);
  }
  EXPECT_EQ(kit::SettledThreads("", nBefore), nBefore);
  {
    auto l = MakeListener(50, true);
    l->ListenStart(kit::Sink::Callback, true);
    ASSERT_TRUE(Delivers(*l, "x"));
  }
  EXPECT_EQ(kit::SettledThreads("pos50.", 0), 0);
  EXPECT_EQ(kit::SettledThreads("", nBefore), nBefore);
  EXPECT_EQ(debug.Count("USB Trace:~RCPosHark out\n"), 3) << "each destructor ran to its end";
  EXPECT_EQ(debug.Count("USB Trace:Wait USBResumeThread stop Time out"), 0)
      << "the watcher ended inside its bound";
}

TEST_F(LifecycleTest, ListenStopThenListenStartKeepsExactlyOneWatcher) {
  auto l = MakeListener(55, false);
  l->ListenStart(kit::Sink::Callback, true);
  if (kit::SettledThreads(Name(55, "resume"), 1) != 1) {
    GTEST_SKIP() << "the port resume watcher ends at once in this build";
  }
  for (int i = 0; i < 5; ++i) {
    l->ListenStop();
    l->ListenStart(kit::Sink::Callback, true);
  }
  EXPECT_EQ(kit::SettledThreads(Name(55, "resume"), 1), 1);
  // Held for longer than a watcher's longest sleep: still exactly one.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(kit::Threads(Name(55, "resume")), 1);
  EXPECT_TRUE(Access::HasResumeThread(*l));
}

}  // namespace

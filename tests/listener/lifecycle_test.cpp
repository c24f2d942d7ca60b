// Lifecycle of RCPosHark: threads started and stopped by ListenStart,
// ListenStop, KeyStop, KeyStart and the destructor, counted as the kernel
// lists them.
#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "commands/RCCmdSet.h"
#include "listener/ProcThreads.h"
#include "listener/TestAccess.h"
#include "platform/Debug.h"

namespace {

struct Line {
  std::string text;
  int nPOSNo;
  int nEvent;
};

std::mutex g_lock;
std::vector<Line> g_lines;          // GUARDED_BY(g_lock)
std::vector<uint32_t> g_errCodes;   // GUARDED_BY(g_lock)

unsigned short CollectLine(char* pszText, SYSTEMTIME*, bool, int nPOSNo, int nEvent, char*) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_lines.push_back({pszText, nPOSNo, nEvent});
  return 0;
}

unsigned short CollectErr(int, uint32_t dwCode) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_errCodes.push_back(dwCode);
  return 0;
}

std::vector<Line> Lines() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_lines;
}

std::vector<uint32_t> ErrCodes() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_errCodes;
}

bool GotLineContaining(const std::string& s) {
  for (const Line& l : Lines()) {
    if (l.text.find(s) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string Name(int nPOSNo, const char* pszRole) {
  return "pos" + std::to_string(nPOSNo) + "." + pszRole;
}

void Feed(RCPosHark& l, const std::string& s) {
  std::string copy = s;
  l.GotData(static_cast<int>(copy.size()), reinterpret_cast<unsigned char*>(copy.data()));
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> guard(g_lock);
      g_lines.clear();
      g_errCodes.clear();
    }
    // An empty home and work folder: no settings, no trace, no command sets.
    dir_ = std::filesystem::temp_directory_path() /
           ("poshark_life_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    setenv("POSHARK_HOME", dir_.c_str(), 1);
    setenv("POSHARK_WORKDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    poshark::platform::SetDebugSink(nullptr);
    std::filesystem::remove_all(dir_);
  }

  // A listener with an empty command set selected; the idle stop switch as asked.
  static std::unique_ptr<RCPosHark> MakeListener(int nPOSNo, bool bIdleStop) {
    auto l = std::make_unique<RCPosHark>(nPOSNo);
    auto set = std::make_unique<RCCmdSet>();
    set->bStopEvent = bIdleStop;
    RCPosHarkTestAccess::SetCmdSet(*l, std::move(set));
    l->SetGateOpenTime(0);
    l->SetErrFt(CollectErr);
    return l;
  }

  std::filesystem::path dir_;
};

}  // namespace

TEST_F(LifecycleTest, SecondListenStartLeavesOneOfEachWorkerAndAllProcessNewData) {
  auto l = MakeListener(41, true);
  l->ListenStart(CollectLine, true);
  l->ListenStart(CollectLine, true);
  EXPECT_EQ(proc_threads::SettledCount(Name(41, "analyze"), 1), 1);
  EXPECT_EQ(proc_threads::SettledCount(Name(41, "write"), 1), 1);
  EXPECT_EQ(proc_threads::SettledCount(Name(41, "idle"), 1), 1);
  EXPECT_EQ(proc_threads::Count(Name(41, "read")), 0);  // host feed: no serial reader
  EXPECT_LE(proc_threads::Count(Name(41, "resume")), 1);

  Feed(*l, "first line\n");
  EXPECT_TRUE(proc_threads::WaitFor([] { return GotLineContaining("first line"); }));
  for (const Line& line : Lines()) {
    EXPECT_EQ(line.nPOSNo, 41);
  }
  EXPECT_TRUE(RCPosHarkTestAccess::Started(*l));
  EXPECT_TRUE(RCPosHarkTestAccess::Running(*l));
}

TEST_F(LifecycleTest, ListenStartWithoutIdleStopStartsNoIdleThread) {
  auto l = MakeListener(42, false);
  l->ListenStart(CollectLine, true);
  EXPECT_EQ(proc_threads::SettledCount(Name(42, "analyze"), 1), 1);
  EXPECT_EQ(proc_threads::Count(Name(42, "idle")), 0);
}

TEST_F(LifecycleTest, ListenStartWithoutCommandSetStartsNothing) {
  RCPosHark l(43);
  l.ListenStart(CollectLine, true);
  EXPECT_FALSE(RCPosHarkTestAccess::Started(l));
  EXPECT_EQ(proc_threads::Count(Name(43, "analyze")), 0);
  EXPECT_EQ(proc_threads::Count(Name(43, "write")), 0);
  EXPECT_EQ(proc_threads::Count(Name(43, "resume")), 0);
  Feed(l, "dropped\n");  // no crash, nothing queued
  EXPECT_EQ(RCPosHarkTestAccess::AnalyzeQueue(l).GetCount(), 0);
}

TEST_F(LifecycleTest, ListenStopEndsTheWorkersAndKeepsTheQueues) {
  auto l = MakeListener(44, true);
  l->ListenStart(CollectLine, true);
  l->ListenStop();
  EXPECT_EQ(proc_threads::SettledCount(Name(44, "analyze"), 0), 0);
  EXPECT_EQ(proc_threads::SettledCount(Name(44, "write"), 0), 0);
  EXPECT_EQ(proc_threads::SettledCount(Name(44, "idle"), 0), 0);
  EXPECT_FALSE(RCPosHarkTestAccess::Started(*l));
  EXPECT_FALSE(RCPosHarkTestAccess::Running(*l));
  EXPECT_FALSE(RCPosHarkTestAccess::GateOpen(*l));
  // Bytes given while stopped wait in the queue until the next start clears it.
  Feed(*l, "held\n");
  EXPECT_EQ(RCPosHarkTestAccess::AnalyzeQueue(*l).GetCount(), 1);
  l->ListenStart(CollectLine, true);
  EXPECT_EQ(RCPosHarkTestAccess::AnalyzeQueue(*l).GetCount(), 0);
  Feed(*l, "again\n");
  EXPECT_TRUE(proc_threads::WaitFor([] { return GotLineContaining("again"); }));
  EXPECT_FALSE(GotLineContaining("held"));
}

TEST_F(LifecycleTest, KeyStopTwiceReportsTwiceButStopsOnce) {
  auto l = MakeListener(45, true);
  l->ListenStart(CollectLine, true);
  l->KeyStop();
  l->KeyStop();
  EXPECT_EQ(ErrCodes(), (std::vector<uint32_t>{1, 1}));
  EXPECT_EQ(proc_threads::SettledCount(Name(45, "analyze"), 0), 0);
  EXPECT_EQ(proc_threads::SettledCount(Name(45, "write"), 0), 0);
  EXPECT_EQ(proc_threads::SettledCount(Name(45, "idle"), 0), 0);
  EXPECT_TRUE(RCPosHarkTestAccess::Started(*l));
  EXPECT_FALSE(RCPosHarkTestAccess::Running(*l));
}

TEST_F(LifecycleTest, KeyStartWithoutListenStartOnlyReports) {
  auto l = MakeListener(46, true);
  l->KeyStart();
  EXPECT_EQ(ErrCodes(), (std::vector<uint32_t>{2}));
  EXPECT_FALSE(RCPosHarkTestAccess::Started(*l));
  EXPECT_EQ(proc_threads::Count(Name(46, "analyze")), 0);
  EXPECT_EQ(proc_threads::Count(Name(46, "resume")), 0);
}

TEST_F(LifecycleTest, KeyStartResumesAHostFedListenerInHostFeedMode) {
  auto l = MakeListener(47, false);
  l->ListenStart(CollectLine, true);
  l->KeyStop();
  l->KeyStart();
  EXPECT_EQ(ErrCodes(), (std::vector<uint32_t>{1, 2}));
  EXPECT_TRUE(RCPosHarkTestAccess::Running(*l));
  EXPECT_TRUE(RCPosHarkTestAccess::HostFeed(*l));
  EXPECT_EQ(proc_threads::SettledCount(Name(47, "analyze"), 1), 1);
  EXPECT_EQ(proc_threads::SettledCount(Name(47, "write"), 1), 1);
  EXPECT_EQ(proc_threads::Count(Name(47, "read")), 0);
  Feed(*l, "resumed\n");
  EXPECT_TRUE(proc_threads::WaitFor([] { return GotLineContaining("resumed"); }));
}

TEST_F(LifecycleTest, KeyStartWhileRunningOnlyReports) {
  auto l = MakeListener(48, false);
  l->ListenStart(CollectLine, true);
  l->KeyStart();
  EXPECT_EQ(ErrCodes(), (std::vector<uint32_t>{2}));
  EXPECT_EQ(proc_threads::SettledCount(Name(48, "analyze"), 1), 1);
}

TEST_F(LifecycleTest, DestroyingANeverStartedListenerLeavesNoThread) {
  int nBefore = proc_threads::BaselineCountAll();
  {
    RCPosHark l(49);
    RCPosHark unnumbered;
    EXPECT_EQ(proc_threads::CountAll(), nBefore);
  }
  EXPECT_EQ(proc_threads::SettledCountAll(nBefore), nBefore);
}

TEST_F(LifecycleTest, DestroyingAListeningListenerEndsEveryThreadWithinTheWatcherBound) {
  std::mutex textsLock;
  std::vector<std::string> texts;
  poshark::platform::SetDebugSink([&](const char* psz) {
    std::lock_guard<std::mutex> guard(textsLock);
    texts.emplace_back(psz);
  });
  int nBefore = proc_threads::BaselineCountAll();
  {
    auto l = MakeListener(50, true);
    l->ListenStart(CollectLine, true);
    Feed(*l, "x\n");
    EXPECT_TRUE(proc_threads::WaitFor([] { return proc_threads::Count("pos50.", true) >= 3; }));
  }
  EXPECT_EQ(proc_threads::SettledCount("pos50.", 0, true), 0);
  EXPECT_EQ(proc_threads::SettledCountAll(nBefore), nBefore);
  poshark::platform::SetDebugSink(nullptr);
  std::lock_guard<std::mutex> guard(textsLock);
  auto in = std::find(texts.begin(), texts.end(), "USB Trace:~RCPosHark in\n");
  auto out = std::find(texts.begin(), texts.end(), "USB Trace:~RCPosHark out\n");
  ASSERT_NE(in, texts.end());
  ASSERT_NE(out, texts.end());
  EXPECT_LT(in - texts.begin(), out - texts.begin());
  // The watcher ended inside the 1000 ms bound: the overrun was not reported.
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       std::string("USB Trace:Wait USBResumeThread stop Time out\n")),
            0);
}

TEST_F(LifecycleTest, IdleStopDeliversOneEmptyStopLineAfterTheWaitTime) {
  auto l = MakeListener(51, true);
  RCCmdSet* set = RCPosHarkTestAccess::CmdSet(*l);
  set->nWaitTime = 1;
  set->bTranClosed = false;  // a transaction is open
  l->ListenStart(CollectLine, true);
  ASSERT_TRUE(proc_threads::WaitFor([] { return !Lines().empty(); }));
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "");
  EXPECT_EQ(lines[0].nEvent, 1);
  EXPECT_TRUE(set->bTranClosed.load());
}

TEST_F(LifecycleTest, StopEventThreadPushesNothingWhileTheTransactionIsClosed) {
  auto l = MakeListener(52, true);
  RCCmdSet* set = RCPosHarkTestAccess::CmdSet(*l);
  set->nWaitTime = 1;
  RCPosHarkTestAccess::CreateMyEvent(*l);
  RCPosHarkTestAccess::SetStopEventRun(*l, true);
  std::thread idle([&] { l->StopEventThread(); });
  // An idle tick with the transaction closed push nothing.
  EXPECT_FALSE(RCPosHarkTestAccess::WriteEvent(*l)->Wait(1100));
  EXPECT_EQ(RCPosHarkTestAccess::WriteQueue(*l).GetCount(), 0);
  set->bTranClosed = false;
  ASSERT_TRUE(RCPosHarkTestAccess::WriteEvent(*l)->Wait(5000));
  EXPECT_EQ(RCPosHarkTestAccess::WriteQueue(*l).GetCount(), 1);
  RCPosHarkTestAccess::StopEvent(*l)->Set();
  idle.join();
  EXPECT_FALSE(RCPosHarkTestAccess::StopEventRun(*l));
}

TEST_F(LifecycleTest, WaitAnalyzeAndWaitWriteTellDataFromStop) {
  RCPosHark l(53);
  RCPosHarkTestAccess::CreateMyEvent(l);
  RCPosHarkTestAccess::AnalyzeEvent(l)->Set();
  EXPECT_TRUE(RCPosHarkTestAccess::WaitAnalyze(l));
  RCPosHarkTestAccess::WriteEvent(l)->Set();
  EXPECT_TRUE(RCPosHarkTestAccess::WaitWrite(l));
  RCPosHarkTestAccess::StopEvent(l)->Set();
  RCPosHarkTestAccess::WriteEvent(l)->Set();
  EXPECT_FALSE(RCPosHarkTestAccess::WaitWrite(l));  // stop wins, and stays set
  EXPECT_FALSE(RCPosHarkTestAccess::WaitAnalyze(l));
  // CreateMyEvent on existing events resets them all.
  RCPosHarkTestAccess::CreateMyEvent(l);
  EXPECT_FALSE(RCPosHarkTestAccess::StopEvent(l)->Wait(0));
  EXPECT_FALSE(RCPosHarkTestAccess::WriteEvent(l)->Wait(0));
  RCPosHarkTestAccess::CloseMyEvent(l);
  EXPECT_EQ(RCPosHarkTestAccess::StopEvent(l), nullptr);
}

TEST_F(LifecycleTest, SettersAndQueriesWithAndWithoutCommandSet) {
  RCPosHark l(54);
  EXPECT_FALSE(l.IsGraphMode());
  EXPECT_FALSE(l.IsPOSTextSenderMode());
  EXPECT_FALSE(RCPosHarkTestAccess::GateOpen(l));
  l.SetGateOpenTime(500);
  EXPECT_FALSE(RCPosHarkTestAccess::GateOpen(l));
  l.SetGateOpenTime(0);
  EXPECT_TRUE(RCPosHarkTestAccess::GateOpen(l));
  auto set = std::make_unique<RCCmdSet>();
  set->bGraphMode = true;
  set->bPOSTextSenderMode = true;
  RCPosHarkTestAccess::SetCmdSet(l, std::move(set));
  EXPECT_TRUE(l.IsGraphMode());
  EXPECT_TRUE(l.IsPOSTextSenderMode());
  l.WriteIni();
  l.LoadIni();  // no command-set files in the work folder: nothing selected, no crash
}

TEST_F(LifecycleTest, ListenStopThenListenStartKeepsExactlyOneWatcher) {
  auto l = MakeListener(55, false);
  l->ListenStart(CollectLine, true);
  if (proc_threads::SettledCount(Name(55, "resume"), 1) != 1) {
    GTEST_SKIP() << "the port resume watcher ends at once in this build";
  }
  for (int i = 0; i < 5; ++i) {
    l->ListenStop();
    l->ListenStart(CollectLine, true);
  }
  EXPECT_EQ(proc_threads::SettledCount(Name(55, "resume"), 1), 1);
  // Held for longer than a watcher's longest sleep: still exactly one.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(proc_threads::Count(Name(55, "resume")), 1);
  EXPECT_TRUE(RCPosHarkTestAccess::HasResumeThread(*l));
}

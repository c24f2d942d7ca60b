// The worker threads ListenStart, ListenStop, KeyStop, KeyStart and the
// destructor start and end, counted by the names the kernel lists.
#include <gtest/gtest.h>

#include "listener/ListenerKit.h"

namespace {

using namespace kit;

std::mutex g_lock;
std::vector<uint32_t> g_codes;  // GUARDED_BY(g_lock)

unsigned short CollectCode(int, uint32_t dwCode) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_codes.push_back(dwCode);
  return 0;
}

// Listener 44's analyzer, writer and idle stop thread are all gone.
bool WorkersGone() {
  bool bOk = true;
  for (const char* pszName : {"pos44.analyze", "pos44.write", "pos44.idle"})
    bOk = SettledThreads(pszName, 0) == 0 && bOk;
  return bOk;
}

// KeyStart before any start and while running only reports; ListenStop ends
// the workers, bytes given while stopped wait and the next start drops them;
// KeyStop and KeyStart report each call and resume in the last start's mode.
TEST(LifecycleTest, StopsAndRestartsEndWorkersDropHeldBytesAndReportKeyCalls) {
  TempHome home;  // no settings, no trace, no command-set files
  LineCollector lines;
  auto delivers = [&](RCPosHark& l, const std::string& token) {
    Feed(l, token + "\n");
    return lines.WaitForToken(token);
  };
  auto l = MakeListener(44, true);
  l->SetErrFt(CollectCode);
  l->KeyStart();  // never started: only reports
  EXPECT_TRUE(WorkersGone());
  EXPECT_EQ(Threads("pos44.resume"), 0);
  l->ListenStart(LineCollector::Callback, true);
  l->ListenStop();
  EXPECT_TRUE(WorkersGone());
  EXPECT_FALSE(Access::Started(*l) || Access::Running(*l) || Access::GateOpen(*l));
  Feed(*l, "held\n");
  EXPECT_EQ(Access::AnalyzeQueue(*l).GetCount(), 1) << "bytes given while stopped wait";
  for (int i = 0; i < 5; ++i) {
    l->ListenStart(LineCollector::Callback, true);
    EXPECT_EQ(Access::AnalyzeQueue(*l).GetCount(), 0);
    if (i < 4) l->ListenStop();
  }
  ASSERT_TRUE(delivers(*l, "again"));
  EXPECT_EQ(lines.Count("held"), 0);
  // Held for longer than a watcher's longest sleep: still at most one.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_LE(Threads("pos44.resume"), 1);
  l->KeyStart();  // running: only reports
  l->KeyStop();
  l->KeyStop();
  EXPECT_TRUE(WorkersGone());
  EXPECT_TRUE(Access::Started(*l) && !Access::Running(*l));
  l->KeyStart();
  {
    std::lock_guard<std::mutex> guard(g_lock);
    EXPECT_EQ(g_codes, (std::vector<uint32_t>{2, 2, 1, 1, 2}));
  }
  EXPECT_TRUE(Access::Running(*l) && Access::HostFeed(*l));
  EXPECT_EQ(SettledThreads("pos44.write", 1), 1);
  EXPECT_EQ(Threads("pos44.read"), 0) << "resumed as a host feed, not a serial reader";
  EXPECT_TRUE(delivers(*l, "resumed"));
}

}  // namespace

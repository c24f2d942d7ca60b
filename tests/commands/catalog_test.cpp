// The listener's catalogue of command-set files, selection and the idle stop.
#include "commands/CmdSetCatalog.h"
#include "commands/CmdSetFiles.h"
#include "listener/RCDataQueue.h"

#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using poshark::test::TempDir;

namespace {

// Points the work path at a folder for the lifetime of one test.
class ScopedWorkDir {
 public:
  explicit ScopedWorkDir(const std::string& path) {
    if (const char* old = std::getenv("POSHARK_WORKDIR")) {
      old_ = old;
      had_ = true;
    }
    setenv("POSHARK_WORKDIR", path.c_str(), 1);
  }
  ~ScopedWorkDir() {
    if (had_) setenv("POSHARK_WORKDIR", old_.c_str(), 1);
    else unsetenv("POSHARK_WORKDIR");
  }

 private:
  std::string old_;
  bool had_ = false;
};

// Reaches the protected parts the catalogue works with.
class Listener : public RCPosHark {
 public:
  using RCPosHark::RCPosHark;
  using RCPosHark::GetWorkPath;
  RCCmdSet* CmdSet() { return pCurCmdSet.get(); }
  RCCmdSet* WriteQueueCmdSet() { return m_WriteQueue->pCmdSet; }
  const std::vector<STRUCT_CmdSetInfo*>& List() { return m_CmdSetList; }
};

class CatalogTest : public ::testing::Test {
 protected:
  void AddSet(const std::string& file, const std::string& content) {
    dir_.Write("Printer Commands/" + file, content);
  }
  TempDir dir_;
};

TEST_F(CatalogTest, ListsOnlyIniFilesInNameOrderWithoutTheExtraFile) {
  AddSet("B.INI", "[Main]\nModule_Name=Second\nbGraphMode=1\n");
  AddSet("a.ini", "[Main]\nModule_Name=First\nbPOSTextSenderMode=1\n");
  AddSet("notes.txt", "[Main]\nModule_Name=Notes\n");
  AddSet("POS_DBExtra.ini", "[Main]\nModule_Name=Extra\n");
  AddSet("ini", "");
  std::filesystem::create_directories(dir_.path() + "/Printer Commands/folder.ini");
  ScopedWorkDir work(dir_.path());
  Listener listener(1);
  EXPECT_EQ(listener.GetWorkPath(), dir_.path());
  ASSERT_EQ(listener.GetCmdSetNum(), 2);
  char name[260];
  bool graph = false;
  ASSERT_TRUE(listener.GetCmdSetName(0, name, graph));
  EXPECT_STREQ(name, "First");
  EXPECT_FALSE(graph);
  ASSERT_TRUE(listener.GetCmdSetName(1, name, graph));
  EXPECT_STREQ(name, "Second");
  EXPECT_TRUE(graph);
  EXPECT_EQ(listener.List()[0]->szPath, dir_.path() + "/Printer Commands/a.ini");
  EXPECT_TRUE(listener.List()[0]->bPOSTextSenderMode);
}

TEST_F(CatalogTest, NameQueriesDifferInCaseSensitivity) {
  AddSet("one.ini", "[Main]\nModule_Name=POS1\nbGraphMode=1\nbPOSTextSenderMode=1\n");
  AddSet("two.ini", "[Main]\n");  // listed with an empty name
  ScopedWorkDir work(dir_.path());
  Listener listener;
  EXPECT_EQ(listener.GetCmdSetNum(), 2);
  EXPECT_FALSE(listener.IsGraphByName("pos1"));
  EXPECT_TRUE(listener.IsGraphByName("POS1"));
  EXPECT_FALSE(listener.IsSoftwarePOSByName("pos1"));
  EXPECT_TRUE(listener.IsSoftwarePOSByName("POS1"));
  EXPECT_FALSE(listener.IsGraphByName(""));
  EXPECT_FALSE(listener.IsGraphByName(nullptr));
  EXPECT_TRUE(listener.SelectCmdSet(std::string("pos1")));
  EXPECT_EQ(listener.GetCurCmdSetNum(), 0);
  char name[260] = {};
  EXPECT_TRUE(listener.GetCurCmdSetName(name));
  EXPECT_STREQ(name, "POS1");
  EXPECT_TRUE(listener.IsGraphMode());
  EXPECT_FALSE(listener.SelectCmdSet(std::string("nobody")));
  EXPECT_EQ(listener.GetCurCmdSetNum(), 0);  // unchanged
}

TEST_F(CatalogTest, NothingLoadedAnswersNoSet) {
  AddSet("one.ini", "[Main]\nModule_Name=One\n");
  ScopedWorkDir work(dir_.path());
  Listener listener;
  EXPECT_EQ(listener.GetCurCmdSetNum(), -1);
  EXPECT_FALSE(listener.GetCurCmdSetName(nullptr));
  EXPECT_FALSE(listener.IsGraphMode());
  EXPECT_FALSE(listener.IsPOSTextSenderMode());
  char name[260];
  bool graph = true;
  EXPECT_FALSE(listener.GetCmdSetName(1, name, graph));
  EXPECT_FALSE(listener.GetCmdSetName(-1, name, graph));
  EXPECT_FALSE(listener.GetCmdSetName(0, nullptr, graph));
  EXPECT_TRUE(graph);  // left as it was
}

TEST_F(CatalogTest, SelectionLoadsIntoOneObjectSharedWithTheWriteQueue) {
  AddSet("a.ini", "[Main]\nModule_Name=A\nS-Num=1\n[Single-Command]\n1=1,Z,1,1\n");
  AddSet("b.ini", "[Main]\n[STOP_EVENT]\nWaitTime=5\n");
  ScopedWorkDir work(dir_.path());
  Listener listener;
  EXPECT_FALSE(listener.SelectCmdSet(2));
  EXPECT_EQ(listener.CmdSet(), nullptr);
  listener.LoadIni();
  RCCmdSet* set = listener.CmdSet();
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(listener.WriteQueueCmdSet(), set);
  EXPECT_EQ(set->arSingle.size(), 1u);
  EXPECT_TRUE(listener.SelectCmdSet(1));
  EXPECT_EQ(listener.CmdSet(), set);  // the same object, reloaded
  EXPECT_TRUE(set->arSingle.empty());
  EXPECT_EQ(set->nWaitTime, 5);
  // A set without a name is loaded but has no current name or number.
  EXPECT_FALSE(listener.GetCurCmdSetName(nullptr));
  EXPECT_EQ(listener.GetCurCmdSetNum(), -1);
  EXPECT_FALSE(listener.SelectCmdSet(-1));
  EXPECT_EQ(set->nWaitTime, 5);
}

TEST_F(CatalogTest, MissingFolderGivesAnEmptyCatalogue) {
  ScopedWorkDir work(dir_.path());
  Listener listener;
  EXPECT_EQ(listener.GetCmdSetNum(), 0);
  EXPECT_FALSE(listener.SelectCmdSet(0));
  EXPECT_FALSE(listener.SelectCmdSet(std::string("")));
  listener.LoadIni();
  EXPECT_EQ(listener.CmdSet(), nullptr);
}

// ---------------------------------------------------------------- idle stop

struct Delivered {
  std::string text;
  int event;
};
std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<Delivered> g_lines;

unsigned short CollectLine(char* pszText, SYSTEMTIME*, bool, int, int nEvent, char*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.push_back({pszText ? pszText : "", nEvent});
  g_cv.notify_all();
  return 0;
}

int CountStops() {
  int n = 0;
  for (const Delivered& d : g_lines) n += d.event == POSHARK_EVENT_STOP ? 1 : 0;
  return n;
}

TEST_F(CatalogTest, IdleStopThreadClosesAnOpenTransactionAfterWaitTime) {
  AddSet("idle.ini", "[Main]\nModule_Name=Idle\n[STOP_EVENT]\nWaitTime=1\n");
  ScopedWorkDir work(dir_.path());
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
  }
  Listener listener(3);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.ListenStart(CollectLine, true);
  // Text opened a transaction (what the analyzer does with the first text).
  ASSERT_TRUE(listener.CmdSet()->TakeAutoStart());
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    EXPECT_TRUE(g_cv.wait_for(lock, std::chrono::seconds(5), [] { return CountStops() >= 1; }));
  }
  EXPECT_TRUE(listener.CmdSet()->bTranClosed);
  // Closed now: further idle seconds send nothing more.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  listener.ListenStop();
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_EQ(CountStops(), 1);
  for (const Delivered& d : g_lines)
    if (d.event == POSHARK_EVENT_STOP) EXPECT_EQ(d.text, "");
}

}  // namespace

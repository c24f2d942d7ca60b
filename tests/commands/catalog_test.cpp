// The listener's catalogue of command-set files, selection and the idle stop.
#include "commands/CmdSetCatalog.h"
#include "commands/PluginTestSupport.h"
#include "listener/RCDataQueue.h"
#include "listener/TestAccess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

// Reaches the protected parts the catalogue works with.
class Listener : public RCPosHark {
 public:
  using RCPosHark::GetWorkPath;
  using RCPosHark::RCPosHark;
  RCCmdSet* CmdSet() { return CurSet(); }
  RCCmdSet* WriteQueueCmdSet() { return m_WriteQueue->pCmdSet; }
  const std::vector<STRUCT_CmdSetInfo>& List() {
    return RCPosHarkTestAccess::Catalog(*this).Entries();
  }
};

class CatalogTest : public ::testing::Test {
 protected:
  poshark_test::WorkFolder work_;
};

TEST_F(CatalogTest, ListsIniFilesInNameOrderAndAnswersNameQueries) {
  work_.WriteSet("B.INI", "[Main]\nModule_Name=POS1\nbGraphMode=1\nbPOSTextSenderMode=1\n");
  work_.WriteSet("a.ini", "[Main]\nModule_Name=First\nbPOSTextSenderMode=1\n");
  work_.WriteSet("c.ini", "[Main]\n");  // listed with an empty name
  work_.WriteSet("notes.txt", "[Main]\nModule_Name=Notes\n");
  work_.WriteSet("POS_DBExtra.ini", "[Main]\nModule_Name=Extra\n");
  work_.WriteSet("ini", "");
  std::filesystem::create_directories(work_.CommandsDir() + "/folder.ini");
  Listener listener(1);
  EXPECT_EQ(listener.GetWorkPath(), work_.path());
  ASSERT_EQ(listener.GetCmdSetNum(), 3);
  char name[260];
  bool graph = true;
  ASSERT_TRUE(listener.GetCmdSetName(0, name, graph));
  EXPECT_EQ(name + std::string(graph ? "+graph" : ""), "First");
  ASSERT_TRUE(listener.GetCmdSetName(1, name, graph));
  EXPECT_EQ(name + std::string(graph ? "+graph" : ""), "POS1+graph");
  EXPECT_EQ(listener.List()[0].szPath, work_.CommandsDir() + "/a.ini");
  EXPECT_TRUE(listener.List()[0].bPOSTextSenderMode);
  std::string path;
  EXPECT_TRUE(listener.GetCmdSetPath(2, path));
  EXPECT_EQ(path, work_.CommandsDir() + "/c.ini");
  EXPECT_FALSE(listener.GetCmdSetPath(3, path));
  // Out of range or without a buffer: nothing answered, nothing changed.
  EXPECT_FALSE(listener.GetCmdSetName(3, name, graph));
  EXPECT_FALSE(listener.GetCmdSetName(-1, name, graph));
  EXPECT_FALSE(listener.GetCmdSetName(0, nullptr, graph));
  EXPECT_TRUE(graph);  // still what set 1 answered
  // Nothing loaded yet.
  EXPECT_EQ(listener.GetCurCmdSetNum(), -1);
  EXPECT_FALSE(listener.GetCurCmdSetName(nullptr));
  EXPECT_FALSE(listener.IsGraphMode() || listener.IsPOSTextSenderMode());
  // Name queries are case-sensitive, selection by name is not.
  EXPECT_FALSE(listener.IsGraphByName("pos1") || listener.IsSoftwarePOSByName("pos1"));
  EXPECT_TRUE(listener.IsGraphByName("POS1") && listener.IsSoftwarePOSByName("POS1"));
  EXPECT_FALSE(listener.IsGraphByName("") || listener.IsGraphByName(nullptr));
  EXPECT_TRUE(listener.SelectCmdSet(std::string("pos1")));
  EXPECT_EQ(listener.GetCurCmdSetNum(), 1);
  EXPECT_TRUE(listener.GetCurCmdSetName(name));
  EXPECT_STREQ(name, "POS1");
  EXPECT_TRUE(listener.IsGraphMode());
  EXPECT_FALSE(listener.SelectCmdSet(std::string("nobody")));
  EXPECT_EQ(listener.GetCurCmdSetNum(), 1);  // unchanged
}

TEST_F(CatalogTest, SelectionLoadsIntoOneObjectSharedWithTheWriteQueue) {
  {
    Listener empty;  // no files: an empty catalogue
    EXPECT_EQ(empty.GetCmdSetNum(), 0);
    EXPECT_FALSE(empty.SelectCmdSet(0));
    EXPECT_FALSE(empty.SelectCmdSet(std::string("")));
    empty.LoadIni();
    EXPECT_EQ(empty.CmdSet(), nullptr);
  }
  work_.WriteSet("a.ini", "[Main]\nModule_Name=A\nS-Num=1\n[Single-Command]\n1=1,Z,1,1\n");
  work_.WriteSet("b.ini", "[Main]\n[STOP_EVENT]\nWaitTime=5\n");
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

TEST_F(CatalogTest, IdleStopThreadClosesAnOpenTransactionAfterWaitTime) {
  work_.WriteSet("idle.ini", "[Main]\nModule_Name=Idle\n[STOP_EVENT]\nWaitTime=1\n");
  poshark_test::LineCollector lines;
  Listener listener(3);
  ASSERT_TRUE(listener.SelectCmdSet(0));
  listener.SetGateOpenTime(0);
  listener.ListenStart(&poshark_test::LineCollector::Callback, true);
  // Text opened a transaction (what the analyzer does with the first text).
  ASSERT_TRUE(listener.CmdSet()->TakeAutoStart());
  auto got = lines.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].nEvent, POSHARK_EVENT_STOP);
  EXPECT_EQ(got[0].text, "");
  EXPECT_TRUE(listener.CmdSet()->bTranClosed);
  // Closed now: further idle seconds send nothing more.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  listener.ListenStop();
  EXPECT_EQ(lines.WaitFor(2, 0).size(), 1u);
}

}  // namespace

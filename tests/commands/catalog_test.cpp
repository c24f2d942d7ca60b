// The listener's catalogue of command-set files and the selection of a set.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "commands/PluginTestSupport.h"
#include "listener/RCDataQueue.h"

namespace {

// Reaches the set the listener loaded and the one its write queue uses.
class Listener : public RCPosHark {
 public:
  using RCPosHark::RCPosHark;
  RCCmdSet* CmdSet() { return CurSet(); }
  RCCmdSet* WriteQueueCmdSet() { return m_WriteQueue->pCmdSet; }
};

TEST(Catalog, ListsIniFilesInNameOrderAndSelectsByNumberOrByName) {
  cmdset_test::TempHome home;
  {
    Listener empty;  // no files: an empty catalogue
    EXPECT_EQ(empty.GetCmdSetNum(), 0);
    EXPECT_FALSE(empty.SelectCmdSet(0) || empty.SelectCmdSet(std::string("")));
  }
  home.CommandSet("B.INI", "[Main]\nModule_Name=POS1\nbGraphMode=1\nbPOSTextSenderMode=1\n");
  home.CommandSet("a.ini", "[Main]\nModule_Name=First\nS-Num=1\n[Single-Command]\n1=1,Z,1,1\n");
  home.CommandSet("c.ini", "[Main]\n[STOP_EVENT]\nWaitTime=5\n");  // listed without a name
  for (const char* other : {"notes.txt", "POS_DBExtra.ini", "ini"}) home.CommandSet(other, "");
  std::filesystem::create_directories(home.CommandsDir() + "/folder.ini");
  Listener listener(1);
  ASSERT_EQ(listener.GetCmdSetNum(), 3);
  char name[260];
  bool graph = true;
  std::string all, path;
  for (int i = 0; i < 3 && listener.GetCmdSetName(i, name, graph); ++i)
    all += name + std::string(graph ? "+graph," : ",");
  EXPECT_EQ(all, "First,POS1+graph,,");
  EXPECT_TRUE(listener.GetCmdSetPath(2, path));
  EXPECT_EQ(path, home.CommandsDir() + "/c.ini");
  // Out of range: nothing answered.
  EXPECT_FALSE(listener.GetCmdSetPath(3, path) || listener.GetCmdSetName(-1, name, graph));
  EXPECT_EQ(listener.GetCurCmdSetNum(), -1);  // nothing loaded yet
  EXPECT_FALSE(listener.IsGraphMode() || listener.IsPOSTextSenderMode());
  // Name queries are case-sensitive, selection by name is not.
  EXPECT_FALSE(listener.IsGraphByName("pos1") || listener.IsSoftwarePOSByName("pos1"));
  EXPECT_TRUE(listener.IsGraphByName("POS1") && listener.IsSoftwarePOSByName("POS1"));
  EXPECT_FALSE(listener.IsGraphByName("") || listener.IsGraphByName(nullptr));
  EXPECT_TRUE(listener.SelectCmdSet(std::string("pos1")));
  EXPECT_TRUE(listener.GetCurCmdSetName(name));
  EXPECT_STREQ(name, "POS1");
  EXPECT_EQ(listener.GetCurCmdSetNum(), 1);
  EXPECT_TRUE(listener.IsGraphMode() && listener.IsPOSTextSenderMode());
  EXPECT_FALSE(listener.SelectCmdSet(std::string("nobody")) || listener.SelectCmdSet(3));
  EXPECT_EQ(listener.GetCurCmdSetNum(), 1);  // unchanged
  // Every selection loads into the one object the write queue shares.
  RCCmdSet* set = listener.CmdSet();
  EXPECT_TRUE(listener.SelectCmdSet(0));
  EXPECT_EQ(listener.CmdSet(), set);
  EXPECT_EQ(listener.WriteQueueCmdSet(), set);
  EXPECT_EQ(set->arSingle.size(), 1u);
  EXPECT_TRUE(listener.SelectCmdSet(2));
  EXPECT_TRUE(set->arSingle.empty());
  EXPECT_EQ(set->nWaitTime, 5);
  // A set without a name is loaded but has no current name or number.
  EXPECT_FALSE(listener.GetCurCmdSetName(nullptr));
  EXPECT_EQ(listener.GetCurCmdSetNum(), -1);
}

}  // namespace

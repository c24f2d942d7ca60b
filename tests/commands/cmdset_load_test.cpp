// Loading a command-set file into RCCmdSet.
#include "commands/PluginTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

class CmdSetLoadTest : public ::testing::Test {
 protected:
  poshark_test::WorkFolder work_;
};

TEST_F(CmdSetLoadTest, MainKeysAreCaseBlindAndRangesAreKept) {
  const struct {
    std::string main, rest;
    std::string name;
    bool graph, sender;
    int wait, spaces;
  } cases[] = {
      {"", "", "", false, false, 30, 1},  // missing keys: defaults
      {"module_name=Epson TM\nBGRAPHMODE=1\nbPOSTextSenderMode=7x\n", "[tab]\nspacecount=4\n",
       "Epson TM", true, true, 30, 4},
      {"", "[STOP_EVENT]\nWaitTime=0\n[TAB]\nSpaceCount=0\n", "", false, false, 1, 1},
      {"", "[STOP_EVENT]\nWaitTime=-40\n[TAB]\nSpaceCount=13\n", "", false, false, 1, 1},
      {"", "[STOP_EVENT]\nWaitTime=601\n[TAB]\nSpaceCount=12\n", "", false, false, 600, 12},
      {"", "[STOP_EVENT]\nWaitTime=45\n", "", false, false, 45, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.main + c.rest);
    auto set =
        work_.LoadSet("[MAIN]\ns-num=1\n" + c.main + "[Single-Command]\n1=1,HT,1,1\n" + c.rest);
    EXPECT_EQ(set->strName, c.name);
    EXPECT_EQ(set->bGraphMode, c.graph);
    EXPECT_EQ(set->bPOSTextSenderMode, c.sender);
    EXPECT_EQ(set->nWaitTime, c.wait);
    ASSERT_EQ(set->arSingle.size(), 1u);
    EXPECT_EQ(set->arSingle[0]->nTextLen, c.spaces);
  }
  RCCmdSet missing;
  EXPECT_TRUE(missing.Load(work_.path() + "/nothing-here.ini"));
  EXPECT_EQ(missing.nWaitTime, 30);
  EXPECT_TRUE(missing.bAutoStart && missing.bStopEvent && missing.bTranClosed);
}

TEST_F(CmdSetLoadTest, InvalidEntriesAreLeftOutAndEntryNumbersFollowTheCount) {
  auto set = work_.LoadSet(
      "[Main]\nS-Num=7\nC-Num=3\n"
      "[Single-Command]\n7=1,F,1,1\n1=1,A,1,1\n01=1,Z,1,1\n2=\n3=2,B\n4=1,C,3,Missing\n5=1,D,2\n"
      "6=1,E,0,x\n8=1,G,1,1\n"
      "[ChangeLine-Command]\n1=1,CR\n2=x\n3=2,ESC,J\n");
  std::string order;
  for (const auto& cmd : set->arSingle) order += static_cast<char>(cmd->pCmd[0]);
  EXPECT_EQ(order, "ADEF");  // 8 lies beyond S-Num
  ASSERT_EQ(set->arChangeLine.size(), 2u);
  EXPECT_EQ(set->arChangeLine[1]->nCmdLen, 2);
}

TEST_F(CmdSetLoadTest, KeywordsClearTheAutomaticStartAndStop) {
  const struct {
    const char* ini;
    bool autoStart, stopEvent;
  } cases[] = {
      {"S-Num=1\n[Single-Command]\n1=1,A,1,1,0,TRAN_VOID\n", true, true},
      {"S-Num=1\n[Single-Command]\n1=1,A,1,1,0,tran_start\n", false, true},
      // The barcode's keyword counts too, although the barcode never reports it.
      {"[BARCODE]\n1=1,B,1,4,0,TRAN_STOP\n", true, false},
      {"M-Num=1\n[Mutli-Command]\n1=G,ESC,1\n[G]\n1=2,ESC,i,1,2,0,TRAN_STOP\n", true, false},
  };
  for (const auto& c : cases) {
    auto set = work_.LoadSet(std::string("[Main]\n") + c.ini);
    EXPECT_EQ(set->bAutoStart, c.autoStart) << c.ini;
    EXPECT_EQ(set->bStopEvent, c.stopEvent) << c.ini;
  }
}

// A new selection describes a new stream: the switches follow the new file,
// not the keywords of the set loaded before.
TEST_F(CmdSetLoadTest, ReloadingRestoresTheTransactionState) {
  RCCmdSet set;
  set.Load(work_.WriteSet("a.ini",
                          "[Main]\nS-Num=2\n[Single-Command]\n1=1,A,1,1,0,TRAN_START\n"
                          "2=1,B,1,1,0,TRAN_STOP\n"));
  EXPECT_FALSE(set.bAutoStart);
  set.bTranClosed = false;
  set.nIdleCount = 7;
  set.Clear();
  set.Load(work_.WriteSet("b.ini", "[Main]\nModule_Name=B\n"));
  EXPECT_TRUE(set.bStopEvent);
  EXPECT_TRUE(set.bTranClosed);
  EXPECT_EQ(set.nIdleCount, 0);
  EXPECT_TRUE(set.TakeAutoStart());  // the new set opens transactions by itself
}

TEST_F(CmdSetLoadTest, HugeCountsDoNotHang) {
  auto set = work_.LoadSet(
      "[Main]\nS-Num=2147483647\nC-Num=2147483647\nM-Num=2147483647\n"
      "[Single-Command]\n1=1,A,1,1\n[Mutli-Command]\n1=G,ESC,2147483647\n"
      "[G]\n5=2,ESC,x,1,2\n");
  EXPECT_EQ(set->arSingle.size(), 1u);
  ASSERT_EQ(set->arMulti.size(), 1u);
  EXPECT_EQ(set->arMulti[0]->arCmds.size(), 1u);
}

// Whatever a file holds, loading ends, and what loaded can be matched
// against any data without reading outside it.
TEST_F(CmdSetLoadTest, AnyFileContentLoadsAndMatchesSafely) {
  std::mt19937 rng(1234);
  const std::vector<std::string> pieces = {"[Main]\n",
                                           "[Single-Command]\n",
                                           "[ChangeLine-Command]\n",
                                           "[Mutli-Command]\n",
                                           "[G]\n",
                                           "[BARCODE]\n",
                                           "S-Num=",
                                           "C-Num=",
                                           "M-Num=",
                                           "1=",
                                           "2=",
                                           "3=",
                                           ",",
                                           "ESC",
                                           "0x1b",
                                           "HT",
                                           "1",
                                           "2",
                                           "3",
                                           "0",
                                           "-1",
                                           "99999",
                                           "TRAN_STOP",
                                           "\"",
                                           "G",
                                           "\n",
                                           "\r\n",
                                           "=",
                                           "\0",
                                           "\xff",
                                           ";",
                                           "[",
                                           "]",
                                           "300",
                                           "A"};
  for (int round = 0; round < 300; ++round) {
    std::string content;
    int parts = static_cast<int>(rng() % 120);
    for (int i = 0; i < parts; ++i) content += pieces[rng() % pieces.size()];
    auto set = work_.LoadSet(content);
    std::vector<unsigned char> data(64);
    for (int pass = 0; pass < 20; ++pass) {
      for (auto& b : data) b = static_cast<unsigned char>(rng() % 5 == 0 ? 27 : rng());
      int len = static_cast<int>(1 + rng() % data.size());
      // Each call may only shrink the data it was given.
      int before = len;
      int r = set->AnalyzeBarcode(data.data(), len);
      EXPECT_LE(len, before);
      if (len > 0 && r != CMD_MORE) {
        before = len;
        set->MatchCommand(data.data(), len);
        EXPECT_LE(len, before);
      }
      for (unsigned char b : data) set->IsLineEnd(b);
    }
  }
}

}  // namespace

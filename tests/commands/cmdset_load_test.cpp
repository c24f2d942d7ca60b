// Loading a command-set file into RCCmdSet.
#include "commands/CmdSetFiles.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using poshark::test::LoadSet;
using poshark::test::TempDir;

namespace {

class CmdSetLoadTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(CmdSetLoadTest, MissingFileLoadsAsAnEmptySetWithDefaults) {
  RCCmdSet set;
  EXPECT_TRUE(set.Load(dir_.path() + "/nothing-here.ini"));
  EXPECT_EQ(set.strPath, dir_.path() + "/nothing-here.ini");
  EXPECT_EQ(set.strName, "");
  EXPECT_FALSE(set.bGraphMode);
  EXPECT_FALSE(set.bPOSTextSenderMode);
  EXPECT_TRUE(set.bStopEvent);
  EXPECT_TRUE(set.bAutoStart);
  EXPECT_TRUE(set.bTranClosed);
  EXPECT_EQ(set.nWaitTime, 30);
  EXPECT_EQ(set.nSpaceCount, 1);
  EXPECT_TRUE(set.arSingle.empty());
  EXPECT_EQ(set.pBarcode, nullptr);
}

TEST_F(CmdSetLoadTest, MainSectionKeysAreReadWithoutRegardToCase) {
  auto set = LoadSet(dir_,
                     "[MAIN]\nmodule_name=Epson TM\nBGRAPHMODE=1\nbPOSTextSenderMode=7x\n"
                     "[tab]\nspacecount=4\n");
  EXPECT_EQ(set->strName, "Epson TM");
  EXPECT_TRUE(set->bGraphMode);
  EXPECT_TRUE(set->bPOSTextSenderMode);
  EXPECT_EQ(set->nSpaceCount, 4);
}

TEST_F(CmdSetLoadTest, WaitTimeIsKeptWithinOneToSixHundredSeconds) {
  EXPECT_EQ(LoadSet(dir_, "[STOP_EVENT]\nWaitTime=0\n")->nWaitTime, 1);
  EXPECT_EQ(LoadSet(dir_, "[STOP_EVENT]\nWaitTime=-40\n")->nWaitTime, 1);
  EXPECT_EQ(LoadSet(dir_, "[STOP_EVENT]\nWaitTime=601\n")->nWaitTime, 600);
  EXPECT_EQ(LoadSet(dir_, "[STOP_EVENT]\nWaitTime=45\n")->nWaitTime, 45);
  EXPECT_EQ(LoadSet(dir_, "[STOP_EVENT]\n")->nWaitTime, 30);
}

TEST_F(CmdSetLoadTest, SpaceCountOutsideItsRangeGivesOneSpacePerTab) {
  for (auto [count, spaces] : {std::pair{0, 1}, {13, 1}, {12, 12}, {3, 3}}) {
    auto set = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=1,HT,1,1\n[TAB]\nSpaceCount=" +
                                 std::to_string(count) + "\n");
    ASSERT_EQ(set->arSingle.size(), 1u);
    EXPECT_EQ(set->arSingle[0]->nTextLen, spaces) << count;
  }
}

TEST_F(CmdSetLoadTest, InvalidEntriesAreLeftOutAndValidOnesKeepTheirOrder) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=6\nC-Num=3\n"
                     "[Single-Command]\n1=1,A,1,1\n2=\n3=2,B\n4=1,C,3,Missing\n5=1,D,2\n"
                     "6=1,E,0,x\n7=1,F,1,1\n"
                     "[ChangeLine-Command]\n1=1,CR\n2=x\n3=2,ESC,J\n");
  ASSERT_EQ(set->arSingle.size(), 3u);  // entry 7 lies beyond S-Num
  EXPECT_EQ(set->arSingle[0]->pCmd[0], 'A');
  EXPECT_EQ(set->arSingle[1]->pCmd[0], 'D');
  EXPECT_EQ(set->arSingle[2]->pCmd[0], 'E');
  ASSERT_EQ(set->arChangeLine.size(), 2u);
  EXPECT_EQ(set->arChangeLine[1]->nCmdLen, 2);
}

TEST_F(CmdSetLoadTest, KeywordsClearTheAutomaticStartAndStop) {
  auto plain = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=1,A,1,1,0,TRAN_VOID\n");
  EXPECT_TRUE(plain->bAutoStart);
  EXPECT_TRUE(plain->bStopEvent);
  auto start = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=1,A,1,1,0,tran_start\n");
  EXPECT_FALSE(start->bAutoStart);
  EXPECT_TRUE(start->bStopEvent);
  // The barcode's keyword counts too, although the barcode never reports it.
  auto barcode = LoadSet(dir_, "[Main]\n[BARCODE]\n1=1,B,1,4,0,TRAN_STOP\n");
  EXPECT_TRUE(barcode->bAutoStart);
  EXPECT_FALSE(barcode->bStopEvent);
  auto group = LoadSet(dir_,
                       "[Main]\nM-Num=1\n[Mutli-Command]\n1=G,ESC,1\n[G]\n1=2,ESC,i,1,2,0,TRAN_STOP\n");
  EXPECT_FALSE(group->bStopEvent);
}

// A new selection describes a new stream: the switches follow the new file,
// not the keywords of the set loaded before.
TEST_F(CmdSetLoadTest, ReloadingRestoresTheTransactionState) {
  RCCmdSet set;
  set.Load(dir_.Write("a.ini", "[Main]\nS-Num=2\n[Single-Command]\n1=1,A,1,1,0,TRAN_START\n"
                               "2=1,B,1,1,0,TRAN_STOP\n"));
  EXPECT_FALSE(set.bAutoStart);
  EXPECT_FALSE(set.bStopEvent);
  set.bTranClosed = false;
  set.nIdleCount = 7;
  set.Clear();
  set.Load(dir_.Write("b.ini", "[Main]\nModule_Name=B\n"));
  EXPECT_TRUE(set.bAutoStart);
  EXPECT_TRUE(set.bStopEvent);
  EXPECT_TRUE(set.bTranClosed);
  EXPECT_EQ(set.nIdleCount, 0);
  EXPECT_TRUE(set.TakeAutoStart());  // the new set opens transactions by itself
}

TEST_F(CmdSetLoadTest, EntryNumbersFollowTheCountNotTheFileOrder) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=3\n[Single-Command]\n3=1,C,1,1\n1=1,A,1,1\n01=1,Z,1,1\n"
                     "2=1,B,1,1\n");
  ASSERT_EQ(set->arSingle.size(), 3u);
  EXPECT_EQ(set->arSingle[0]->pCmd[0], 'A');
  EXPECT_EQ(set->arSingle[1]->pCmd[0], 'B');
  EXPECT_EQ(set->arSingle[2]->pCmd[0], 'C');
}

TEST_F(CmdSetLoadTest, HugeCountsDoNotHang) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=2147483647\nC-Num=2147483647\nM-Num=2147483647\n"
                     "[Single-Command]\n1=1,A,1,1\n[Mutli-Command]\n1=G,ESC,2147483647\n"
                     "[G]\n5=2,ESC,x,1,2\n");
  EXPECT_EQ(set->arSingle.size(), 1u);
  ASSERT_EQ(set->arMulti.size(), 1u);
  EXPECT_EQ(set->arMulti[0]->arCmds.size(), 1u);
}

TEST_F(CmdSetLoadTest, PluginSwitchesWithoutLoadedLibrariesLeaveThePluginsOff) {
  auto set = LoadSet(dir_,
                     "[Main]\nUseDll=1,/nonexistent/analyzer.so\nDllPreprocess=1,pre.so,Pre\n"
                     "UseFilterDll=1,filter.so,Filter\nS-Num=1\n[Single-Command]\n"
                     "1=1,ESC,3,Measure\n[BARCODE]\n1=1,B,2\n[BARCODE_Analyze]\n1=Transform\n");
  EXPECT_EQ(set->hUseDll, nullptr);
  EXPECT_TRUE(set->arSingle.empty());  // its entry point cannot be resolved
  EXPECT_EQ(set->pfnBarcodeAnalyze, nullptr);
  EXPECT_FALSE(set->bDllPreprocess);
  EXPECT_EQ(set->pfnPreprocess, nullptr);
  EXPECT_EQ(set->pfnFilter, nullptr);
  ASSERT_NE(set->pBarcode, nullptr);
}

// Whatever a file holds, loading ends, and what loaded can be matched
// against any data without reading outside it.
TEST_F(CmdSetLoadTest, AnyFileContentLoadsAndMatchesSafely) {
  std::mt19937 rng(1234);
  const std::vector<std::string> pieces = {
      "[Main]\n", "[Single-Command]\n", "[ChangeLine-Command]\n", "[Mutli-Command]\n", "[G]\n",
      "[BARCODE]\n", "S-Num=", "C-Num=", "M-Num=", "1=", "2=", "3=", ",", "ESC", "0x1b", "HT",
      "1", "2", "3", "0", "-1", "99999", "TRAN_STOP", "\"", "G", "\n", "\r\n", "=", "\0",
      "\xff", ";", "[", "]", "300", "A"};
  for (int round = 0; round < 300; ++round) {
    std::string content;
    int parts = static_cast<int>(rng() % 120);
    for (int i = 0; i < parts; ++i) content += pieces[rng() % pieces.size()];
    auto set = LoadSet(dir_, content);
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

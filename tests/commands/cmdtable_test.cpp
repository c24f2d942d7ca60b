// The command table: change-line matching, command matching and removal,
// barcodes.
#include "commands/CmdSetFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using poshark::test::LoadSet;
using poshark::test::TempDir;

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string Text(const std::vector<unsigned char>& buf, int len) {
  return std::string(buf.begin(), buf.begin() + len);
}

// Feeds bytes to IsLineEnd and answers the positions that ended a line.
std::vector<int> LineEnds(RCCmdSet& set, const std::string& bytes) {
  std::vector<int> ends;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (set.IsLineEnd(static_cast<unsigned char>(bytes[i]))) ends.push_back(static_cast<int>(i));
  return ends;
}

class CmdTableTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(CmdTableTest, CrBeforeCrLfEndsEveryLineButCrLfBeforeCrNeverEndsOnCr) {
  auto crlf_first = LoadSet(dir_, "[Main]\nC-Num=2\n[ChangeLine-Command]\n1=2,CR,LF\n2=1,CR\n");
  EXPECT_EQ(LineEnds(*crlf_first, "a\rb\r\rc"), std::vector<int>{});
  // The line splitter never hands LF over: the partial CR LF stays open.
  auto cr_first = LoadSet(dir_, "[Main]\nC-Num=2\n[ChangeLine-Command]\n1=1,CR\n2=2,CR,LF\n");
  EXPECT_EQ(LineEnds(*cr_first, "a\rb\r\rc"), (std::vector<int>{1, 3, 4}));
}

TEST_F(CmdTableTest, SplitsLineAtChangeLineCommandAcrossChunks) {
  auto set = LoadSet(dir_, "[Main]\nC-Num=1\n[ChangeLine-Command]\n1=3,ESC,d,0x05\n");
  EXPECT_FALSE(set->IsLineEnd(27));  // end of one chunk
  EXPECT_FALSE(set->IsLineEnd('d'));  // next chunk
  EXPECT_TRUE(set->IsLineEnd(5));
  EXPECT_EQ(set->nLineEndMatched, 0);
  // A broken match starts again with the byte that broke it.
  EXPECT_EQ(LineEnds(*set, "\x1b" "d\x1b" "d\x05"), std::vector<int>{4});
}

TEST_F(CmdTableTest, ALaterChangeLineCommandTakesOverWhenTheCandidateFails) {
  auto set = LoadSet(dir_,
                     "[Main]\nC-Num=3\n[ChangeLine-Command]\n1=3,ESC,A,B\n2=3,ESC,A,C\n"
                     "3=4,ESC,A,D,E\n");
  EXPECT_EQ(LineEnds(*set, "\x1b" "AC"), std::vector<int>{2});
  EXPECT_EQ(LineEnds(*set, "\x1b" "ADE"), std::vector<int>{3});
  EXPECT_EQ(LineEnds(*set, "\x1b" "ADx\x1b" "AB"), std::vector<int>{6});
}

TEST_F(CmdTableTest, ChangeLineMatchingNeedsAValidEntry) {
  auto none = LoadSet(dir_, "[Main]\nC-Num=2\n[ChangeLine-Command]\n1=2,CR\n2=0\n");
  EXPECT_TRUE(none->arChangeLine.empty());
  EXPECT_EQ(none->pLineEndBuf, nullptr);
  EXPECT_FALSE(none->IsLineEnd('\r'));
}

TEST_F(CmdTableTest, FixedLengthCommandIsRemovedWithItsParameter) {
  auto set = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=2,ESC,d,1,3\n");
  auto buf = Bytes("\x1b" "d\x05" "after");
  int len = static_cast<int>(buf.size());
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "after");
  EXPECT_EQ(set->GetLastCmdLen(), 2);
  EXPECT_EQ(set->GetLastCmdText(nullptr), 0);
  EXPECT_EQ(set->pCurCmd, nullptr);
}

TEST_F(CmdTableTest, CommandLongerThanTheBytesLeftAsksForMoreData) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=2\n[Single-Command]\n1=2,ESC,d,1,3\n2=3,X,Y,Z,1,3\n");
  auto letter = Bytes("q");
  int len = 1;
  // One byte left and a three-byte command in the list: more data, even for a letter.
  EXPECT_EQ(set->MatchCommand(letter.data(), len), CMD_MORE);
  auto two = Bytes("qr");
  len = 2;
  EXPECT_EQ(set->MatchCommand(two.data(), len), CMD_MORE);
  auto three = Bytes("qrs");
  len = 3;
  EXPECT_EQ(set->MatchCommand(three.data(), len), CMD_NONE);
  EXPECT_EQ(set->pCurCmd, nullptr);
  auto buf = Bytes("\x1b" "d");
  len = 2;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_MORE);  // the parameter byte is missing
  EXPECT_EQ(len, 2);
  EXPECT_NE(set->pCurCmd, nullptr);  // the next call goes on with this command
}

TEST_F(CmdTableTest, CommandEarlierInTheListThanTheLongOneMatchesNearTheEnd) {
  auto set = LoadSet(dir_, "[Main]\nS-Num=2\n[Single-Command]\n1=1,A,1,1\n2=3,X,Y,Z,1,3\n");
  auto buf = Bytes("A");
  int len = 1;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(len, 0);
}

TEST_F(CmdTableTest, NulTerminatedParameterWaitsForItsNul) {
  auto set = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=2,ESC,N,2\n");
  std::vector<unsigned char> buf(32, 0xEE);
  std::memcpy(buf.data(), "\x1bNabc", 5);
  int len = 5;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_MORE);
  EXPECT_NE(set->pCurCmd, nullptr);
  // More data arrives behind it; the command is not matched again.
  std::memcpy(buf.data() + 5, "de\0rest", 7);
  len = 12;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "rest");
  EXPECT_EQ(set->pCurCmd, nullptr);
}

TEST_F(CmdTableTest, MarkerStaysInPlaceAndReportsItsCommand) {
  auto set = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=2,ESC,E,1,0,1,BOLD,TRAN_START\n");
  auto buf = Bytes("\x1b" "Ex");
  int len = 3;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_MARKER);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(Text(buf, len), "\x1b" "Ex");
  EXPECT_EQ(set->GetLastCmdLen(), 2);
  EXPECT_EQ(set->pLastCmd->nTran, TRAN_START);
}

TEST_F(CmdTableTest, UnknownTypeDropsTheRestOfTheData) {
  auto set = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=1,FF,0,0\n");
  auto buf = Bytes("\x0c" "everything else");
  int len = static_cast<int>(buf.size());
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DISCARD);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(buf[0], 0);
}

TEST_F(CmdTableTest, ListOrderDecidesBetweenTwoMatchingCommands) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=2\n[Single-Command]\n1=1,ESC,1,1,1,first\n"
                     "2=2,ESC,@,1,2,1,second\n");
  auto buf = Bytes("\x1b@z");
  int len = 3;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "@z");
  unsigned char text[16] = {};
  EXPECT_EQ(set->GetLastCmdText(text), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text), 5), "first");

  auto swapped = LoadSet(dir_,
                         "[Main]\nS-Num=2\n[Single-Command]\n1=2,ESC,@,1,2,1,second\n"
                         "2=1,ESC,1,1,1,first\n");
  buf = Bytes("\x1b@z");
  len = 3;
  EXPECT_EQ(swapped->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "z");
  EXPECT_EQ(swapped->GetLastCmdText(nullptr), 6);
}

TEST_F(CmdTableTest, GroupsComeBeforeSinglesAndIgnoreTheirOwnFirstByte) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=1\nM-Num=1\n[Single-Command]\n1=2,GS,!,1,3,1,single\n"
                     "[Mutli-Command]\n1=GS-Group,GS,3\n"
                     "[GS-Group]\n1=2,0,V,1,3,0,TRAN_STOP\n2=2,0,!,1,3,1,group\n3=bad\n");
  ASSERT_EQ(set->arMulti.size(), 1u);
  EXPECT_EQ(set->arMulti[0]->arCmds.size(), 2u);
  auto buf = Bytes("\x1d!\x11x");
  int len = 4;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "x");
  EXPECT_EQ(set->GetLastCmdText(nullptr), 5);  // "group"
  buf = Bytes("\x1dV\x01y");
  len = 4;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(set->pLastCmd->nTran, TRAN_STOP);
  EXPECT_FALSE(set->bStopEvent);
  // Near the end a group command longer than the bytes left asks for more.
  buf = Bytes("\x1dQ");
  len = 2;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_NONE);
  buf = Bytes("\x1d");
  len = 1;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_MORE);
}

TEST_F(CmdTableTest, GroupWithoutValidCommandsMatchesNothing) {
  auto set = LoadSet(dir_,
                     "[Main]\nM-Num=2\n[Mutli-Command]\n1=Empty,ESC,3\n2=Missing\n"
                     "[Empty]\n1=x\n");
  ASSERT_EQ(set->arMulti.size(), 1u);
  auto buf = Bytes("\x1b" "abc");
  int len = 4;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_NONE);
}

TEST_F(CmdTableTest, TotalLengthBelowTheCommandLengthRemovesOnlyTheCommand) {
  auto set = LoadSet(dir_, "[Main]\nS-Num=1\n[Single-Command]\n1=3,ESC,t,0x01,1,1\n");
  auto buf = Bytes("\x1bt\x01" "abc");
  int len = 6;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "abc");
}

TEST_F(CmdTableTest, ParameterRulesMeasureTheBytesAfterTheCommand) {
  auto set = LoadSet(dir_, "[Main]\n");
  STRUCT_PrnCmd fixed;
  fixed.nCmdLen = 2;
  fixed.nType = 1;
  fixed.nParam = 5;
  unsigned char data[8] = {1, 2, 3, 0, 5, 6, 7, 8};
  int start = 9, plen = 9;
  EXPECT_EQ(set->MeasureParam(data, 2, &fixed, &start, &plen), CMD_MORE);
  EXPECT_EQ(set->MeasureParam(data, 3, &fixed, &start, &plen), CMD_DONE);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(plen, 3);
  STRUCT_PrnCmd nul;
  nul.nCmdLen = 1;
  nul.nType = 2;
  EXPECT_EQ(set->MeasureParam(data, 0, &nul, &start, &plen), CMD_MORE);
  EXPECT_EQ(set->MeasureParam(data, 3, &nul, &start, &plen), CMD_MORE);
  EXPECT_EQ(set->MeasureParam(data, 4, &nul, &start, &plen), CMD_DONE);
  EXPECT_EQ(plen, 4);
  STRUCT_PrnCmd plugin_missing;
  plugin_missing.nType = 3;
  EXPECT_EQ(set->MeasureParam(data, 4, &plugin_missing, &start, &plen), CMD_DISCARD);
}

TEST_F(CmdTableTest, PluginAnswersOutsideOneToThreeAndOutOfRangeOnesDiscard) {
  auto set = LoadSet(dir_, "[Main]\n");
  auto owned = std::make_unique<STRUCT_PrnCmd>();
  owned->nCmdLen = 1;
  owned->pCmd = std::make_unique<unsigned char[]>(1);
  owned->pCmd[0] = 'P';
  owned->nType = 3;
  STRUCT_PrnCmd* cmd = owned.get();
  set->arSingle.push_back(std::move(owned));
  // The table is used through MatchCommand; reload the dispatch by taking
  // the command in progress directly.
  static int answer;
  static int out_start, out_len;
  cmd->pfnAnalyze = [](unsigned char*, int, int* s, int* l) {
    *s = out_start;
    *l = out_len;
    return answer;
  };
  auto buf = Bytes("Pabcdef");
  int len = 7;
  answer = 0x10002;  // high bits do not count
  out_start = 1;
  out_len = 2;
  set->pCurCmd = cmd;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "adef");  // the start bytes stay, the parameter goes

  // An answer outside 1..3 leaves the parameter's end unknown: the rest is
  // discarded and the command is no longer in progress.
  answer = 7;
  buf = Bytes("Pabc");
  len = 4;
  set->pCurCmd = cmd;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DISCARD);
  EXPECT_EQ(set->pCurCmd, nullptr);
  EXPECT_EQ(len, 0);

  answer = 2;
  out_start = 2;
  out_len = 5;  // beyond the three bytes there are
  buf = Bytes("Pabc");
  len = 4;
  set->pCurCmd = cmd;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DISCARD);
  EXPECT_EQ(len, 0);
  set->pCurCmd = nullptr;
}

TEST_F(CmdTableTest, BarcodeOutputIsTheTextFollowedByTheData) {
  auto set = LoadSet(dir_, "[Main]\n[BARCODE]\n1=3,GS,k,0x02,1,11,1,ID:\n");
  ASSERT_NE(set->pBarcode, nullptr);
  int size = 0;
  EXPECT_FALSE(set->GetBarcodeText(nullptr, size));  // none built yet
  auto buf = Bytes("\x1dk\x02" "12345678tail");
  int len = static_cast<int>(buf.size());
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "tail");
  size = 0;
  EXPECT_TRUE(set->GetBarcodeText(nullptr, size));
  EXPECT_EQ(size, 11);
  unsigned char out[16] = {};
  size = 5;
  EXPECT_TRUE(set->GetBarcodeText(out, size));  // too small: the size is answered
  EXPECT_EQ(size, 11);
  EXPECT_TRUE(set->GetBarcodeText(out, size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 11), "ID:12345678");
}

TEST_F(CmdTableTest, BarcodeWaitsForItsDataAndIgnoresOtherBytes) {
  auto set = LoadSet(dir_, "[Main]\n[BARCODE]\n1=2,GS,k,2\n");
  auto plain = Bytes("Gk");
  int len = 2;
  EXPECT_EQ(set->AnalyzeBarcode(plain.data(), len), CMD_NONE);
  auto partial = Bytes("\x1d");
  len = 1;
  EXPECT_EQ(set->AnalyzeBarcode(partial.data(), len), CMD_MORE);
  auto other = Bytes("\x1dx");
  len = 2;
  EXPECT_EQ(set->AnalyzeBarcode(other.data(), len), CMD_NONE);
  std::vector<unsigned char> buf(32, 0);
  std::memcpy(buf.data(), "\x1dk" "4711", 6);
  len = 6;
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_MORE);
  EXPECT_NE(set->pCurBarcode, nullptr);
  std::memcpy(buf.data() + 6, "\0z", 2);
  len = 8;
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_DONE);
  EXPECT_EQ(Text(buf, len), "z");
  int size = 16;
  unsigned char out[16];
  ASSERT_TRUE(set->GetBarcodeText(out, size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 5), std::string("4711\0", 5));
}

TEST_F(CmdTableTest, InvalidBarcodeEntryLeavesNoBarcode) {
  auto set = LoadSet(dir_, "[Main]\n[BARCODE]\n1=2,GS\n");
  EXPECT_EQ(set->pBarcode, nullptr);
  auto buf = Bytes("\x1dk");
  int len = 2;
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_NONE);
}

TEST_F(CmdTableTest, ClearForgetsEverythingThatReferredToTheTable) {
  auto set = LoadSet(dir_,
                     "[Main]\nS-Num=1\nC-Num=1\n[Single-Command]\n1=2,ESC,N,2\n"
                     "[ChangeLine-Command]\n1=2,CR,LF\n[BARCODE]\n1=1,B,2\n");
  auto buf = Bytes("\x1bNab");
  int len = 4;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_MORE);
  EXPECT_FALSE(set->IsLineEnd('\r'));
  set->Clear();
  EXPECT_EQ(set->pCurCmd, nullptr);
  EXPECT_EQ(set->pBarcode, nullptr);
  EXPECT_EQ(set->nLineEndMatched, 0);
  EXPECT_EQ(set->pLineEndCmd, nullptr);
  EXPECT_TRUE(set->arSingle.empty());
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_NONE);
  EXPECT_FALSE(set->IsLineEnd('\n'));
}

}  // namespace

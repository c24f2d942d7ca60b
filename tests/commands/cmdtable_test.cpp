// The command table: change-line matching, command matching and removal,
// barcodes.
#include "commands/PluginTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class CmdTableTest : public ::testing::Test {
 protected:
  // MatchCommand over a copy of the bytes: the answer, the bytes left and
  // the last command's text.
  struct Outcome {
    int result;
    std::string rest;
    std::string text;
  };
  Outcome Match(RCCmdSet& set, const std::string& bytes) {
    std::vector<unsigned char> buf(bytes.begin(), bytes.end());
    int len = static_cast<int>(buf.size());
    int r = set.MatchCommand(buf.data(), len);
    std::string text;
    if (r == CMD_DONE || r == CMD_MARKER) {
      text.resize(static_cast<size_t>(set.GetLastCmdText(nullptr)));
      set.GetLastCmdText(reinterpret_cast<unsigned char*>(text.data()));
    }
    return {r, std::string(buf.begin(), buf.begin() + len), text};
  }
  poshark_test::WorkFolder work_;
};

TEST_F(CmdTableTest, ChangeLineCommandsMatchAcrossBytesInListOrder) {
  const struct {
    const char* entries;
    std::string bytes;
    std::vector<int> ends;
  } cases[] = {
      // CR before CR LF ends every line; CR LF first never ends on CR (LF
      // never reaches the matcher).
      {"C-Num=2\n[ChangeLine-Command]\n1=1,CR\n2=2,CR,LF\n", "a\rb\r\rc", {1, 3, 4}},
      {"C-Num=2\n[ChangeLine-Command]\n1=2,CR,LF\n2=1,CR\n", "a\rb\r\rc", {}},
      // A broken match starts again with the byte that broke it.
      {"C-Num=1\n[ChangeLine-Command]\n1=3,ESC,d,0x05\n",
       "\x1b"
       "d\x1b"
       "d\x05",
       {4}},
      // A later command takes over when the candidate fails.
      {"C-Num=3\n[ChangeLine-Command]\n1=3,ESC,A,B\n2=3,ESC,A,C\n3=4,ESC,A,D,E\n",
       "\x1b"
       "AC",
       {2}},
      {"C-Num=3\n[ChangeLine-Command]\n1=3,ESC,A,B\n2=3,ESC,A,C\n3=4,ESC,A,D,E\n",
       "\x1b"
       "ADE",
       {3}},
      {"C-Num=3\n[ChangeLine-Command]\n1=3,ESC,A,B\n2=3,ESC,A,C\n3=4,ESC,A,D,E\n",
       "\x1b"
       "ADx\x1b"
       "AB",
       {6}},
      {"C-Num=2\n[ChangeLine-Command]\n1=2,CR\n2=0\n", "a\r\n", {}},  // no valid entry
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entries);
    auto set = work_.LoadSet(std::string("[Main]\n") + c.entries);
    std::vector<int> ends;
    for (size_t i = 0; i < c.bytes.size(); ++i)
      if (set->IsLineEnd(static_cast<unsigned char>(c.bytes[i])))
        ends.push_back(static_cast<int>(i));
    EXPECT_EQ(ends, c.ends);
  }
}

TEST_F(CmdTableTest, SplitsLineAtChangeLineCommandAcrossChunks) {
  auto set = work_.LoadSet("[Main]\nC-Num=1\n[ChangeLine-Command]\n1=3,ESC,d,0x05\n");
  EXPECT_FALSE(set->IsLineEnd(27));   // end of one chunk
  EXPECT_FALSE(set->IsLineEnd('d'));  // next chunk
  EXPECT_TRUE(set->IsLineEnd(5));
  EXPECT_FALSE(set->IsLineEnd(5));
}

TEST_F(CmdTableTest, MatchesRemovesOrKeepsCommandsAndAsksForMoreNearTheEnd) {
  const std::string longAndFixed = "S-Num=2\n[Single-Command]\n1=2,ESC,d,1,3\n2=3,X,Y,Z,1,3\n";
  const std::string group =
      "S-Num=1\nM-Num=1\n[Single-Command]\n1=2,GS,!,1,3,1,single\n[Mutli-Command]\n1=GS-Group,GS,"
      "3\n"
      "[GS-Group]\n1=2,0,V,1,3,0,TRAN_STOP\n2=2,0,!,1,3,1,group\n3=bad\n";
  const std::string firstSecond =
      "S-Num=2\n[Single-Command]\n1=1,ESC,1,1,1,first\n2=2,ESC,@,1,2,1,second\n";
  const std::string secondFirst =
      "S-Num=2\n[Single-Command]\n1=2,ESC,@,1,2,1,second\n2=1,ESC,1,1,1,first\n";
  const struct {
    std::string ini, bytes;
    int result;
    std::string rest, text;
  } cases[] = {
      {longAndFixed,
       "\x1b"
       "d\x05"
       "after",
       CMD_DONE, "after", ""},  // parameter goes too
      {longAndFixed,
       "\x1b"
       "d",
       CMD_MORE,
       "\x1b"
       "d",
       ""},  // parameter missing
      // A three-byte command in the list: one or two bytes left ask for more, even a letter.
      {longAndFixed, "q", CMD_MORE, "q", ""},
      {longAndFixed, "qr", CMD_MORE, "qr", ""},
      {longAndFixed, "qrs", CMD_NONE, "qrs", ""},
      {"S-Num=2\n[Single-Command]\n1=1,A,1,1\n2=3,X,Y,Z,1,3\n", "A", CMD_DONE, "", ""},
      {"S-Num=1\n[Single-Command]\n1=3,ESC,t,0x01,1,1\n",
       "\x1bt\x01"
       "abc",
       CMD_DONE, "abc", ""},
      {"S-Num=1\n[Single-Command]\n1=2,ESC,E,1,0,1,BOLD,TRAN_START\n",
       "\x1b"
       "Ex",
       CMD_MARKER,
       "\x1b"
       "Ex",
       "BOLD"},
      {"S-Num=1\n[Single-Command]\n1=1,FF,0,0\n",
       "\x0c"
       "everything else",
       CMD_DISCARD, "", ""},
      {"S-Num=1\n[Single-Command]\n1=2,ESC,N,2\n", "\x1bNabc", CMD_MORE, "\x1bNabc", ""},
      // List order decides between two matching commands.
      {firstSecond, "\x1b@z", CMD_DONE, "@z", "first"},
      {secondFirst, "\x1b@z", CMD_DONE, "z", "second"},
      // Groups come first and ignore their own first byte.
      {group, "\x1d!\x11x", CMD_DONE, "x", "group"},
      {group, "\x1dV\x01y", CMD_DONE, "y", ""},
      {group, "\x1dQ", CMD_NONE, "\x1dQ", ""},
      {group, "\x1d", CMD_MORE, "\x1d", ""},
      {"M-Num=2\n[Mutli-Command]\n1=Empty,ESC,3\n2=Missing\n[Empty]\n1=x\n",
       "\x1b"
       "abc",
       CMD_NONE,
       "\x1b"
       "abc",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini + " <- " + c.bytes);
    auto set = work_.LoadSet("[Main]\n" + c.ini);
    Outcome got = Match(*set, c.bytes);
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.rest, c.rest);
    EXPECT_EQ(got.text, c.text);
  }
}

TEST_F(CmdTableTest, CommandWaitingForItsParameterGoesOnWithTheNextCall) {
  auto set =
      work_.LoadSet("[Main]\nS-Num=2\n[Single-Command]\n1=2,ESC,N,2\n2=1,d,1,1,0,TRAN_STOP\n");
  std::vector<unsigned char> buf(32, 0xEE);
  std::memcpy(buf.data(), "\x1bNabc", 5);
  int len = 5;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_MORE);
  // More data arrives behind it; the command is not matched again ("d" is
  // part of the parameter).
  std::memcpy(buf.data() + 5, "de\0rest", 7);
  len = 12;
  EXPECT_EQ(set->MatchCommand(buf.data(), len), CMD_DONE);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + len), "rest");
  EXPECT_EQ(set->pLastCmd, set->arSingle[0].get());
  EXPECT_EQ(set->pCurCmd, nullptr);
}

TEST_F(CmdTableTest, BarcodeWaitsForItsDataAndGivesTheTextFollowedByTheData) {
  EXPECT_EQ(work_.LoadSet("[Main]\n[BARCODE]\n1=2,GS\n")->pBarcode, nullptr);  // invalid entry
  auto set = work_.LoadSet("[Main]\n[BARCODE]\n1=3,GS,k,0x02,2,1,ID:\n");
  int size = 0;
  EXPECT_FALSE(set->GetBarcodeText(nullptr, size));  // none built yet
  for (auto [bytes, result] : {std::pair<std::string, int>{"Gk\x02", CMD_NONE},
                               {"\x1d", CMD_MORE},
                               {"\x1dk", CMD_MORE},
                               {"\x1dx\x02", CMD_NONE}}) {
    int len = static_cast<int>(bytes.size());
    EXPECT_EQ(set->AnalyzeBarcode(reinterpret_cast<unsigned char*>(bytes.data()), len), result)
        << bytes;
  }
  // The NUL-terminated data arrives in two chunks.
  std::vector<unsigned char> buf(32, 0xEE);
  std::memcpy(buf.data(),
              "\x1dk\x02"
              "4711",
              7);
  int len = 7;
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_MORE);
  std::memcpy(buf.data() + 7, "\0z", 2);
  len = 9;
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_DONE);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + len), "z");
  unsigned char out[16] = {};
  size = 5;
  EXPECT_TRUE(set->GetBarcodeText(out, size));  // too small: the size is answered
  EXPECT_EQ(size, 8);
  EXPECT_TRUE(set->GetBarcodeText(out, size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 8), std::string("ID:4711\0", 8));
}

TEST_F(CmdTableTest, ClearForgetsEverythingThatReferredToTheTable) {
  auto set = work_.LoadSet(
      "[Main]\nS-Num=1\nC-Num=1\n[Single-Command]\n1=2,ESC,N,2\n"
      "[ChangeLine-Command]\n1=2,CR,LF\n[BARCODE]\n1=1,B,2\n");
  unsigned char buf[] = "\x1bNab";
  int len = 4;
  EXPECT_EQ(set->MatchCommand(buf, len), CMD_MORE);
  EXPECT_FALSE(set->IsLineEnd('\r'));
  set->Clear();
  EXPECT_EQ(set->pCurCmd, nullptr);
  EXPECT_EQ(set->pBarcode, nullptr);
  EXPECT_EQ(set->MatchCommand(buf, len), CMD_NONE);
  EXPECT_FALSE(set->IsLineEnd('\n'));
}

}  // namespace

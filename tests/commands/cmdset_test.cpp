// Command sets: entries of a command file, loading a file, the command and
// barcode matchers, the transaction state, and the listener's catalogue of
// command-set files and the selection of a set.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "commands/PluginTestSupport.h"
#include "commands/PrnCmd.h"
#include "listener/RCLineQueue.h"

using namespace poshark::commands;
using cmdset_test::LoadSet;

namespace {

// The single commands with their count key: "S-Num=2\n[Single-Command]\n1=...".
std::string Singles(const std::vector<std::string>& entries) {
  std::string out = "S-Num=" + std::to_string(entries.size()) + "\n[Single-Command]\n";
  for (size_t i = 0; i < entries.size(); ++i)
    out += std::to_string(i + 1) + "=" + entries[i] + "\n";
  return out;
}

class CmdSetTest : public ::testing::Test {
 protected:
  cmdset_test::TempHome home_;
};

TEST(EntryTest, ByteTokensDecodeNamesHexAndDecimal) {
  // Names are case-blind; four characters "0x.." are hex (a bad digit
  // counts 0); other tokens of more than one character are decimals whose
  // low byte counts, however long (10^22 + 27, 2^32 + 27, 10^23 - 1).
  const std::pair<int, std::vector<const char*>> cases[] = {
      {27, {"ESC", "esc", "27", "0X1B", "0027", "283", "10000000000000000000027", "4294967323"}},
      {16, {"0x1G", "sle"}},
      {1, {"0xg1"}},
      {0, {"DC1", "256", "ESCAPE", ""}},
      {255, {"255", "-1", "99999999999999999999999"}},
      {12, {"12ab"}},
      {'1', {"1"}},
      {',', {","}},
  };
  for (const auto& [byte, tokens] : cases)
    for (const char* token : tokens) EXPECT_EQ(DecodeToken(token), byte) << token;
  EXPECT_EQ(std::tuple(ParseTranKeyword("tran_stop"), ParseTranKeyword("Tran_Void"),
                       ParseTranKeyword(" TRAN_STOP"), ParseTranKeyword("TRAN_STOPX")),
            std::tuple(TRAN_STOP, TRAN_VOID, TRAN_NONE, TRAN_NONE));
}

TEST(EntryTest, CommandEntryFields) {
  // entry, SpaceCount, type, parameter, text, transaction keyword
  const std::tuple<const char*, int, int, int, std::string, int> cases[] = {
      {"2,GS,V,1,3,0,TRAN_STOP", 1, 1, 3, "", TRAN_STOP},
      {"1,ESC,2,1,\"Total: \",tran_start", 1, 2, 0, "Total: ", TRAN_START},  // no parameter
      {"1,A,1,1,1", 1, 1, 1, "", TRAN_NONE},
      {"1,A,1,1,0,hello,TRAN_VOID", 1, 1, 1, "", TRAN_NONE},  // switch off: next is the keyword
      {"1,A,1,1,1,\"x", 1, 1, 1, "\"x", TRAN_NONE},
      {"1,ESC,7,x", 1, 7, 0, "", TRAN_NONE},  // other types read and ignore the parameter
      // A horizontal tab's text is SpaceCount spaces (1 outside 1..12).
      {"1,HT,1,1,1,ignored,TRAN_VOID", 4, 1, 1, "    ", TRAN_VOID},
      {"1,9,1,1", 12, 1, 1, "", TRAN_NONE},  // "9" is the character '9'
      {"1,0x09,1,1", 12, 1, 1, std::string(12, ' '), TRAN_NONE},
  };
  for (const auto& [entry, spaces, type, param, text, tran] : cases) {
    auto cmd = ParseCommandEntry(entry, spaces, nullptr);
    ASSERT_TRUE(cmd) << entry;
    EXPECT_EQ(std::tuple(cmd->nType, type == 1 ? cmd->nParam : param,
                         std::string(cmd->pText.get(), cmd->nTextLen), cmd->nTran),
              std::tuple(type, param, text, tran))
        << entry;
  }
  for (const char* entry : {"", "2,ESC", "2,ESC,,1,3", "1,ESC", "1,ESC,1", "1,ESC,0,", ",ESC,1,2",
                            "0,1,2", "-3,A,B,C,1,1", "99999,A,1,1"})
    EXPECT_FALSE(ParseCommandEntry(entry, 1, nullptr)) << entry;
  for (const char* entry : {"2,CR", "0", ""}) EXPECT_FALSE(ParseChangeLineEntry(entry)) << entry;
  std::string section;
  unsigned char lead = 0;
  int count = 0;
  ASSERT_TRUE(ParseGroupEntry("ESC-Commands,ESC,12", &section, &lead, &count));
  EXPECT_EQ(std::tuple(section, lead, count), std::tuple("ESC-Commands", 27, 12));
  for (const char* entry : {"ESC-Commands,ESC", ",ESC,3", "S,,3"})
    EXPECT_FALSE(ParseGroupEntry(entry, &section, &lead, &count)) << entry;
}

TEST_F(CmdSetTest, LoadReadsKeysCaseBlindKeepsRangesAndLeavesInvalidEntriesOut) {
  // [Main] keys, other sections; name, graph, sender, wait, tab text length
  const std::tuple<std::string, std::string, std::string, bool, bool, int, int> cases[] = {
      {"", "", "", false, false, 30, 1},  // missing keys: defaults
      {"module_name=Epson TM\nBGRAPHMODE=1\nbPOSTextSenderMode=7x\n", "[tab]\nspacecount=4\n",
       "Epson TM", true, true, 30, 4},
      {"", "[STOP_EVENT]\nWaitTime=0\n[TAB]\nSpaceCount=0\n", "", false, false, 1, 1},
      {"", "[STOP_EVENT]\nWaitTime=-40\n[TAB]\nSpaceCount=13\n", "", false, false, 1, 1},
      {"", "[STOP_EVENT]\nWaitTime=601\n[TAB]\nSpaceCount=12\n", "", false, false, 600, 12},
  };
  for (const auto& [keys, rest, name, graph, sender, wait, spaces] : cases) {
    auto set = LoadSet(home_, "[MAIN]\ns-num=1\n" + keys + "[Single-Command]\n1=1,HT,1,1\n" + rest);
    ASSERT_EQ(set->arSingle.size(), 1u);
    EXPECT_EQ(std::tuple(set->strName, set->bGraphMode, set->bPOSTextSenderMode,
                         set->nWaitTime.load(), set->arSingle[0]->nTextLen),
              std::tuple(name, graph, sender, wait, spaces))
        << keys + rest;
  }
  auto set =
      LoadSet(home_,
              "[Main]\nS-Num=7\nC-Num=3\n"
              "[Single-Command]\n7=1,F,1,1\n1=1,A,1,1\n01=1,Z,1,1\n2=\n3=2,B\n4=1,C,3,M\n"
              "5=1,D,2\n6=1,E,0,x\n8=1,G,1,1\n[ChangeLine-Command]\n1=1,CR\n2=x\n3=2,ESC,J\n");
  std::string order;
  for (const auto& cmd : set->arSingle) order += static_cast<char>(cmd->pCmd[0]);
  EXPECT_EQ(order, "ADEF");  // 8 lies beyond S-Num
  EXPECT_TRUE(set->arChangeLine.size() == 2u && set->arChangeLine[1]->nCmdLen == 2);
  // Huge counts do not hang.
  set = LoadSet(home_,
                "[Main]\nS-Num=2147483647\nM-Num=2147483647\n[Single-Command]\n1=1,A,1,1\n"
                "[Mutli-Command]\n1=G,ESC,2147483647\n[G]\n5=2,ESC,x,1,2\n");
  EXPECT_TRUE(set->arMulti.size() == 1u && set->arMulti[0]->arCmds.size() == 1u);
  RCCmdSet missing;
  EXPECT_TRUE(missing.Load(home_ / "nothing-here.ini") && missing.nWaitTime == 30);
}

TEST_F(CmdSetTest, KeywordsClearTheAutomaticStartAndStopUntilTheNextLoad) {
  const std::tuple<std::string, bool, bool> cases[] = {
      // set, bAutoStart, bStopEvent
      {Singles({"1,A,1,1,0,TRAN_VOID"}), true, true},
      {Singles({"1,A,1,1,0,tran_start"}), false, true},
      // The barcode's keyword counts too, although the barcode never reports it.
      {"[BARCODE]\n1=1,B,1,4,0,TRAN_STOP\n", true, false},
      {"M-Num=1\n[Mutli-Command]\n1=G,ESC,1\n[G]\n1=2,ESC,i,1,2,0,TRAN_STOP\n", true, false},
  };
  RCCmdSet set;
  for (const auto& [ini, autoStart, stopEvent] : cases) {
    set.Load(home_.CommandSet("a.ini", std::string("[Main]\n") + ini));
    EXPECT_EQ(set.bAutoStart, autoStart) << ini;
    EXPECT_EQ(set.bStopEvent, stopEvent) << ini;
    set.bTranClosed = false;
    set.nIdleCount = 7;
  }
  // A new file describes a new stream: nothing of the set before stays.
  set.Load(home_.CommandSet("b.ini", "[Main]\nModule_Name=B\n"));
  EXPECT_TRUE(set.bStopEvent);
  EXPECT_EQ(set.nIdleCount, 0);
  EXPECT_TRUE(set.TakeAutoStart());
}

// MatchCommand over a copy of the bytes: the answer, the bytes left and the
// last command's text.
struct Outcome {
  int result;
  std::string rest, text;
  bool operator==(const Outcome&) const = default;
};
Outcome Match(RCCmdSet& set, const std::string& bytes) {
  std::vector<unsigned char> buf(bytes.begin(), bytes.end());
  int len = static_cast<int>(buf.size());
  int r = set.MatchCommand(buf.data(), len);
  std::string text(static_cast<size_t>(set.GetLastCmdText(nullptr)), '\0');
  if (r == CMD_DONE || r == CMD_MARKER)
    set.GetLastCmdText(reinterpret_cast<unsigned char*>(text.data()));
  else
    text.clear();
  return {r, std::string(buf.begin(), buf.begin() + len), text};
}

TEST_F(CmdSetTest, CommandsTakeTheirParametersKeepMarkersAndDiscard) {
  const std::string kLong = Singles({"2,ESC,d,1,3", "3,X,Y,Z,1,3"});
  const std::tuple<std::string, std::string, Outcome> cases[] = {
      // set, bytes, outcome
      {kLong, "\033d\005after", {CMD_DONE, "after", ""}},  // the parameter goes too
      {kLong, "\033d", {CMD_MORE, "\033d", ""}},           // parameter missing
      // A three-byte command in the list: one or two bytes left ask for more.
      {kLong, "qr", {CMD_MORE, "qr", ""}},
      {kLong, "qrs", {CMD_NONE, "qrs", ""}},
      {Singles({"3,ESC,t,0x01,1,1"}), "\x1bt\001abc", {CMD_DONE, "abc", ""}},
      {Singles({"2,ESC,E,1,0,1,BOLD,TRAN_START"}), "\033Ex", {CMD_MARKER, "\033Ex", "BOLD"}},
      {Singles({"1,FF,0,0"}), "\014everything else", {CMD_DISCARD, "", ""}},
      {Singles({"2,ESC,N,2"}), "\x1bNabc", {CMD_MORE, "\x1bNabc", ""}},
      {Singles({"2,ESC,N,2,1,x"}), std::string("\x1bNab\0c", 6), {CMD_DONE, "c", "x"}},
      {"S-Num=1\nM-Num=1\n[Single-Command]\n1=2,GS,!,1,3,1,single\n[Mutli-Command]\n1=G,GS,2\n"
       "[G]\n1=2,0,!,1,3,1,group\n2=bad\n",
       "\x1d!\x11x",
       {CMD_DONE, "x", "group"}},
  };
  for (const auto& [ini, bytes, want] : cases) {
    SCOPED_TRACE(ini + " <- " + bytes);
    auto set = LoadSet(home_, "[Main]\n" + ini);
    EXPECT_EQ(Match(*set, bytes), want);
  }
  // A command waiting for its parameter goes on with the next call: "d" is
  // part of the parameter, not a command of its own.
  auto set = LoadSet(home_, "[Main]\n" + Singles({"2,ESC,N,2", "1,d,1,1"}));
  EXPECT_EQ(Match(*set, "\x1bNabc").result, CMD_MORE);
  EXPECT_EQ(Match(*set, std::string("\x1bNabcde\0rest", 12)), (Outcome{CMD_DONE, "rest", ""}));
  EXPECT_EQ(set->pLastCmd, set->arSingle[0].get());
  // Clear forgets the command in progress, the table and the change-line state.
  EXPECT_EQ(Match(*set, "\x1bNab").result, CMD_MORE);
  set->Clear();
  EXPECT_EQ(Match(*set, "\x1bNab").result, CMD_NONE);
}

// The first-byte dispatch of MatchCommand answers what a plain walk over the
// lists answers: groups with the lead byte first, then the singles; a
// command longer than the bytes left answers "more data" on the spot.
int ReferenceMatch(const RCCmdSet& set, const unsigned char* data, int len,
                   const STRUCT_PrnCmd** found) {
  *found = nullptr;
  auto check = [&](const STRUCT_PrnCmd& c, int from) {
    if (c.nCmdLen > len) return CMD_MORE;
    if (std::memcmp(c.pCmd.get() + from, data + from, c.nCmdLen - from) != 0) return CMD_NONE;
    *found = &c;
    return CMD_DONE;
  };
  for (const auto& group : set.arMulti)
    for (const auto& c : group->arCmds)
      if (int r = group->byLead == data[0] ? check(*c, 1) : CMD_NONE; r != CMD_NONE) return r;
  for (const auto& c : set.arSingle)
    if (int r = check(*c, 0); r != CMD_NONE) return r;
  return CMD_NONE;
}

TEST_F(CmdSetTest, DispatchMatchesThePlainListWalkOnRandomSetsAndData) {
  std::mt19937 rng(42);
  auto pick = [&] { return "ABCD"[rng() % 4]; };
  auto command = [&] {  // fixed length, no parameter
    int n = 1 + static_cast<int>(rng() % 4);
    std::string entry = std::to_string(n);
    for (int i = 0; i < n; ++i) entry += std::string(",") + pick();
    return entry + ",1," + std::to_string(n) + "\n";
  };
  for (int round = 0; round < 60; ++round) {
    int singles = 1 + static_cast<int>(rng() % 12), groups = static_cast<int>(rng() % 4);
    std::string ini = "[Main]\nS-Num=" + std::to_string(singles) +
                      "\nM-Num=" + std::to_string(groups) + "\n[Single-Command]\n";
    for (int i = 1; i <= singles; ++i) ini += std::to_string(i) + "=" + command();
    ini += "[Mutli-Command]\n";
    for (int g = 1; g <= groups; ++g)
      ini += std::to_string(g) + "=G" + std::to_string(g) + "," + pick() + ",6\n";
    for (int g = 1; g <= groups; ++g) {
      ini += "[G" + std::to_string(g) + "]\n";
      for (int i = 1; i <= 6; ++i) ini += std::to_string(i) + "=" + command();
    }
    auto set = LoadSet(home_, ini);
    for (int probe = 0; probe < 400; ++probe) {
      std::vector<unsigned char> data(8), buf;
      for (auto& b : data) b = static_cast<unsigned char>(pick());
      int len = 1 + static_cast<int>(rng() % data.size()), got_len = len;
      const STRUCT_PrnCmd* cmd = nullptr;
      int expected = ReferenceMatch(*set, data.data(), len, &cmd);
      buf = data;
      ASSERT_EQ(set->MatchCommand(buf.data(), got_len), expected)
          << "round " << round << " probe " << probe;
      int taken = expected == CMD_DONE ? cmd->nCmdLen : 0;
      EXPECT_TRUE(!cmd || set->pLastCmd == cmd);
      ASSERT_EQ(got_len, len - taken);
      EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + taken, got_len));
    }
  }
}

TEST_F(CmdSetTest, BarcodeWaitsForItsDataAndGivesTheTextFollowedByTheData) {
  EXPECT_EQ(LoadSet(home_, "[Main]\n[BARCODE]\n1=2,GS\n")->pBarcode, nullptr);  // invalid entry
  auto set = LoadSet(home_, "[Main]\n[BARCODE]\n1=3,GS,k,0x02,2,1,ID:\n");
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
  std::memcpy(buf.data(), "\x1dk\0024711\0z", 9);
  int len = 7;
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_MORE);
  len = 9;
  EXPECT_EQ(set->AnalyzeBarcode(buf.data(), len), CMD_DONE);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + len), "z");
  unsigned char out[16] = {};
  size = 5;
  EXPECT_TRUE(set->GetBarcodeText(out, size) && size == 8);  // too small: the size is answered
  EXPECT_TRUE(set->GetBarcodeText(out, size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 8), std::string("ID:4711\0", 8));
}

TEST_F(CmdSetTest, IdleTickClosesAfterWaitTimeSecondsOnce) {
  auto set = LoadSet(home_, "[STOP_EVENT]\nWaitTime=3\n");
  EXPECT_FALSE(set->IdleTick());  // closed: nothing to stop
  ASSERT_TRUE(set->TakeAutoStart());
  std::string ticks;
  for (int i = 0; i < 8; ++i) {
    if (i == 2) set->ResetIdle();  // data arrived
    ticks += set->IdleTick() ? 'S' : '.';
  }
  EXPECT_EQ(ticks, "....S...");
  EXPECT_TRUE(set->TakeAutoStart());  // the next text opens a new transaction
}

// Reaches the set the listener loaded.
class Listener : public RCPosHark {
 public:
  using RCPosHark::RCPosHark;
  RCCmdSet* CmdSet() { return CurSet(); }
};

TEST(Catalog, ListsIniFilesInNameOrderAndSelectsByNumberOrByName) {
  cmdset_test::TempHome home;
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
  EXPECT_TRUE(listener.GetCmdSetPath(2, path) && path == home.CommandsDir() + "/c.ini");
  // Out of range: nothing answered.
  EXPECT_FALSE(listener.GetCmdSetPath(3, path) || listener.GetCmdSetName(-1, name, graph));
  EXPECT_EQ(listener.GetCurCmdSetNum(), -1);  // nothing loaded yet
  EXPECT_FALSE(listener.IsGraphMode() || listener.IsPOSTextSenderMode());
  // Name queries are case-sensitive, selection by name is not.
  EXPECT_FALSE(listener.IsGraphByName("pos1") || listener.IsSoftwarePOSByName("pos1"));
  EXPECT_TRUE(listener.IsGraphByName("POS1") && listener.IsSoftwarePOSByName("POS1"));
  EXPECT_TRUE(listener.SelectCmdSet(std::string("pos1")) && listener.GetCurCmdSetName(name));
  EXPECT_EQ(std::tuple(std::string(name), listener.GetCurCmdSetNum(), listener.IsGraphMode(),
                       listener.IsPOSTextSenderMode()),
            std::tuple("POS1", 1, true, true));
  EXPECT_FALSE(listener.SelectCmdSet(std::string("nobody")) || listener.SelectCmdSet(3));
  EXPECT_EQ(listener.GetCurCmdSetNum(), 1);  // unchanged
  // Every selection loads into the one current object.
  RCCmdSet* set = listener.CmdSet();
  EXPECT_TRUE(listener.SelectCmdSet(0));
  EXPECT_TRUE(listener.CmdSet() == set);
  EXPECT_EQ(set->arSingle.size(), 1u);
  EXPECT_TRUE(listener.SelectCmdSet(2) && set->arSingle.empty() && set->nWaitTime == 5);
  // A set without a name is loaded but has no current name or number.
  EXPECT_FALSE(listener.GetCurCmdSetName(nullptr));
  EXPECT_EQ(listener.GetCurCmdSetNum(), -1);
}

}  // namespace

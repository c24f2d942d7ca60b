// Code tables followed by a listener fed by its host: switches mid-line,
// select commands split over calls and over a line-end byte, resets, unknown
// table numbers, the state across runs, and the catchers on the text.
#include <gtest/gtest.h>
#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>
#include <poshark/RCPosHark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/LineCollector.h"
#include "support/TempHome.h"

using poshark::testing::LineCollector;
using poshark::testing::TempHome;

namespace {

// LF ends a line; ESC t n selects a table, ESC @ resets, ESC d n feeds.
constexpr const char* kCommands =
    "[Main]\nModule_Name=Tables\nS-Num=2\nM-Num=1\n"
    "[Single-Command]\n1=1,LF,1,1\n2=1,CR,1,1\n"
    "[Mutli-Command]\n1=ESC-Commands,ESC,3\n"
    "[ESC-Commands]\n1=2,ESC,@,1,2\n2=2,ESC,t,1,3\n3=2,ESC,d,1,3\n";
// Tables 10 and 13 are line-end bytes.
constexpr const char* kTables =
    "[CodeTables]\nSelect=ESC-Commands,2,1\nReset=ESC-Commands,1\nStart=0\n"
    "0=ibm-437\n10=ibm-866\n13=ibm-862\n14=ibm-737\n16=windows-1252\n18=ibm-852\n";

std::string Esc(char c, int n) { return std::string{'\x1b', c, static_cast<char>(n)}; }

class CodeTablesFeed : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.CommandSet("Tables.ini", std::string(kCommands) + kTables);
    std::string noStart = std::string(kCommands) + kTables;
    noStart.replace(noStart.find("Start=0\n"), 8, "");
    home_.CommandSet("NoStart.ini", noStart.replace(noStart.find("=Tables"), 7, "=NoStart"));
    home_.CommandSet("Plain.ini", std::string(kCommands).replace(
                                      std::string(kCommands).find("Tables"), 6, "Plain"));
  }
  // A listener on the named set, code tables on or off, started for a host feed.
  std::unique_ptr<RCPosHark> Start(const char* pszSet, bool bTables,
                                   const char* pszHostPage = nullptr) {
    auto l = std::make_unique<RCPosHark>(1);
    EXPECT_TRUE(l->SelectCmdSet(std::string(pszSet)));
    l->EnableCodeTables(bTables, pszHostPage);
    l->SetGateOpenTime(0);
    l->ListenStart(&LineCollector::Callback, true);
    return l;
  }
  // Feeds each piece in its own call, ends the input, answers the lines.
  std::vector<std::string> Feed(RCPosHark& l, const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces) {
      std::string copy = piece;
      l.GotData(static_cast<int>(copy.size()), reinterpret_cast<unsigned char*>(copy.data()));
    }
    EXPECT_TRUE(l.EndOfInput(5000));
    auto lines = lines_.Texts();
    lines_.Reset();
    return lines;
  }

  TempHome home_;
  LineCollector lines_;
};

TEST_F(CodeTablesFeed, SwitchesMidLineGiveEachPieceItsPage) {
  auto l = Start("Tables", true);
  EXPECT_TRUE(l->IsUtf8Text());
  // é in 1252, Ω in 737, Ż in 852, ═ in 437 (the start table), on one line.
  auto lines = Feed(*l, {"Caf" + Esc('t', 16) + "\xE9 " + Esc('t', 14) + "\x97 " + Esc('t', 18) +
                         "\xBD " + Esc('t', 0) + "\xCD\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"Café Ω Ż ═"}));
}

TEST_F(CodeTablesFeed, ASelectSplitOverCallsAndOverALineEndByteStaysInItsLine) {
  auto l = Start("Tables", true);
  // ESC t 10 (cp866) and ESC t 13 (cp862): their numbers are LF and CR.
  auto lines = Feed(*l, {"A" + Esc('t', 10) +
                             "\x80"
                             "B\n",
                         "C\x1b", "t",
                         "\r\x80"
                         "D\n",
                         "E\x1b", "t\n", "\x81\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"AАB", "CאD", "EБ"}));
}

TEST_F(CodeTablesFeed, AResetReturnsToTheStartTableAndEveryRunStartsThere) {
  auto l = Start("Tables", true);
  auto lines = Feed(*l, {Esc('t', 10) + "\x80\n", "\x80" + Esc('@', 0).substr(0, 2) + "\x80\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"А", "АÇ"}));
  // The table survives the end of a pass and the lines between.
  lines = Feed(*l, {Esc('t', 10) + "\n"});
  lines = Feed(*l, {"\x80\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"А"}));
  // A new run starts in the start table.
  l->ListenStop();
  l->ListenStart(&LineCollector::Callback, true);
  lines = Feed(*l, {"\x80\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"Ç"}));
}

TEST_F(CodeTablesFeed, WithoutAStartTableTheHostsPageReadsTheTextBeforeASelectAndAfterAReset) {
  auto l = Start("NoStart", true, "windows-1252");
  auto lines =
      Feed(*l, {"Caf\xE9 " + Esc('t', 10) + "\x80 " + Esc('@', 0).substr(0, 2) + "\xE9\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"Café А é"}));
}

TEST_F(CodeTablesFeed, DoubleByteModeReadsItsPageUntilItEndsOrAResetComes) {
  home_.CommandSet("Kanji.ini",
                   "[Main]\nModule_Name=Kanji\nS-Num=1\nM-Num=2\n[Single-Command]\n1=1,LF,1,1\n"
                   "[Mutli-Command]\n1=ESC-Commands,ESC,2\n2=FS-Commands,FS,2\n"
                   "[ESC-Commands]\n1=2,ESC,@,1,2\n2=2,ESC,t,1,3\n"
                   "[FS-Commands]\n1=2,FS,&,1,2\n2=2,FS,.,1,2\n"
                   "[CodeTables]\nSelect=ESC-Commands,2,1\nReset=ESC-Commands,1\n"
                   "DoubleOn=FS-Commands,1\nDoubleOff=FS-Commands,2\nDoublePage=windows-936\n"
                   "16=windows-1252\n");
  auto l = Start("Kanji", true, "ibm-437");
  // 中 and 文 in GBK; é in 1252 after FS .; Ç in the host's page after ESC @.
  auto lines =
      Feed(*l, {"A\x1c&\xD6\xD0\xCE\xC4\x1c." + Esc('t', 16) + "\xE9\x1c&\xD6\xD0\x1b@\x80\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"A中文é中Ç"}));
}

TEST_F(CodeTablesFeed, AnUnknownTableKeepsThePageInForceAndIsCounted) {
  auto l = Start("Tables", true);
  auto lines = Feed(*l, {Esc('t', 10) + "\x80" + Esc('t', 99) + "\x80" + Esc('t', 99) + "\x81\n"});
  EXPECT_EQ(lines, (std::vector<std::string>{"ААБ"}));
  EXPECT_EQ(l->GetUnknownTableCount(99), 2u);
  EXPECT_EQ(l->GetUnknownTableCount(10), 0u);
  EXPECT_EQ(l->GetUnknownTableCount(-1), 2u);
  EXPECT_EQ(l->GetUnknownTableCount(256), 0u);
}

TEST_F(CodeTablesFeed, WithoutTablesEveryByteIsDeliveredAsBefore) {
  const std::vector<std::string> stream = {"Z\nA" + Esc('t', 16) + "\xE9\xC9\n", "B" + Esc('t', 10),
                                           "\x80" + Esc('d', 3) + "\n",
                                           Esc('@', 0).substr(0, 2) + "\x81x\n"};
  // Lines as the set cuts them without tables: ESC t LF ends its line.
  const std::vector<std::string> raw = {"Z", "A\xE9\xC9", "B", "\x80", "\x81x"};
  {
    auto l = Start("Plain", true);  // the host asks, the set has none
    EXPECT_FALSE(l->IsUtf8Text());
    EXPECT_EQ(Feed(*l, stream), raw);
  }
  {
    auto l = Start("Tables", false);  // the set has them, the host does not ask
    EXPECT_FALSE(l->IsUtf8Text());
    EXPECT_EQ(Feed(*l, stream), raw);
    EXPECT_EQ(l->GetUnknownTableCount(99), 0u);
  }
}

TEST_F(CodeTablesFeed, CatchersMatchUtf8KeysOnTextFromThreeTables) {
  auto l = Start("Tables", true);
  // Greek (737), Cyrillic (866) and Polish (852) on one line.
  auto lines = Feed(*l, {Esc('t', 14) + "\x92\x80\x81\x84\x90\x8C\x80 " + Esc('t', 10) +
                         "\x91\xE3\xAC\xAC\xA0 " + Esc('t', 18) + "\xBD\xA2\x88\x86\n"});
  ASSERT_EQ(lines, (std::vector<std::string>{"ΤΑΒΕΡΝΑ Сумма Żółć"}));
  const std::string& line = lines[0];

  // A keyword from one table catches the text of the other two after it;
  // colour keys mark each word.
  KeyDataCatcher keys;
  ASSERT_TRUE(keys.AddKeyWord("ΤΑΒΕΡΝΑ", POSHARK_CATCH_TEXT | POSHARK_CATCH_TEXT_SPACES, false, 0,
                              nullptr, 2, 0, '.', ',', 0, 0, 0, false, SYSTEMTIME{}, SYSTEMTIME{},
                              false, nullptr));
  keys.ReBuildGroupFromAll();
  int nKeys = 0;
  keys.FindKeyData(line.c_str(), static_cast<int>(line.size()), nKeys);
  STRUCT_CatchData text{};
  STRUCT_AlarmData keyAlarm{};
  STRUCT_ColorKeyRange keyRange{};
  ASSERT_EQ(keys.GetKeyData(&text, &keyAlarm, &keyRange, 1), 1);
  EXPECT_STREQ(text.pszData, "Сумма Żółć");
  std::free(text.pszData);

  ColorKeyCatcher colours;
  const char* const kKeys[] = {"ΤΑΒΕΡΝΑ", "Сумма", "Żółć"};
  for (const char* pszKey : kKeys) {
    ASSERT_TRUE(colours.AddKeyWord(pszKey, nullptr, 12, -1, 1, 0, 0, false, SYSTEMTIME{},
                                   SYSTEMTIME{}, false, nullptr));
  }
  int nColours = 0;
  colours.FindKeyData(line.c_str(), static_cast<int>(line.size()), nColours, SYSTEMTIME{}, 0);
  ASSERT_EQ(nColours, 3);
  std::vector<STRUCT_CatchData> marks(3);
  std::vector<STRUCT_AlarmData> alarms(3);
  std::vector<STRUCT_ColorKeyRange> ranges(3);
  ASSERT_EQ(colours.GetKeyData(marks.data(), alarms.data(), ranges.data(), 3), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(line.substr(static_cast<size_t>(ranges[i].nStart),
                          static_cast<size_t>(ranges[i].nEnd - ranges[i].nStart)),
              kKeys[i]);
  }
}

}  // namespace

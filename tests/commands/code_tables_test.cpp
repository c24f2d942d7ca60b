// Code tables of a command set: the [CodeTables] section, its faults, the
// pages, and the look-back that keeps a select command's number in its line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/PluginTestSupport.h"
#include "commands/RCCmdSet.h"

using cmdset_test::LoadSet;
using poshark::commands::AppendUtf8;

namespace {

// ESC t n selects, ESC @ resets, FS & / FS . switch double-byte mode.
std::string SetWith(const std::string& tables) {
  return "[Main]\nS-Num=1\nM-Num=2\n"
         "[Single-Command]\n1=1,LF,1,1\n"
         "[Mutli-Command]\n1=ESC-Commands,ESC,3\n2=FS-Commands,FS,2\n"
         "[ESC-Commands]\n1=2,ESC,@,1,2\n2=2,ESC,t,1,3\n3=2,ESC,*,2\n"
         "[FS-Commands]\n1=2,FS,&,1,2\n2=2,FS,.,1,2\n"
         "[CodeTables]\n" +
         tables;
}

const char* const kGood =
    "Select=ESC-Commands,2,1\nReset=ESC-Commands,1\nStart=0\n"
    "0=ibm-437\n16=windows-1252\n17=ibm-866\n13=ibm-857,0xD5=U+20AC, 0xd6=U+1F600\n"
    "DoubleOn=FS-Commands,1\nDoubleOff=FS-Commands,2\nDoublePage=windows-936\n";

class CodeTablesTest : public ::testing::Test {
 protected:
  cmdset_test::TempHome home_;
};

TEST_F(CodeTablesTest, SectionNamesCommandsAndPages) {
  auto set = LoadSet(home_, SetWith(kGood));
  const auto& tables = set->tables;
  ASSERT_TRUE(tables.Valid()) << (tables.Errors().empty() ? "" : tables.Errors()[0]);
  EXPECT_EQ(tables.StartTable(), 0);
  ASSERT_NE(tables.Page(17), nullptr);
  EXPECT_EQ(tables.Page(18), nullptr);
  ASSERT_NE(tables.DoublePage(), nullptr);

  // The roles sit on the commands named, and only there.
  const auto& esc = set->arMulti[0]->arCmds;
  const auto& fs = set->arMulti[1]->arCmds;
  EXPECT_EQ(esc[0]->tableRole, TableRole::kReset);
  EXPECT_EQ(esc[1]->tableRole, TableRole::kSelect);
  EXPECT_EQ(esc[2]->tableRole, TableRole::kNone);
  EXPECT_EQ(fs[0]->tableRole, TableRole::kDoubleOn);
  EXPECT_EQ(fs[1]->tableRole, TableRole::kDoubleOff);

  // Bytes below 0x80 stand for themselves; the high half is the page's.
  std::string out;
  const unsigned char bytes[] = {'A', 0x80, 0xC9, 'z'};
  AppendUtf8(*tables.Page(17), bytes, 4, &out);
  EXPECT_EQ(out, "A\xD0\x90\xE2\x95\x94z");  // А ╔ in cp866
  // Bytes named after the page read as they say; the others as ICU reads them.
  out.clear();
  const unsigned char euro[] = {0xD5, 0xD6, 0x80};
  AppendUtf8(*tables.Page(13), euro, 3, &out);
  EXPECT_EQ(out, "\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\x87");  // € 😀 Ç
  out.clear();
  const unsigned char gb[] = {0xD6, 0xD0, '1'};
  AppendUtf8(*tables.DoublePage(), gb, 3, &out);
  EXPECT_EQ(out,
            "\xE4\xB8\xAD"
            "1");  // 中
}

TEST_F(CodeTablesTest, ASetWithoutTheSectionHasNoTablesAndNoFaults) {
  auto set = LoadSet(home_, "[Main]\nS-Num=1\n[Single-Command]\n1=2,ESC,t,1,3\n");
  EXPECT_FALSE(set->tables.Valid());
  EXPECT_TRUE(set->tables.Errors().empty());
  set->tables.SetFollow(true);
  EXPECT_FALSE(set->tables.Following());
  EXPECT_EQ(set->arSingle[0]->tableRole, TableRole::kNone);
}

TEST_F(CodeTablesTest, EachFaultIsNamedWithFileSectionAndKeyAndTurnsTheTablesOff) {
  // [CodeTables] content, the key the message names, a part of the message.
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"0=ibm-437\n", "Select", "missing"},
      {"Select=ESC-Commands,2\n0=ibm-437\n", "Select", "section,entry,parameter byte"},
      {"Select=ESC-Commands,9,1\n0=ibm-437\n", "Select", "no valid entry 9"},
      {"Select=Nowhere,2,1\n0=ibm-437\n", "Select", "no valid entry 2"},
      {"Select=ESC-Commands,2,2\n0=ibm-437\n", "Select", "1 fixed parameter byte"},
      {"Select=ESC-Commands,3,1\n0=ibm-437\n", "Select", "0 fixed parameter byte"},
      {"Select=ESC-Commands,2,1\n0=no-such-page\n", "0", "unknown code page \"no-such-page\""},
      {"Select=ESC-Commands,2,1\n0=ibm-437\n300=ibm-850\n", "300", "unknown key"},
      {"Select=ESC-Commands,2,1\nPages=ibm-850\n0=ibm-437\n", "Pages", "unknown key"},
      {"Select=ESC-Commands,2,1\n0=ibm-437\nStart=5\n", "Start", "table 5 has no page"},
      {"Select=ESC-Commands,2,1\n0=ibm-437\nStart=x\n", "Start", "0 to 255"},
      {"Select=ESC-Commands,2,1\nReset=ESC-Commands,2\n0=ibm-437\n", "Reset", "already"},
      {"Select=ESC-Commands,2,1\nDoubleOn=FS-Commands,1\n0=ibm-437\n", "DoubleOn", "DoublePage"},
      {"Select=ESC-Commands,2,1\n0=ibm-437\nDoublePage=\n", "DoublePage", "unknown code page"},
      {"Select=ESC-Commands,2,1\n0=ibm-437,0xD5\n", "0", "expected 0xHH=U+XXXX"},
      {"Select=ESC-Commands,2,1\n0=ibm-437,0x41=U+0042\n", "0", "a byte from 0x80"},
      {"Select=ESC-Commands,2,1\n0=ibm-437,0xD5=U+D800\n", "0", "0xD5=U+D800"},
      {"Select=ESC-Commands,2,1\n0=windows-936,0xD5=U+20AC\n", "0", "single-byte page"},
  };
  for (const auto& [section, key, part] : cases) {
    std::string path = home_.CommandSet("Bad.ini", SetWith(section));
    RCCmdSet set;
    set.Load(path);
    ASSERT_FALSE(set.tables.Errors().empty()) << section;
    const std::string& error = set.tables.Errors()[0];
    EXPECT_EQ(error.rfind(path + ": [CodeTables] " + key + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(part), std::string::npos) << error;
    EXPECT_FALSE(set.tables.Valid()) << section;
    set.tables.SetFollow(true);
    EXPECT_FALSE(set.tables.Following()) << section;
    // No command keeps a role when the tables are off.
    for (const auto& group : set.arMulti)
      for (const auto& cmd : group->arCmds) EXPECT_EQ(cmd->tableRole, TableRole::kNone) << section;
  }
}

TEST_F(CodeTablesTest, GraphModeSetsRefuseTables) {
  std::string content = SetWith(kGood);
  content.insert(content.find("S-Num"), "bGraphMode=1\n");
  auto set = LoadSet(home_, content);
  ASSERT_EQ(set->tables.Errors().size(), 1u);
  EXPECT_NE(set->tables.Errors()[0].find("graph-mode"), std::string::npos);
  EXPECT_FALSE(set->tables.Valid());
}

TEST_F(CodeTablesTest, LookBackFindsTheNumberOfASelectCommandOnly) {
  auto set = LoadSet(home_, SetWith(kGood + std::string("Select2=ESC-Commands,1,1\n")));
  // Select2 names ESC @, which has no parameter: a fault, tables off.
  EXPECT_FALSE(set->tables.Valid());

  set = LoadSet(home_, SetWith(kGood));
  const auto& tables = set->tables;
  const unsigned char line[] = {'a', 0x1B, 't', 0x0A, 0x1B, 0x0A, 't', 0x0A};
  EXPECT_TRUE(tables.IsSelectParam(line, 3));       // ESC t LF
  EXPECT_FALSE(tables.IsSelectParam(line, 5));      // ESC LF
  EXPECT_FALSE(tables.IsSelectParam(line, 7));      // LF t LF
  EXPECT_FALSE(tables.IsSelectParam(line + 2, 1));  // the command's bytes before the line
}

}  // namespace

// Command-file entries: byte tokens, transaction keywords and the fields of
// single, change-line and group entries.
#include "commands/PrnCmd.h"

#include <gtest/gtest.h>

#include <string>

using namespace poshark::commands;

namespace {

TEST(EntryTest, ByteTokensDecodeNamesHexAndDecimal) {
  const struct {
    const char* token;
    int byte;
  } cases[] = {{"ESC", 27},
               {"esc", 27},
               {"27", 27},
               {"0X1B", 27},
               {"0027", 27},
               {"283", 27},
               {"0x1G", 16},
               {"0xg1", 1},
               {"1", '1'},
               {",", ','},
               {"DC1", 0},
               {"CS1", 17},
               {"SIB", 26},
               {"sle", 16},
               {"SP", 32},
               {"255", 255},
               {"256", 0},
               {"-1", 255},
               {"12ab", 12},
               {"ESCAPE", 0},
               {"", 0},
               // Long decimals keep their low byte exactly: 10^23 - 1, 10^22 + 27, 2^32 + 27.
               {"99999999999999999999999", 255},
               {"10000000000000000000027", 27},
               {"4294967323", 27}};
  for (const auto& c : cases) EXPECT_EQ(DecodeToken(c.token), c.byte) << c.token;
  EXPECT_EQ(ParseTranKeyword("tran_stop"), TRAN_STOP);
  EXPECT_EQ(ParseTranKeyword("Tran_Void"), TRAN_VOID);
  EXPECT_EQ(ParseTranKeyword(" TRAN_STOP"), TRAN_NONE);
  EXPECT_EQ(ParseTranKeyword("TRAN_STOPX"), TRAN_NONE);
}

TEST(EntryTest, CommandEntryFields) {
  const struct {
    const char* entry;
    int spaces;
    int type, param;
    std::string text;
    int tran;
  } cases[] = {
      {"2,GS,V,1,3,0,TRAN_STOP", 1, 1, 3, "", TRAN_STOP},
      {"1,ESC,2,1,\"Total: \",tran_start", 1, 2, 0, "Total: ", TRAN_START},  // type 2: no parameter
      {"1,A,1,1", 1, 1, 1, "", TRAN_NONE},
      {"1,A,1,1,1", 1, 1, 1, "", TRAN_NONE},
      {"1,A,1,1,0,TRAN_VOID", 1, 1, 1, "", TRAN_VOID},
      {"1,A,1,1,0,hello,TRAN_VOID", 1, 1, 1, "",
       TRAN_NONE},  // switch off: next field is the keyword
      {"1,A,1,1,1,\"", 1, 1, 1, "", TRAN_NONE},
      {"1,A,1,1,1,\"x", 1, 1, 1, "\"x", TRAN_NONE},
      {"1,ESC,7,x", 1, 7, 0, "", TRAN_NONE},  // other types read and ignore the parameter
      // A horizontal tab's text is SpaceCount spaces (1 outside 1..12).
      {"1,HT,1,1,1,ignored,TRAN_VOID", 4, 1, 1, "    ", TRAN_VOID},
      {"2,HT,A,1,2", 13, 1, 2, " ", TRAN_NONE},
      {"2,HT,A,1,2", 0, 1, 2, " ", TRAN_NONE},
      {"1,9,1,1", 12, 1, 1, "", TRAN_NONE},  // "9" is the character '9'
      {"1,0x09,1,1", 12, 1, 1, std::string(12, ' '), TRAN_NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    auto cmd = ParseCommandEntry(c.entry, c.spaces, nullptr);
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->nType, c.type);
    if (c.type == 1) {
      EXPECT_EQ(cmd->nParam, c.param);
    }
    EXPECT_EQ(std::string(cmd->pText.get(), cmd->nTextLen), c.text);
    EXPECT_EQ(cmd->nTran, c.tran);
  }
  auto cmd = ParseCommandEntry("2,GS,V,1,3", 1, nullptr);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cmd->pCmd.get()), cmd->nCmdLen), "\x1dV");
}

TEST(EntryTest, InvalidEntriesAreRejected) {
  for (const char* entry : {"", "2,ESC", "2,ESC,,1,3", "1,ESC", "1,ESC,1", "1,ESC,0,", ",ESC,1,2",
                            "0,1,2", "-3,A,B,C,1,1", "99999,A,1,1"})
    EXPECT_FALSE(ParseCommandEntry(entry, 1, nullptr)) << entry;
  for (const char* entry : {"2,CR", "0", ""}) EXPECT_FALSE(ParseChangeLineEntry(entry)) << entry;
  auto line = ParseChangeLineEntry("2,CR,LF,extra");
  ASSERT_TRUE(line);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(line->pCmd.get()), line->nCmdLen), "\r\n");

  std::string section;
  unsigned char lead = 0;
  int count = 0;
  ASSERT_TRUE(ParseGroupEntry("ESC-Commands,ESC,12", &section, &lead, &count));
  EXPECT_EQ(section + "/" + std::to_string(lead) + "/" + std::to_string(count),
            "ESC-Commands/27/12");
  for (const char* entry : {"ESC-Commands,ESC", ",ESC,3", "S,,3"})
    EXPECT_FALSE(ParseGroupEntry(entry, &section, &lead, &count)) << entry;
}

TEST(EntryTest, TypeThreeNeedsAResolvedEntryPointAndOnlyThenCountsItsKeyword) {
  EntryKeywords kw;
  EXPECT_FALSE(ParseCommandEntry("1,ESC,3,Measure,0,TRAN_START", 1, &kw));
  EXPECT_FALSE(kw.bSawStart);  // an entry left out clears no switch
  auto resolve = [](void*, const std::string& name) -> PFN_ParamAnalyze {
    if (name != "Measure") return nullptr;
    return [](unsigned char*, int, int*, int*) { return 2; };
  };
  EXPECT_FALSE(ParseCommandEntry("1,ESC,3,Other", 1, &kw, resolve, nullptr));
  auto cmd = ParseCommandEntry("1,ESC,3,Measure,0,TRAN_START", 1, &kw, resolve, nullptr);
  ASSERT_TRUE(cmd);
  EXPECT_NE(cmd->pfnAnalyze, nullptr);
  EXPECT_TRUE(kw.bSawStart);
  EXPECT_FALSE(kw.bSawStop);
}

}  // namespace

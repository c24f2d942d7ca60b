#include "commands/PrnCmd.h"

#include <gtest/gtest.h>

#include <string>

using namespace poshark::commands;

namespace {

TEST(DecodeTokenTest, NamesHexAndDecimalGiveTheSameByte) {
  for (const char* token : {"ESC", "esc", "Esc", "27", "0x1b", "0X1B", "0027", "283"})
    EXPECT_EQ(DecodeToken(token), 27) << token;
  EXPECT_EQ(DecodeToken("0x1G"), 16);
  EXPECT_EQ(DecodeToken("0x0F"), 15);
  EXPECT_EQ(DecodeToken("0xg1"), 1);
  EXPECT_EQ(DecodeToken("1"), 49);  // one character is itself
  EXPECT_EQ(DecodeToken("A"), 65);
  EXPECT_EQ(DecodeToken(","), 44);
  EXPECT_EQ(DecodeToken("DC1"), 0);  // not in the table
  EXPECT_EQ(DecodeToken("CS1"), 17);
  EXPECT_EQ(DecodeToken("SIB"), 26);
  EXPECT_EQ(DecodeToken("sle"), 16);
  EXPECT_EQ(DecodeToken("DLE"), 16);
  EXPECT_EQ(DecodeToken("SP"), 32);
  EXPECT_EQ(DecodeToken("NUL"), 0);
  EXPECT_EQ(DecodeToken("255"), 255);
  EXPECT_EQ(DecodeToken("256"), 0);
  EXPECT_EQ(DecodeToken("-1"), 255);
  EXPECT_EQ(DecodeToken("99999999999999999999999"), 255);  // 10^23 - 1
  EXPECT_EQ(DecodeToken("12ab"), 12);
  EXPECT_EQ(DecodeToken("ESCAPE"), 0);
  EXPECT_EQ(DecodeToken(""), 0);
}

TEST(DecodeTokenTest, LongDecimalKeepsItsLowByteExactly) {
  // 10^22 = 0x21E19E0C9BAB2400000: low byte 0x00; 10^22 + 27 -> 27.
  EXPECT_EQ(DecodeToken("10000000000000000000027"), 27);
  EXPECT_EQ(DecodeToken("4294967323"), 27);  // 2^32 + 27
}

TEST(ParseTranKeywordTest, KnowsTheThreeKeywordsWithoutCase) {
  EXPECT_EQ(ParseTranKeyword("TRAN_START"), TRAN_START);
  EXPECT_EQ(ParseTranKeyword("tran_stop"), TRAN_STOP);
  EXPECT_EQ(ParseTranKeyword("Tran_Void"), TRAN_VOID);
  EXPECT_EQ(ParseTranKeyword("TRAN_STOPX"), TRAN_NONE);
  EXPECT_EQ(ParseTranKeyword(" TRAN_STOP"), TRAN_NONE);
  EXPECT_EQ(ParseTranKeyword(""), TRAN_NONE);
}

TEST(CommandEntryTest, FixedLengthCommandWithKeyword) {
  EntryKeywords kw;
  auto cmd = ParseCommandEntry("2,GS,V,1,3,0,TRAN_STOP", 1, &kw);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->nCmdLen, 2);
  EXPECT_EQ(cmd->pCmd[0], 29);
  EXPECT_EQ(cmd->pCmd[1], 'V');
  EXPECT_EQ(cmd->nType, 1);
  EXPECT_EQ(cmd->nParam, 3);
  EXPECT_EQ(cmd->nTextLen, 0);
  EXPECT_EQ(cmd->pText, nullptr);
  EXPECT_EQ(cmd->nTran, TRAN_STOP);
  EXPECT_TRUE(kw.bSawStop);
  EXPECT_FALSE(kw.bSawStart);
}

TEST(CommandEntryTest, TypeTwoHasNoParameterField) {
  auto cmd = ParseCommandEntry("1,ESC,2,1,\"Total: \",tran_start", 1, nullptr);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->nType, 2);
  EXPECT_EQ(std::string(cmd->pText.get(), cmd->nTextLen), "Total: ");
  EXPECT_EQ(cmd->nTran, TRAN_START);
}

TEST(CommandEntryTest, TextAndKeywordFieldsAreOptional) {
  auto no_switch = ParseCommandEntry("1,A,1,1", 1, nullptr);
  ASSERT_TRUE(no_switch);
  EXPECT_EQ(no_switch->nTextLen, 0);
  EXPECT_EQ(no_switch->nTran, TRAN_NONE);

  auto switch_no_text = ParseCommandEntry("1,A,1,1,1", 1, nullptr);
  ASSERT_TRUE(switch_no_text);
  EXPECT_EQ(switch_no_text->nTextLen, 0);

  auto zero_switch_keyword = ParseCommandEntry("1,A,1,1,0,TRAN_VOID", 1, nullptr);
  ASSERT_TRUE(zero_switch_keyword);
  EXPECT_EQ(zero_switch_keyword->nTextLen, 0);
  EXPECT_EQ(zero_switch_keyword->nTran, TRAN_VOID);

  // With the switch off the next field is the keyword, not a text.
  auto zero_switch_text = ParseCommandEntry("1,A,1,1,0,hello,TRAN_VOID", 1, nullptr);
  ASSERT_TRUE(zero_switch_text);
  EXPECT_EQ(zero_switch_text->nTextLen, 0);
  EXPECT_EQ(zero_switch_text->nTran, TRAN_NONE);

  auto lone_quote = ParseCommandEntry("1,A,1,1,1,\"", 1, nullptr);
  ASSERT_TRUE(lone_quote);
  EXPECT_EQ(lone_quote->nTextLen, 0);

  auto inner_quote = ParseCommandEntry("1,A,1,1,1,\"x", 1, nullptr);
  ASSERT_TRUE(inner_quote);
  EXPECT_EQ(std::string(inner_quote->pText.get()), "\"x");
}

TEST(CommandEntryTest, MissingRequiredFieldsMakeTheEntryInvalid) {
  EXPECT_FALSE(ParseCommandEntry("", 1, nullptr));
  EXPECT_FALSE(ParseCommandEntry("2,ESC", 1, nullptr));          // second byte missing
  EXPECT_FALSE(ParseCommandEntry("2,ESC,,1,3", 1, nullptr));     // empty byte
  EXPECT_FALSE(ParseCommandEntry("1,ESC", 1, nullptr));          // no type
  EXPECT_FALSE(ParseCommandEntry("1,ESC,1", 1, nullptr));        // type 1 needs its length
  EXPECT_FALSE(ParseCommandEntry("1,ESC,0,", 1, nullptr));       // empty parameter field
  EXPECT_FALSE(ParseCommandEntry(",ESC,1,2", 1, nullptr));       // empty count
  EXPECT_FALSE(ParseCommandEntry("0,1,2", 1, nullptr));          // no command bytes
  EXPECT_FALSE(ParseCommandEntry("-3,A,B,C,1,1", 1, nullptr));   // negative count
  EXPECT_FALSE(ParseCommandEntry("99999,A,1,1", 1, nullptr));    // more bytes than fields
  EXPECT_TRUE(ParseCommandEntry("1,ESC,2", 1, nullptr));         // type 2: no parameter
  EXPECT_TRUE(ParseCommandEntry("1,ESC,7,x", 1, nullptr));       // other types read and ignore it
}

TEST(CommandEntryTest, TypeThreeNeedsAResolvedEntryPoint) {
  EntryKeywords kw;
  EXPECT_FALSE(ParseCommandEntry("1,ESC,3,Measure,0,TRAN_START", 1, &kw));
  EXPECT_FALSE(kw.bSawStart);  // an entry left out clears no switch

  static int calls = 0;
  auto resolve = [](void* ctx, const std::string& name) -> PFN_ParamAnalyze {
    ++*static_cast<int*>(ctx);
    if (name != "Measure") return nullptr;
    return [](unsigned char*, int, int*, int*) { return 2; };
  };
  EXPECT_FALSE(ParseCommandEntry("1,ESC,3,Other", 1, &kw, resolve, &calls));
  auto cmd = ParseCommandEntry("1,ESC,3,Measure,0,TRAN_START", 1, &kw, resolve, &calls);
  ASSERT_TRUE(cmd);
  EXPECT_NE(cmd->pfnAnalyze, nullptr);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(kw.bSawStart);
}

TEST(CommandEntryTest, HorizontalTabIsReplacedBySpaceCountSpacesKeepingTheKeyword) {
  auto cmd = ParseCommandEntry("1,HT,1,1,1,ignored,TRAN_VOID", 4, nullptr);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(std::string(cmd->pText.get(), cmd->nTextLen), "    ");
  EXPECT_EQ(cmd->nTran, TRAN_VOID);
  for (int bad : {0, 13, -5}) {
    auto one = ParseCommandEntry("2,HT,A,1,2", bad, nullptr);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->nTextLen, 1) << bad;
  }
  auto twelve = ParseCommandEntry("1,9,1,1", 12, nullptr);  // "9" is the character '9'
  ASSERT_TRUE(twelve);
  EXPECT_EQ(twelve->nTextLen, 0);
  auto decimal = ParseCommandEntry("1,0x09,1,1", 12, nullptr);
  ASSERT_TRUE(decimal);
  EXPECT_EQ(decimal->nTextLen, 12);
}

TEST(ChangeLineEntryTest, CountThenBytes) {
  auto cmd = ParseChangeLineEntry("2,CR,LF");
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->nCmdLen, 2);
  EXPECT_EQ(cmd->pCmd[0], 13);
  EXPECT_EQ(cmd->pCmd[1], 10);
  EXPECT_FALSE(ParseChangeLineEntry("2,CR"));
  EXPECT_FALSE(ParseChangeLineEntry("0"));
  EXPECT_FALSE(ParseChangeLineEntry(""));
  EXPECT_TRUE(ParseChangeLineEntry("1,ESC,extra,fields"));
}

TEST(GroupEntryTest, SectionLeadAndCountAreRequired) {
  std::string section;
  unsigned char lead = 0;
  int count = 0;
  ASSERT_TRUE(ParseGroupEntry("ESC-Commands,ESC,12", &section, &lead, &count));
  EXPECT_EQ(section, "ESC-Commands");
  EXPECT_EQ(lead, 27);
  EXPECT_EQ(count, 12);
  EXPECT_FALSE(ParseGroupEntry("ESC-Commands,ESC", &section, &lead, &count));
  EXPECT_FALSE(ParseGroupEntry(",ESC,3", &section, &lead, &count));
  EXPECT_FALSE(ParseGroupEntry("S,,3", &section, &lead, &count));
}

TEST(SplitFieldsTest, KeepsEmptyFields) {
  EXPECT_EQ(SplitFields("a,,b,").size(), 4u);
  EXPECT_TRUE(SplitFields("").empty());
  EXPECT_EQ(SplitFields(",").size(), 2u);
}

}  // namespace

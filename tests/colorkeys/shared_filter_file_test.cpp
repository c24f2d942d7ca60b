// Both catchers keep their configuration in one filter file; each rewrites
// only its own sections.
#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

#include "keywords/CatcherHelpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using poshark::testing::MakeTime;

// A forwarding target, a frequency limit with nRecs records and an idle time.
STRUCT_Condition LimitCondition(const char* pszRNV, FreqRecList* pList, int nRecs) {
  STRUCT_Condition cond{};
  cond.bRNV = true;
  std::strcpy(cond.szRNV, pszRNV);
  cond.bFreq = true;
  cond.nFreqCount = 5;
  cond.nFreqUnit = 3;
  cond.bIdle = true;
  cond.nIdleMinutes = 10;
  cond.stIdleLast = MakeTime(2024, 6, 1, 8, 0, 0);
  for (int i = 0; i < nRecs; ++i) pList->Add(MakeTime(2024, 6, 1, 9, i, 0));
  cond.pFreqRecs = pList;
  return cond;
}

TEST(SharedFilterFileTest, KeywordAndColourKeySectionsSurviveEachOthersSaves) {
  poshark::testing::TempHome home;
  home.Write(poshark::testing::kFilterFile, "; operator notes\n[Other]\nKeep=1\n");
  FreqRecList kwRecs, ckRecs;
  KeyDataCatcher keywords;
  STRUCT_Condition kwCond = LimitCondition("DESK", &kwRecs, 2);
  kwCond.nOperator1 = POSHARK_OP_GREATER;  // a keyword condition needs an operand
  std::strcpy(kwCond.szValue1, "100");
  ASSERT_TRUE(keywords.AddKeyWord("TOTAL", 5, false, 0, "Total", 1, -1, '.', ',', 0, 0, 0, false,
                                  {}, {}, true, &kwCond));
  ColorKeyCatcher colours;
  STRUCT_Condition ckCond = LimitCondition("FLOOR", &ckRecs, 3);
  SYSTEMTIME start = MakeTime(0, 0, 0, 21), end = MakeTime(0, 0, 0, 7, 30);
  ASSERT_TRUE(colours.AddKeyWord("VOID", "Voids", 12, -1, 1, 4, 0x00C08040, true, start, end, true,
                                 &ckCond));

  // Interleaved saves, for two POS numbers, each followed by its limit state.
  ASSERT_TRUE(keywords.WriteIni(1));
  ASSERT_TRUE(colours.WriteIni(1));
  ASSERT_TRUE(colours.WriteIni_FreqIdleRec(1));
  ASSERT_TRUE(keywords.WriteIni_FreqIdleRec(1));
  ASSERT_TRUE(colours.WriteIni(2));
  ASSERT_TRUE(keywords.WriteIni(2));
  ASSERT_TRUE(keywords.WriteIni(1));  // a second save of one section...
  ASSERT_TRUE(keywords.WriteIni_FreqIdleRec(1));

  std::string text = home.Read(poshark::testing::kFilterFile);
  for (const char* pszPart : {"; operator notes", "Keep=1", "[POS2]", "[ColorKey2]"})
    EXPECT_NE(text.find(pszPart), std::string::npos) << pszPart;
  // ...leaves the other catcher's section as it was.
  ColorKeyCatcher colours2;
  ASSERT_TRUE(colours2.LoadIni(1));
  ASSERT_EQ(colours2.GetKeyWordNum(), 1);
  EXPECT_EQ(poshark::testing::FilterValue(home, "ColorKey1", "CKColor1"), "1,4,64,128,192");
  const STRUCT_KeyWord& ck = *colours2.GetKeyWord(0);
  EXPECT_EQ(ck.stCatchEnd.wMinute, 30);
  ASSERT_TRUE(ck.bCondition);
  EXPECT_STREQ(ck.pCondition->szRNV, "FLOOR");
  EXPECT_EQ(ck.pCondition->stIdleLast.wHour, 8);
  EXPECT_EQ(ck.pCondition->pFreqRecs->GetSize(), 3);
  KeyDataCatcher keywords2;
  ASSERT_TRUE(keywords2.LoadIni(1));
  ASSERT_EQ(keywords2.GetKeyWordNum(), 1);
  ASSERT_TRUE(keywords2.GetKeyWord(0)->bCondition);
  EXPECT_STREQ(keywords2.GetKeyWord(0)->pCondition->szRNV, "DESK");
  EXPECT_EQ(keywords2.GetKeyWord(0)->pCondition->pFreqRecs->GetSize(), 2);
}

}  // namespace

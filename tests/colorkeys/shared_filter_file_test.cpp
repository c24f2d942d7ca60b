// Both catchers keep their configuration in one filter file; each rewrites
// only its own sections.
#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

#include "keywords/TempHome.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using poshark::testing::MakeTime;
using poshark::testing::TempHome;

STRUCT_Condition LimitCondition(const char* pszRNV) {
  STRUCT_Condition cond{};
  cond.bRNV = true;
  std::strcpy(cond.szRNV, pszRNV);
  cond.bFreq = true;
  cond.nFreqCount = 5;
  cond.nFreqUnit = 3;
  cond.bIdle = true;
  cond.nIdleMinutes = 10;
  cond.stIdleLast = MakeTime(2024, 6, 1, 8, 0, 0);
  return cond;
}

void AddRecords(STRUCT_Condition* pCond, FreqRecList* pList, int nRecs, int nHour) {
  for (int i = 0; i < nRecs; ++i) pList->Add(MakeTime(2024, 6, 1, nHour, i, 0));
  pCond->pFreqRecs = pList;
}

TEST(SharedFilterFileTest, KeywordAndColourKeySectionsSurviveEachOthersSaves) {
  TempHome home;
  home.WriteFilterFile("; operator notes\n[Other]\nKeep=1\n");

  KeyDataCatcher keywords;
  STRUCT_Condition kwCond = LimitCondition("DESK");
  kwCond.bNumeric = true;
  kwCond.nOperator1 = 3;
  kwCond.fValue1 = 100.0f;
  std::strcpy(kwCond.szValue1, "100");
  FreqRecList kwRecs;
  AddRecords(&kwCond, &kwRecs, 2, 9);
  ASSERT_TRUE(keywords.AddKeyWord("TOTAL", 5, false, 0, "Total", 1, -1, '.', ',', 0, 0, 0, false,
                                  {}, {}, true, &kwCond));
  ASSERT_TRUE(keywords.AddKeyWord("TAX", 1, false, 0, nullptr, 3, -1, '.', ',', 0, 0, 0, false, {},
                                  {}, false, nullptr));

  ColorKeyCatcher colours;
  STRUCT_Condition ckCond = LimitCondition("FLOOR");
  FreqRecList ckRecs;
  AddRecords(&ckCond, &ckRecs, 3, 14);
  SYSTEMTIME start{}, end{};
  start.wHour = 21;
  end.wHour = 7;
  end.wMinute = 30;
  ASSERT_TRUE(
      colours.AddKeyWord("VOID", "Voids", 12, -1, 1, 4, 0x0000FF, true, start, end, true, &ckCond));
  ASSERT_TRUE(colours.AddKeyWord("\xF9\xEC\xE5\xED", "Hebrew", 12, -1, 1, 0, 0x00FF00, false, {},
                                 {}, false, nullptr));

  // Interleaved saves, for two POS numbers, each followed by its limit state.
  ASSERT_TRUE(keywords.WriteIni(1));
  ASSERT_TRUE(colours.WriteIni(1));
  ASSERT_TRUE(colours.WriteIni_FreqIdleRec(1));
  ASSERT_TRUE(keywords.WriteIni_FreqIdleRec(1));
  ASSERT_TRUE(colours.WriteIni(2));
  ASSERT_TRUE(keywords.WriteIni(2));
  ASSERT_TRUE(keywords.WriteIni(1));  // a second save of one section...
  ASSERT_TRUE(keywords.WriteIni_FreqIdleRec(1));

  std::string text = home.ReadFilterFile();
  for (const char* pszPart :
       {"; operator notes", "Keep=1", "[POS1]", "[POS2]", "[ColorKey1]", "[ColorKey2]"})
    EXPECT_NE(text.find(pszPart), std::string::npos) << pszPart;

  // ...leaves the other catcher's section as it was.
  ColorKeyCatcher colours2, colours3;
  ASSERT_TRUE(colours2.LoadIni(1) && colours3.LoadIni(2));
  EXPECT_EQ(colours3.GetKeyWordNum(), 2);
  ASSERT_EQ(colours2.GetKeyWordNum(), 2);
  const STRUCT_KeyWord& ck = *colours2.GetKeyWord(0);
  EXPECT_EQ(ck.stCatchEnd.wMinute, 30);
  ASSERT_TRUE(ck.bCondition);
  EXPECT_STREQ(ck.pCondition->szRNV, "FLOOR");
  EXPECT_EQ(ck.pCondition->stIdleLast.wHour, 8);
  EXPECT_EQ(ck.pCondition->pFreqRecs->GetSize(), 3);
  EXPECT_STREQ(colours2.GetKeyWord(1)->pszKeyWord, "\xF9\xEC\xE5\xED");
  KeyDataCatcher keywords2, keywords3;
  ASSERT_TRUE(keywords2.LoadIni(1) && keywords3.LoadIni(2));
  EXPECT_EQ(keywords3.GetKeyWordNum(), 2);
  ASSERT_EQ(keywords2.GetKeyWordNum(), 2);
  const STRUCT_KeyWord& kw = *keywords2.GetKeyWord(0);
  ASSERT_TRUE(kw.bCondition);
  EXPECT_EQ(kw.pCondition->fValue1, 100.0f);
  EXPECT_STREQ(kw.pCondition->szRNV, "DESK");
  EXPECT_EQ(kw.pCondition->pFreqRecs->GetSize(), 2);
}

}  // namespace

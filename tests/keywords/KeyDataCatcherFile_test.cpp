#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"
#include "TempHome.h"
#include "keywords/FilterFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace poshark::testing {
namespace {

class FilterFileTest : public ::testing::Test {
 protected:
  std::string Value(const char* pszSection, const char* pszKey) {
    return keywords::ReadFilterValue("POSKeyFilter.ini", pszSection, pszKey);
  }
  std::vector<std::string> KeyWords() {
    std::vector<std::string> out;
    for (int i = 0; i < catcher_.GetKeyWordNum(); ++i) {
      out.push_back(catcher_.GetKeyWord(i)->pszKeyWord);
    }
    return out;
  }
  TempHome home_;
  KeyDataCatcher catcher_;
};

TEST_F(FilterFileTest, FileNameIsTheFilterFileInTheHome) {
  EXPECT_EQ(catcher_.GetIniFile(), "POSKeyFilter.ini");
  ASSERT_TRUE(AddKey(catcher_, {"TOTAL", 1}));
  catcher_.WriteIni(1);
  EXPECT_NE(home_.ReadFilterFile().find("[POS1]"), std::string::npos);
}

TEST_F(FilterFileTest, ItemAndNameValuesAreSplitFromTheRight) {
  home_.WriteFilterFile(
      "[POS1]\n"
      "Num=6\n"
      "Item1=TOTAL,1\n"
      "Name1=Total,1,0,046\n"
      "Item2=A,B,17\n"
      "Name2=x,y,3,4,044\n"
      "N2_1KSign=SP\n"
      "Item3=NOCOMMA\n"
      "Name3=n,1,1,046\n"
      "Item4=ENDS,\n"
      "Name4=n,1,1,046\n"
      "Item5=SHORT,1\n"
      "Name5=Total,1,0\n"
      "Item6=" + std::string(31, 'k') + ",1\n"
      "Name6=n,1,1,046\n");
  ASSERT_TRUE(catcher_.LoadIni(1));
  ASSERT_EQ(catcher_.GetKeyWordNum(), 2);
  STRUCT_KeyWord* p = catcher_.GetKeyWord(0);
  EXPECT_STREQ(p->pszKeyWord, "TOTAL");
  EXPECT_EQ(p->nCatchFlags, 1);
  EXPECT_STREQ(p->pszName, "Total");
  EXPECT_EQ(p->nMDBType, 1);
  EXPECT_EQ(p->nMDBID, 0);
  EXPECT_EQ(p->cDecimalSign, '.');
  EXPECT_EQ(p->c1KSign, ',');  // missing: a comma
  EXPECT_FALSE(p->bCondition);
  EXPECT_EQ(p->pCondition, nullptr);
  p = catcher_.GetKeyWord(1);
  EXPECT_STREQ(p->pszKeyWord, "A,B");
  EXPECT_EQ(p->nCatchFlags, 17);
  EXPECT_STREQ(p->pszName, "x,y");
  EXPECT_EQ(p->nMDBType, 3);
  EXPECT_EQ(p->nMDBID, 4);
  EXPECT_EQ(p->cDecimalSign, ',');
  EXPECT_EQ(p->c1KSign, ' ');
}

TEST_F(FilterFileTest, ThousandsSignTokensAndLongNames) {
  home_.WriteFilterFile(
      "[POS2]\nNum=3\n"
      "Item1=A,1\nName1=" + std::string(35, 'n') + ",2,0,046\nN1_1KSign=0x2E\n"
      "Item2=B,1\nName2=b,2,0,046\nN2_1KSign=044\n"
      "Item3=C,1\nName3=c,2,0,-001\nN3_1KSign=ESC\n");
  catcher_.LoadIni(2);
  ASSERT_EQ(catcher_.GetKeyWordNum(), 3);
  EXPECT_EQ(std::string(catcher_.GetKeyWord(0)->pszName), std::string(30, 'n'));
  EXPECT_EQ(catcher_.GetKeyWord(0)->c1KSign, '.');
  EXPECT_EQ(catcher_.GetKeyWord(1)->c1KSign, ',');
  EXPECT_EQ(catcher_.GetKeyWord(2)->cDecimalSign, static_cast<char>(-1));
  EXPECT_EQ(catcher_.GetKeyWord(2)->c1KSign, 27);
}

TEST_F(FilterFileTest, ConditionKeysAndTheirFallbacks) {
  home_.WriteFilterFile(
      "[POS3]\nNum=6\n"
      "Item1=A,1\nName1=a,2,0,046\nCondition1_1=1,3,100\nCondition1_2=1,2\n"
      "Freq1=2,1,3,3,0\nIdle1=1,1,2,30\n"
      "Item2=B,1\nName2=b,2,0,046\nCondition2_1=1,0,12345678901\n"
      "Item3=C,16\nName3=c,2,0,046\nCondition3_1=1,0,VOID\nCondition3_2=2,5,NONE\n"
      "Freq3=1,1,3,3,0\n3FreqRecNum=2\n3FreqRec1=2011,3,1,9,0,0\n3FreqRec2=2011,3,1,10,0,0\n"
      "Item4=D,1\nName4=d,2,0,046\nCondition4_1=1,0,abc\n"
      "Item5=E,1\nName5=e,2,0,046\nCondition5_1=1,0,5\nCondition5_2=1,1,x\n"
      "Item6=F,1\nName6=f,2,0,046\nCondition6_1=0,0,5\n");
  catcher_.LoadIni(3);
  ASSERT_EQ(catcher_.GetKeyWordNum(), 6);

  STRUCT_KeyWord* a = catcher_.GetKeyWord(0);
  ASSERT_TRUE(a->bCondition);
  const STRUCT_Condition& ca = *a->pCondition;
  EXPECT_TRUE(ca.bNumeric);
  EXPECT_EQ(ca.nOperator1, 3);
  EXPECT_EQ(ca.fValue1, 100.0f);
  EXPECT_STREQ(ca.szValue1, "100");
  EXPECT_EQ(ca.nJoin, 0);  // no second operand
  EXPECT_FALSE(ca.bFreq);
  EXPECT_TRUE(ca.bFreqReset);
  EXPECT_TRUE(ca.bIdle);
  EXPECT_EQ(ca.nIdleHours, 2);
  EXPECT_EQ(ca.nIdleMinutes, 30);
  EXPECT_EQ(ca.stIdleLast.wYear, 0);
  ASSERT_NE(ca.pFreqRecs, nullptr);  // every loaded condition gets its own list
  EXPECT_EQ(ca.pFreqRecs->GetSize(), 0);

  EXPECT_FALSE(catcher_.GetKeyWord(1)->bCondition);  // 11-character operand

  const STRUCT_Condition& cc = *catcher_.GetKeyWord(2)->pCondition;
  EXPECT_FALSE(cc.bNumeric);
  EXPECT_STREQ(cc.szValue1, "VOID");
  EXPECT_EQ(cc.nJoin, 2);
  EXPECT_EQ(cc.nOperator2, 5);
  EXPECT_STREQ(cc.szValue2, "NONE");
  EXPECT_TRUE(cc.bFreq);
  EXPECT_EQ(cc.nFreqCount, 3);
  EXPECT_FALSE(cc.bFreqReset);
  ASSERT_EQ(cc.pFreqRecs->GetSize(), 2);
  EXPECT_EQ(cc.pFreqRecs->GetAt(0).wHour, 9);

  EXPECT_FALSE(catcher_.GetKeyWord(3)->bCondition);  // numeric operand that is no number
  EXPECT_FALSE(catcher_.GetKeyWord(4)->bCondition);  // second numeric operand that is no number
  EXPECT_FALSE(catcher_.GetKeyWord(5)->bCondition);  // first field 0
}

TEST_F(FilterFileTest, LoadReplacesTheListAndKeepsTheMap) {
  ASSERT_TRUE(AddKey(catcher_, {"OLD", 1, '.', ',', 0, nullptr, 1, -1}));
  home_.WriteFilterFile("[POS1]\nNum=1\nItem1=NEW,1\nName1=new,1,-1,046\n");
  catcher_.LoadIni(1);
  ASSERT_EQ(catcher_.GetKeyWordNum(), 1);
  EXPECT_STREQ(catcher_.GetKeyWord(0)->pszKeyWord, "NEW");
  // ID 0 of type 1 is still taken by the released OLD: NEW gets ID 1.
  EXPECT_EQ(catcher_.GetKeyWord(0)->nMDBID, 1);
  EXPECT_EQ(FeedLine(catcher_, "OLD 1 NEW 2"), std::vector<std::string>{"2"});
}

TEST_F(FilterFileTest, WrittenListIsGroupedAndLoadsBackWhole) {
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER_EQUAL, 10.0f);
  std::strcpy(cond.szValue1, "10");
  cond.nJoin = 1;
  cond.nOperator2 = POSHARK_OP_LESS;
  cond.fValue2 = 99.5f;
  std::strcpy(cond.szValue2, "99.5");
  cond.bRNV = true;
  std::strcpy(cond.szRNV, "desk,2");
  cond.bOutput = true;
  cond.nOutput1 = 4;
  cond.nOutput2 = 5;
  cond.bIdle = true;
  cond.nIdleMinutes = 15;
  cond.stIdleLast = MakeTime(2011, 3, 1, 9, 30, 5);
  KeySpec total{"TOTAL", 7, ',', '.', 2, &cond, 1, 0, "Grand total"};
  ASSERT_TRUE(AddKey(catcher_, total));
  ASSERT_TRUE(AddKey(catcher_, {"SUM", 16, '.', ',', 0, nullptr, 3, 1}));
  ASSERT_TRUE(AddKey(catcher_, {"TAX", 1, '.', ',', 0, nullptr, 4, 2}));
  ASSERT_TRUE(catcher_.WriteIni(5));
  EXPECT_EQ(KeyWords(), (std::vector<std::string>{"TOTAL", "TAX", "SUM"}));
  EXPECT_EQ(Value("POS5", "Item2"), "TAX,1");
  EXPECT_EQ(Value("POS5", "Name1"), "Grand total,1,0,044");
  EXPECT_EQ(Value("POS5", "N1_1KSign"), "046");

  KeyDataCatcher loaded;
  loaded.LoadIni(5);
  ASSERT_EQ(loaded.GetKeyWordNum(), 3);
  STRUCT_KeyWord* p = loaded.GetKeyWord(0);
  EXPECT_STREQ(p->pszKeyWord, "TOTAL");
  EXPECT_STREQ(p->pszName, "Grand total");
  EXPECT_EQ(p->nCatchFlags, 7);
  EXPECT_EQ(p->cDecimalSign, ',');
  EXPECT_EQ(p->c1KSign, '.');
  EXPECT_TRUE(p->bShift);  // shift settings survive a save
  EXPECT_EQ(p->nShift, 2);
  ASSERT_TRUE(p->bCondition);
  const STRUCT_Condition& c = *p->pCondition;
  EXPECT_TRUE(c.bNumeric);
  EXPECT_EQ(c.fValue1, 10.0f);
  EXPECT_EQ(c.nJoin, 1);
  EXPECT_EQ(c.fValue2, 99.5f);
  EXPECT_STREQ(c.szRNV, "desk,2");
  EXPECT_EQ(c.nOutput2, 5);
  EXPECT_TRUE(c.bIdle);
  EXPECT_EQ(c.nIdleMinutes, 15);
  EXPECT_EQ(c.stIdleLast.wSecond, 5);
  EXPECT_STREQ(loaded.GetKeyWord(1)->pszKeyWord, "TAX");
  EXPECT_EQ(loaded.GetKeyWord(1)->nMDBType, 4);
  EXPECT_STREQ(loaded.GetKeyWord(2)->pszKeyWord, "SUM");
  EXPECT_FALSE(loaded.GetKeyWord(2)->bShift);
  EXPECT_EQ(FeedLine(loaded, "TOTAL991.234,5 SUM ab"), (std::vector<std::string>{"1234.5", "ab"}));
}

TEST_F(FilterFileTest, NumericOperandSetOnlyAsANumberIsSavedAsText) {
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER, 12.5f);
  ASSERT_TRUE(AddKey(catcher_, {"T", 1, '.', ',', 0, &cond}));
  catcher_.WriteIni(1);
  KeyDataCatcher loaded;
  loaded.LoadIni(1);
  ASSERT_EQ(loaded.GetKeyWordNum(), 1);
  ASSERT_TRUE(loaded.GetKeyWord(0)->bCondition);
  EXPECT_EQ(loaded.GetKeyWord(0)->pCondition->fValue1, 12.5f);
}

TEST_F(FilterFileTest, HandEditedFileWithCommentsAndOtherSectionsLoadsAndSurvivesSaving) {
  home_.WriteFilterFile(
      "; filter file of the shop\n"
      "[Other]\n"
      "Keep=me\n"
      "\n"
      "[pos7]\n"
      "; keywords of till 7\n"
      "NUM = 2\n"
      "item1 = TOTAL,5\n"
      "NAME1=Total,1,0,046\n"
      "Item2=CASH,1\n"
      "Name2=Cash,1,1,046\n"
      "[ColorKey7]\n"
      "CKNum=1\n"
      "CKItem1=VOID,0\n"
      "[POS8]\n"
      "Num=1\n"
      "Item1=X,1\n"
      "Name1=x,2,0,046\n");
  catcher_.LoadIni(7);
  EXPECT_EQ(KeyWords(), (std::vector<std::string>{"TOTAL", "CASH"}));
  ASSERT_TRUE(catcher_.DeleteKeyWord(1));
  catcher_.WriteIni(7);
  std::string text = home_.ReadFilterFile();
  EXPECT_NE(text.find("; filter file of the shop"), std::string::npos);
  EXPECT_EQ(Value("Other", "Keep"), "me");
  EXPECT_EQ(Value("ColorKey7", "CKItem1"), "VOID,0");
  EXPECT_EQ(Value("POS8", "Item1"), "X,1");
  EXPECT_EQ(Value("POS7", "Num"), "1");
  EXPECT_EQ(Value("POS7", "Item2"), "");
  KeyDataCatcher loaded;
  loaded.LoadIni(7);
  ASSERT_EQ(loaded.GetKeyWordNum(), 1);
  EXPECT_STREQ(loaded.GetKeyWord(0)->pszKeyWord, "TOTAL");
}

TEST_F(FilterFileTest, WriteIniClearsConditionKeysOfItemsWithoutCondition) {
  STRUCT_Condition cond = TextCondition(POSHARK_OP_EQUAL, "VOID");
  ASSERT_TRUE(AddKey(catcher_, {"A", 16, '.', ',', 0, &cond}));
  ASSERT_TRUE(AddKey(catcher_, {"B", 16}));
  catcher_.WriteIni(1);
  EXPECT_EQ(Value("POS1", "Condition1_1"), "1,0,VOID");
  EXPECT_EQ(Value("POS1", "Condition1_2"), "0,0,");
  EXPECT_EQ(Value("POS1", "Freq1"), "1,0,0,0,0,0");
  std::string text = home_.ReadFilterFile();
  EXPECT_NE(text.find("Condition2_1=\n"), std::string::npos);
  EXPECT_NE(text.find("2FreqRecNum=\n"), std::string::npos);
}

TEST_F(FilterFileTest, LimitStateIsSavedSeparatelyAndRestoredByLoad) {
  FakeClock clock;
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER, 0.0f);
  std::strcpy(cond.szValue1, "0");
  cond.bFreq = true;
  cond.nFreqCount = 3;
  cond.nFreqUnit = 3;
  cond.bIdle = true;
  cond.nIdleMinutes = 1;
  ASSERT_TRUE(AddKey(catcher_, {"T", 1, '.', ',', 0, &cond}));
  catcher_.WriteIni(1);
  clock.Set(MakeTime(2011, 3, 1, 9, 0, 0));
  FeedLine(catcher_, "T 1");
  clock.Set(MakeTime(2011, 3, 1, 10, 0, 0));
  FeedLine(catcher_, "T 1");
  // WriteIni alone writes no records.
  catcher_.WriteIni(1);
  EXPECT_EQ(Value("POS1", "1FreqRecNum"), "");
  ASSERT_TRUE(catcher_.WriteIni_FreqIdleRec(1));
  EXPECT_EQ(Value("POS1", "1FreqRecNum"), "2");
  EXPECT_EQ(Value("POS1", "1FreqRec1"), "2011,3,1,9,0,0");
  EXPECT_EQ(Value("POS1", "1FreqRec2"), "2011,3,1,10,0,0");

  KeyDataCatcher loaded;
  loaded.LoadIni(1);
  ASSERT_EQ(loaded.GetKeyWordNum(), 1);
  ASSERT_EQ(loaded.GetKeyWord(0)->pCondition->pFreqRecs->GetSize(), 2);
  clock.Set(MakeTime(2011, 3, 1, 11, 0, 0));
  int nCount = 0;
  loaded.FindKeyData("T 1", 3, nCount);
  std::vector<Caught> caught = Collect(loaded);
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_TRUE(caught[0].alarm.bAlarm);  // the third match of the day
  loaded.WriteIni_FreqIdleRec(1);
  EXPECT_EQ(Value("POS1", "Idle1"), "1,1,0,1,2011,3,1,11,0,0");
}

TEST_F(FilterFileTest, LoadIniItemRefusesRecordsWithoutBuffers) {
  STRUCT_KeyWord empty{};
  home_.WriteFilterFile("[POS1]\nNum=1\nItem1=A,1\nName1=a,2,0,046\n");
  EXPECT_FALSE(catcher_.LoadIniItem("POS1", 1, &empty));
  EXPECT_FALSE(catcher_.LoadIniItem("POS1", 1, nullptr));
}

TEST_F(FilterFileTest, HugeItemCountIsBounded) {
  home_.WriteFilterFile("[POS1]\nNum=2000000000\nItem1=A,1\nName1=a,2,0,046\n");
  catcher_.LoadIni(1);
  EXPECT_EQ(catcher_.GetKeyWordNum(), 1);
}

}  // namespace
}  // namespace poshark::testing

#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace poshark::testing {
namespace {

using Strings = std::vector<std::string>;

class FilterFileTest : public ::testing::Test {
 protected:
  std::string Value(const char* pszSection, const char* pszKey) {
    return platform::ProfileReader(home_.FilterPath().c_str()).GetString(pszSection, pszKey, "");
  }
  STRUCT_KeyWord* Key(int i) { return catcher_.GetKeyWord(i); }
  TempHome home_;
  KeyDataCatcher catcher_;
};

// Regression: items past the 1024th were skipped, and erased by the next save.
TEST_F(FilterFileTest, EveryItemWhoseKeysExistLoadsWhateverTheCount) {
  std::string text = "[POS1]\nNum=1500\n";
  for (int n = 1; n <= 1500; ++n)
    text += "Item" + std::to_string(n) + "=K,1\nName" + std::to_string(n) + "=k,2,0,046\n";
  text +=
      "[POS2]\nNum=2000000000\nItem1=A,1\nName1=a,2,0,046\nItem1500=B,1\nName1500=b,2,0,046\n"
      "Item2000000001=C,1\nName2000000001=c,2,0,046\nItem0=D,1\nName0=d,2,0,046\n";
  home_.Write(poshark::testing::kFilterFile, text);
  catcher_.LoadIni(1);
  EXPECT_EQ(catcher_.GetKeyWordNum(), 1500);
  catcher_.LoadIni(2);  // loads at once: only the keys present are visited
  EXPECT_EQ(KeyWords(catcher_), (Strings{"A", "B"}));
  STRUCT_KeyWord empty{};  // a record without text buffers
  EXPECT_FALSE(catcher_.LoadIniItem("POS2", 1, &empty) || catcher_.LoadIniItem("POS2", 1, nullptr));
}

// Regression: the first 4096 records (the oldest) were loaded of the up to
// 65536 that a save writes.
TEST_F(FilterFileTest, SavedFrequencyRecordsLoadBackWhole) {
  STRUCT_Condition cond = Condition(POSHARK_OP_GREATER, "0");
  std::tie(cond.bFreq, cond.nFreqCount, cond.nFreqUnit) = std::tuple(true, 6000, 5);
  FreqRecList recs;
  for (int i = 0; i < 5000; ++i) recs.Add(MakeTime(2011, 3, 1 + i / 1440, i / 60 % 24, i % 60));
  cond.pFreqRecs = &recs;
  ASSERT_TRUE(AddKey(catcher_, {"T", 1, '.', ',', 0, &cond}));
  catcher_.WriteIni(1);
  EXPECT_EQ(Value("POS1", "1FreqRecNum"), "");  // the limit state is saved on its own
  catcher_.WriteIni_FreqIdleRec(1);
  KeyDataCatcher loaded;
  loaded.LoadIni(1);
  const FreqRecList* pBack = loaded.GetKeyWord(0)->pCondition->pFreqRecs;
  ASSERT_EQ(pBack->GetSize(), 5000);
  const SYSTEMTIME last = pBack->GetAt(4999), want = recs.GetAt(4999);
  EXPECT_EQ(std::tuple(last.wDay, last.wMinute), std::tuple(want.wDay, want.wMinute));
}

TEST_F(FilterFileTest, WrittenListIsGroupedAndLoadsBackWhole) {
  STRUCT_Condition cond = Condition(POSHARK_OP_GREATER_EQUAL, "10");
  std::tie(cond.nJoin, cond.nOperator2, cond.fValue2) = std::tuple(1, POSHARK_OP_LESS, 99.5f);
  std::strcpy(cond.szValue2, "99.5");
  ASSERT_TRUE(AddKey(catcher_, {"TOTAL", 7, ',', '.', 2, &cond, 1, 0, "Grand total"}));
  ASSERT_TRUE(AddKey(catcher_, {"SUM", 16, '.', ',', 0, nullptr, 3, 1}));
  ASSERT_TRUE(AddKey(catcher_, {"TAX", 1, '.', ',', 0, nullptr, 4, 2}));
  STRUCT_Condition numberOnly = Condition(POSHARK_OP_GREATER, "12.5");
  numberOnly.szValue1[0] = '\0';  // no operand text
  ASSERT_TRUE(AddKey(catcher_, {"T", 1, '.', ',', 0, &numberOnly}));
  ASSERT_TRUE(catcher_.WriteIni(5));
  EXPECT_EQ(KeyWords(catcher_), (Strings{"TOTAL", "TAX", "T", "SUM"}));
  EXPECT_EQ(Value("POS5", "Name1"), "Grand total,1,0,044");
  EXPECT_EQ(Value("POS5", "N1_1KSign"), "046");

  KeyDataCatcher loaded;
  loaded.LoadIni(5);
  EXPECT_EQ(KeyWords(loaded), (Strings{"TOTAL", "TAX", "T", "SUM"}));
  // The number was saved as text; shift settings survive a save.
  STRUCT_KeyWord *p = loaded.GetKeyWord(0), *pT = loaded.GetKeyWord(2);
  ASSERT_TRUE(p->bCondition && pT->bCondition);
  EXPECT_EQ(std::tuple(pT->pCondition->fValue1, std::string(p->pszName), p->nShift,
                       p->pCondition->fValue2, loaded.GetKeyWord(1)->nMDBType),
            std::tuple(12.5f, "Grand total", 2, 99.5f, 4));
  EXPECT_EQ(FeedLine(loaded, "TOTAL991.234,5 SUM ab"), (Strings{"1234.5", "ab"}));
}

}  // namespace
}  // namespace poshark::testing

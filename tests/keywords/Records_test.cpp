#include "keywords/Records.h"
#include "keywords/Compare.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace poshark::keywords {
namespace {

TEST(RecordsTest, KeyTextsAreBoundedAndConditionCopiesOwnTheirRecordsAndTerminateTheirTexts) {
  std::string longText(45, 'x');
  for (const char* psz : {longText.c_str(), static_cast<const char*>(nullptr)}) {
    char* p = NewKeyText(psz);
    EXPECT_EQ(std::strlen(p), psz ? 30u : 0u);
    std::free(p);
  }
  STRUCT_Condition src{};
  std::memset(src.szValue1, 'a', sizeof src.szValue1);  // unterminated
  FreqRecList recs;
  recs.Add(SYSTEMTIME{2011, 1, 0, 1, 0, 0, 0, 0});
  src.pFreqRecs = &recs;
  STRUCT_Condition* pCopy = CopyCondition(src);
  ASSERT_NE(pCopy->pFreqRecs, nullptr);
  EXPECT_NE(pCopy->pFreqRecs, &recs);
  EXPECT_EQ(std::strlen(pCopy->szValue1), 10u);
  recs.RemoveAll();
  EXPECT_EQ(pCopy->pFreqRecs->GetSize(), 1);
  ReleaseCondition(pCopy);
}

TEST(CompareTest, OperatorsOnNumbersAndTexts) {
  EXPECT_TRUE(CmpCondition(150.0f, 100.0f, POSHARK_OP_GREATER));
  EXPECT_FALSE(CmpCondition(100.0f, 100.0f, POSHARK_OP_GREATER));
  EXPECT_TRUE(CmpCondition(100.0f, 100.0f, POSHARK_OP_GREATER_EQUAL));
  EXPECT_TRUE(CmpCondition(100.0f, 100.0f, POSHARK_OP_LESS_EQUAL));
  EXPECT_TRUE(CmpCondition(1.0f, 2.0f, POSHARK_OP_NOT_EQUAL));
  EXPECT_FALSE(CmpCondition(1.0f, 1.0f, 6));
  EXPECT_FALSE(CmpCondition(1.0f, 1.0f, -1));
  EXPECT_TRUE(CmpCondition("AB", "ABC", POSHARK_OP_LESS));     // a prefix is the lesser
  EXPECT_TRUE(CmpCondition("\xE9", "z", POSHARK_OP_GREATER));  // unsigned bytes
  EXPECT_FALSE(CmpCondition("A", "A", 7));
}

}  // namespace
}  // namespace poshark::keywords

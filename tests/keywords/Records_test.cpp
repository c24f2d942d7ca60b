#include "keywords/Records.h"
#include "keywords/Compare.h"
#include "keywords/ResultQueues.h"

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

TEST(ResultQueuesTest, EntriesTakenWithoutArraysAreReleased) {
  ResultQueues q;
  for (int i = 0; i < 3; ++i) {
    STRUCT_CatchData c{};
    c.pszData = strdup(std::to_string(i).c_str());
    q.Push(c, STRUCT_AlarmData{i % 2 == 0, i, 1}, STRUCT_ColorKeyRange{1, 2, 3, i, i + 1});
  }
  STRUCT_CatchData c[3];
  STRUCT_AlarmData a[3];
  // Without a catch array the texts are freed (checked by ASan); the rest stays in order.
  EXPECT_EQ(q.Take(1, nullptr, a, nullptr), 1);
  ASSERT_EQ(q.Take(10, c, nullptr, nullptr), 2);
  EXPECT_STREQ(c[0].pszData, "1");
  EXPECT_EQ(q.Count(), 0);
  for (int i = 0; i < 2; ++i) std::free(c[i].pszData);
  STRUCT_CatchData left{};
  left.pszData = strdup("left");
  q.Push(left, STRUCT_AlarmData{}, STRUCT_ColorKeyRange{});  // freed by the destructor
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

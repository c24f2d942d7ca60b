#include "keywords/Compare.h"
#include "keywords/MdbMap.h"
#include "keywords/Records.h"
#include "keywords/ResultQueues.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace poshark::keywords {
namespace {

TEST(KeyTextTest, CopiesAtMostThirtyCharactersIntoAThirtyOneByteBuffer) {
  std::string longText(45, 'x');
  char* p = NewKeyText(longText.c_str());
  EXPECT_EQ(std::strlen(p), 30u);
  std::free(p);
  p = NewKeyText(nullptr);
  EXPECT_STREQ(p, "");
  std::free(p);
}

TEST(ConditionCopyTest, CopyOwnsItsOwnFrequencyRecords) {
  STRUCT_Condition src{};
  src.nOperator1 = 3;
  std::memset(src.szValue1, 'a', sizeof src.szValue1);  // unterminated
  FreqRecList recs;
  SYSTEMTIME st{};
  st.wYear = 2011;
  recs.Add(st);
  src.pFreqRecs = &recs;
  STRUCT_Condition* pCopy = CopyCondition(src);
  ASSERT_NE(pCopy->pFreqRecs, nullptr);
  EXPECT_NE(pCopy->pFreqRecs, &recs);
  EXPECT_EQ(pCopy->pFreqRecs->GetSize(), 1);
  EXPECT_EQ(pCopy->nOperator1, 3);
  EXPECT_EQ(std::strlen(pCopy->szValue1), 10u);
  recs.RemoveAll();
  EXPECT_EQ(pCopy->pFreqRecs->GetSize(), 1);
  ReleaseCondition(pCopy);

  src.pFreqRecs = nullptr;
  pCopy = CopyCondition(src);
  EXPECT_EQ(pCopy->pFreqRecs, nullptr);
  ReleaseCondition(pCopy);
}

TEST(MdbMapTest, KeywordTablesHandOutTheLowestFreeIdAndIgnoreForeignSlots) {
  MdbMap map({1, 3, 4}, 5);
  EXPECT_EQ(map.GetNew(1), 0);
  for (int id = 0; id < 5; ++id) map.Set(1, id, id);
  EXPECT_EQ(map.GetNew(1), -1);
  EXPECT_EQ(map.GetNew(3), 0);
  map.Set(1, 2, -1);
  EXPECT_EQ(map.GetNew(1), 2);
  EXPECT_EQ(map.GetNew(2), -1);
  map.Set(2, 0, 7);   // no table
  map.Set(1, 5, 7);   // outside the table
  map.Set(1, -1, 7);
  EXPECT_EQ(map.Get(1, 5), -1);
  EXPECT_EQ(map.Get(2, 0), -1);
  EXPECT_EQ(map.Get(3, 0), -1);
  EXPECT_EQ(map.Get(1, 4), 4);
  map.Clear();
  EXPECT_EQ(map.Get(1, 4), -1);
}

TEST(MdbMapTest, ColourKeyTableHasThirtyTwoSlots) {
  MdbMap map({12}, 32);
  for (int id = 0; id < 32; ++id) map.Set(12, id, id);
  EXPECT_EQ(map.GetNew(12), -1);
  map.Set(12, 5, -1);
  EXPECT_EQ(map.GetNew(12), 5);
}

STRUCT_CatchData Caught(int nId, const char* pszText) {
  STRUCT_CatchData c{};
  c.nMDBID = nId;
  c.nMDBType = 1;
  c.pszData = pszText ? strdup(pszText) : nullptr;
  return c;
}

TEST(ResultQueuesTest, TakeHandsOutOldestFirstAndCountsLikeGetKeyData) {
  ResultQueues q;
  for (int i = 0; i < 5; ++i) {
    q.Push(Caught(i, std::to_string(i).c_str()), STRUCT_AlarmData{i % 2 == 0, i, 1},
           STRUCT_ColorKeyRange{1, 2, 3, i, i + 1});
  }
  STRUCT_CatchData c[5];
  STRUCT_AlarmData a[5];
  STRUCT_ColorKeyRange r[5];
  EXPECT_EQ(q.Take(0, c, a, r), 0);
  EXPECT_EQ(q.Take(-1, c, a, r), -1);
  EXPECT_EQ(q.Count(), 5);
  ASSERT_EQ(q.Take(2, c, a, r), 2);
  EXPECT_STREQ(c[0].pszData, "0");
  EXPECT_STREQ(c[1].pszData, "1");
  EXPECT_EQ(a[1].nKeyIndex, 1);
  EXPECT_EQ(r[1].nStart, 1);
  std::free(c[0].pszData);
  std::free(c[1].pszData);
  EXPECT_EQ(q.Count(), 3);
  // Without an alarm array the alarm entries are dropped all the same.
  ASSERT_EQ(q.Take(10, c, nullptr, nullptr), 3);
  EXPECT_STREQ(c[0].pszData, "2");
  EXPECT_EQ(q.Count(), 0);
  for (int i = 0; i < 3; ++i) std::free(c[i].pszData);
  // Entries dropped without a catch array free their texts (checked by ASan).
  q.Push(Caught(9, "nine"), STRUCT_AlarmData{}, STRUCT_ColorKeyRange{});
  EXPECT_EQ(q.Take(1, nullptr, a, nullptr), 1);
  q.Push(Caught(9, "left"), STRUCT_AlarmData{}, STRUCT_ColorKeyRange{});
}

TEST(CompareTest, OperatorsOnNumbersAndTexts) {
  EXPECT_TRUE(CmpCondition(150.0f, 100.0f, POSHARK_OP_GREATER));
  EXPECT_FALSE(CmpCondition(100.0f, 100.0f, POSHARK_OP_GREATER));
  EXPECT_TRUE(CmpCondition(100.0f, 100.0f, POSHARK_OP_GREATER_EQUAL));
  EXPECT_TRUE(CmpCondition(99.5f, 100.0f, POSHARK_OP_LESS));
  EXPECT_TRUE(CmpCondition(100.0f, 100.0f, POSHARK_OP_LESS_EQUAL));
  EXPECT_TRUE(CmpCondition(1.0f, 2.0f, POSHARK_OP_NOT_EQUAL));
  EXPECT_FALSE(CmpCondition(1.0f, 1.0f, 6));
  EXPECT_FALSE(CmpCondition(1.0f, 1.0f, -1));

  EXPECT_TRUE(CmpCondition("VOID", "VOID", POSHARK_OP_EQUAL));
  EXPECT_FALSE(CmpCondition("void", "VOID", POSHARK_OP_EQUAL));
  EXPECT_TRUE(CmpCondition("AB", "ABC", POSHARK_OP_LESS));  // a prefix is the lesser
  EXPECT_TRUE(CmpCondition("\xE9", "z", POSHARK_OP_GREATER));  // unsigned bytes
  EXPECT_FALSE(CmpCondition("A", "A", 7));
}

}  // namespace
}  // namespace poshark::keywords

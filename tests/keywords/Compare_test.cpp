#include "keywords/Compare.h"

#include <poshark/KeyRecords.h>

#include <gtest/gtest.h>

namespace poshark::keywords {
namespace {

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

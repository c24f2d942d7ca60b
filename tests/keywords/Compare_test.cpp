// How a caught text is compared with a condition's operand, and how it is
// read as a number.
#include "keywords/Compare.h"

#include "platform/Number.h"

#include <poshark/KeyRecords.h>

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace poshark {
namespace {

using keywords::CmpCondition;

TEST(CompareTest, OperatorsOnNumbersAndTexts) {
  EXPECT_TRUE(CmpCondition(100.0f, 100.0f, POSHARK_OP_LESS_EQUAL));
  EXPECT_TRUE(CmpCondition(1.0f, 2.0f, POSHARK_OP_NOT_EQUAL));
  EXPECT_FALSE(CmpCondition(1.0f, 1.0f, 6));
  EXPECT_FALSE(CmpCondition(1.0f, 1.0f, -1));
  EXPECT_TRUE(CmpCondition("AB", "ABC", POSHARK_OP_LESS));     // a prefix is the lesser
  EXPECT_TRUE(CmpCondition("\xE9", "z", POSHARK_OP_GREATER));  // unsigned bytes
  EXPECT_FALSE(CmpCondition("A", "A", 7));
}

TEST(LocaleNumberTest, AcceptsWholeNumbersOnlyLeavesTheTargetOnRefusalAndAtofIgnoresTheLocale) {
  using platform::AtofC;
  using platform::LocaleTextToFloat;
  float f = 0;
  ASSERT_TRUE(LocaleTextToFloat("  -12.5\t", &f));
  EXPECT_EQ(f, -12.5f);
  for (const char* pszText :
       {"", "12abc", "12 3", "0x10", "inf", "1e99", static_cast<const char*>(nullptr)})
    EXPECT_FALSE(LocaleTextToFloat(pszText, &f)) << (pszText ? pszText : "null");
  EXPECT_EQ(f, -12.5f);
  EXPECT_FALSE(LocaleTextToFloat("1", nullptr));
  // AtofC reads a point whatever the process locale, where a comma-decimal one is installed.
  EXPECT_DOUBLE_EQ(AtofC(" 1234.56xyz"), 1234.56);
  EXPECT_DOUBLE_EQ(AtofC(nullptr), 0.0);
  const char* pszOld = std::setlocale(LC_NUMERIC, nullptr);
  std::string old = pszOld ? pszOld : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
    EXPECT_DOUBLE_EQ(AtofC("12.50"), 12.5);
    std::setlocale(LC_NUMERIC, old.c_str());
  }
}

}  // namespace
}  // namespace poshark

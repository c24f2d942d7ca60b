#include "platform/Number.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace poshark::platform {
namespace {

TEST(LocaleNumberTest, AcceptsWholeNumbersOnlyLeavesTheTargetOnRefusalAndAtofIgnoresTheLocale) {
  const std::pair<const char*, float> kGood[] = {
      {"100", 100.0f}, {"  -12.5\t", -12.5f}, {"1e3", 1000.0f}};
  for (const auto& [pszText, fWant] : kGood) {
    float f = 0;
    ASSERT_TRUE(LocaleTextToFloat(pszText, &f)) << pszText;
    EXPECT_EQ(f, fWant);
  }
  float f = 7;
  for (const char* pszText : {"", "   ", "12abc", "12 3", "0x10", "inf", "nan", "1e99", "VOID"})
    EXPECT_FALSE(LocaleTextToFloat(pszText, &f)) << pszText;
  EXPECT_EQ(f, 7.0f);
  EXPECT_FALSE(LocaleTextToFloat(nullptr, &f));
  EXPECT_FALSE(LocaleTextToFloat("1", nullptr));
  // AtofC reads a point whatever the process locale.
  EXPECT_DOUBLE_EQ(AtofC(" 1234.56xyz"), 1234.56);
  EXPECT_DOUBLE_EQ(AtofC(nullptr), 0.0);
  // A comma-decimal process locale, where one is installed, changes nothing.
  const char* pszOld = std::setlocale(LC_NUMERIC, nullptr);
  std::string old = pszOld ? pszOld : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
    EXPECT_DOUBLE_EQ(AtofC("12.50"), 12.5);
    std::setlocale(LC_NUMERIC, old.c_str());
  }
}

}  // namespace
}  // namespace poshark::platform

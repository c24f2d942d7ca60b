#include "keywords/FilterFile.h"
#include "keywords/Limits.h"

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace poshark::keywords {
namespace {

using poshark::testing::TempHome;

TEST(ValueGrammarTest, Ascii2ByteDecodesCharactersHexNamesAndNumbers) {
  // Token i reads as kWant[i]; "0014": four characters without "0x" are a number.
  const char* const kTokens[] = {"",    ",",   "0x2E", "0X2e", "SP",   "esc", "SLE",
                                 "NUL", "046", "-001", "300",  "0014", "XY"};
  const char kWant[] = {0, ',', '.', '.', ' ', 27, 16, 0, '.', '\xFF', 300 & 0xFF, 14, 0};
  for (size_t i = 0; i < std::size(kTokens); ++i)
    EXPECT_EQ(ASCII2BYTE(kTokens[i]), kWant[i]) << kTokens[i];
}

class ConditionKeysTest : public ::testing::Test {
 protected:
  ConditionExtras Extras(const char* pszSection, int n, const ConditionKeyNames& names) {
    platform::ProfileReader reader(file_.c_str());
    return LoadConditionExtras(FilterSection(reader, pszSection), n, names);
  }
  TempHome home_;
  const std::string file_ = kFilterFileName;
};

TEST_F(ConditionKeysTest, FallbacksOfTheConditionKeys) {
  home_.Write(poshark::testing::kFilterFile,
              "[POS1]\n"
              "RNV1=1," +
                  std::string(81, 'r') +
                  "\nOutput1=1,5\nFreq1=2,1,3,3,0\nIdle1=1,1,2,30\n"
                  "RNV2=1,target,with,commas\nOutput2=1,5,6\nFreq2=1,1,3\nIdle2=1,1,2,30,2011,3,1,"
                  "9,15,20\n");
  // 81 characters do not fit; the keyword catcher's reset default is on.
  ConditionExtras e = Extras("POS1", 1, kKeyWordConditionKeys);
  EXPECT_EQ(std::tuple(e.bRNV, std::string(e.szRNV), e.bOutput, e.bFreq, e.bFreqReset, e.bIdle,
                       e.stIdleLast.wYear),
            std::tuple(false, "", false, false, true, true, 0));
  e = Extras("POS1", 2, kKeyWordConditionKeys);  // the frequency's unit and reset missing
  EXPECT_EQ(std::tuple(e.bRNV, std::string(e.szRNV), e.nOutput2, e.bFreq, e.stIdleLast.wMinute,
                       e.stIdleLast.wSecond),
            std::tuple(true, "target,with,commas", 6, false, 15, 20));
  // The colour-key catcher's reset default is off, and its keys have other names.
  e = Extras("POS1", 1, kColorKeyConditionKeys);
  EXPECT_FALSE(e.bFreqReset || e.bIdle);
}

// Records k of item 1 are at second k of 1 March 2011; item 2 has more
// records than its count, item 3 fewer.
TEST_F(ConditionKeysTest, FrequencyRecordsFollowTheCountAndKeepTheNewestBeyondTheLimit) {
  const int nRecords = kMaxFreqCount + 4;
  std::string text = "[POS1]\n1FreqRecNum=" + std::to_string(nRecords) + "\n";
  for (int k = 1; k <= nRecords; ++k)
    text += Format("1FreqRec%d=2011,3,1,%d,%d,%d\n", k, k / 3600, k / 60 % 60, k % 60);
  text += "2FreqRecNum=2\n3FreqRecNum=9\n";
  for (int k = 1; k <= 3; ++k)
    text += Format("2FreqRec%d=2011,3,1,0,0,%d\n3FreqRec%d=2011,3,1,0,0,%d\n", k, k, k, k);
  home_.Write(poshark::testing::kFilterFile, text);
  platform::ProfileReader reader(file_.c_str());
  FilterSection section(reader, "POS1");
  auto second = [](const SYSTEMTIME& st) { return st.wHour * 3600 + st.wMinute * 60 + st.wSecond; };
  FreqRecList recs;
  ASSERT_TRUE(LoadFreqRecs(section, 1, kKeyWordConditionKeys, &recs));
  ASSERT_EQ(recs.GetSize(), kMaxFreqCount);
  EXPECT_EQ(std::tuple(second(recs.GetAt(0)), second(recs.GetAt(kMaxFreqCount - 1))),
            std::tuple(5, nRecords));
  std::vector<int> sizes;
  for (int n : {2, 3}) {
    LoadFreqRecs(section, n, kKeyWordConditionKeys, &recs);
    sizes.push_back(recs.GetSize());
  }
  EXPECT_EQ(sizes, (std::vector<int>{2, 3}));
}

}  // namespace
}  // namespace poshark::keywords

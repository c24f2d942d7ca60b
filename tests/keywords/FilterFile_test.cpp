#include "keywords/FilterFile.h"

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <string>

namespace poshark::keywords {
namespace {

using poshark::testing::MakeTime;
using poshark::testing::TempHome;

TEST(ValueGrammarTest, Ascii2ByteDecodesCharactersHexNamesAndNumbers) {
  // Token i reads as kWant[i]; "0014": four characters without "0x" are a number.
  const char* const kTokens[] = {"",    ",",   "0x2E", "0X2e", "SP",   "esc", "SLE",
                                 "NUL", "046", "-001", "300",  "0014", "XY"};
  const char kWant[] = {0, ',', '.', '.', ' ', 27, 16, 0, '.', '\xFF', 300 & 0xFF, 14, 0};
  for (size_t i = 0; i < std::size(kTokens); ++i)
    EXPECT_EQ(ASCII2BYTE(kTokens[i]), kWant[i]) << kTokens[i];
}

TEST(ValueGrammarTest, FieldsSkipEmptyFieldsAndNumberedKeysMatchAsPrintfWritesThem) {
  LeftFields fields("1,,x,y,z");
  std::string field;
  ASSERT_TRUE(fields.Next(&field));
  EXPECT_EQ(field, "1");
  EXPECT_FALSE(fields.Next(&field));  // the empty second field
  ASSERT_TRUE(fields.Rest(&field));
  EXPECT_EQ(field, "x,y,z");
  EXPECT_FALSE(fields.Rest(&field));
  int n = 0, k = 0;
  EXPECT_TRUE(MatchNumberedKey("12freqrec3", "%dFreqRec%d", &n, &k));
  EXPECT_EQ(n * 100 + k, 1203);
  for (const char* pszKey :
       {"012FreqRec3", "12FreqRec", "12FreqRec3x", "-1FreqRec3", "99999999999FreqRec1", "FreqRec3"})
    EXPECT_FALSE(MatchNumberedKey(pszKey, "%dFreqRec%d", &n, &k)) << pszKey;
}

class ConditionKeysTest : public ::testing::Test {
 protected:
  ConditionExtras Extras(const char* pszSection, int n, const ConditionKeyNames& names) {
    platform::ProfileReader reader(file_.c_str());
    return LoadConditionExtras(FilterSection(reader, pszSection), n, names);
  }
  bool LoadRecs(const char* pszSection, int n, FreqRecList* pList) {
    platform::ProfileReader reader(file_.c_str());
    return LoadFreqRecs(FilterSection(reader, pszSection), n, kKeyWordConditionKeys, pList);
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
  ConditionExtras first = Extras("POS1", 1, kKeyWordConditionKeys);
  EXPECT_FALSE(first.bRNV);  // 81 characters do not fit
  EXPECT_STREQ(first.szRNV, "");
  EXPECT_FALSE(first.bOutput);
  EXPECT_FALSE(first.bFreq);
  EXPECT_TRUE(first.bFreqReset);  // the keyword catcher's default
  EXPECT_TRUE(first.bIdle);
  EXPECT_EQ(first.stIdleLast.wYear, 0);

  ConditionExtras second = Extras("POS1", 2, kKeyWordConditionKeys);
  EXPECT_TRUE(second.bRNV);
  EXPECT_STREQ(second.szRNV, "target,with,commas");
  EXPECT_EQ(second.nOutput2, 6);
  EXPECT_FALSE(second.bFreq);  // unit and reset missing
  EXPECT_EQ(second.stIdleLast.wMinute, 15);
  EXPECT_EQ(second.stIdleLast.wSecond, 20);

  ConditionExtras colour = Extras("POS1", 1, kColorKeyConditionKeys);
  EXPECT_FALSE(colour.bFreqReset);  // the colour-key catcher's default
  EXPECT_FALSE(colour.bIdle);       // its keys have other names
}

TEST_F(ConditionKeysTest, FrequencyRecordsRoundTripAndBrokenOrExcessRecordsAreSkipped) {
  FreqRecList list;
  list.Add(MakeTime(2011, 3, 1, 9, 0, 1));
  list.Add(MakeTime(2011, 3, 1, 10, 0, 2));
  FilterWriter out(file_);
  ASSERT_TRUE(WriteFreqRecs(out, "POS2", 1, kKeyWordConditionKeys, &list));
  EXPECT_FALSE(WriteFreqRecs(out, "POS2", 1, kKeyWordConditionKeys, nullptr));
  out.Write("POS2", "1FreqRecNum", "3");
  out.Write("POS2", "1FreqRec3", "2011,3,1,11,0");  // five fields
  ASSERT_TRUE(out.Commit());
  FreqRecList back;
  back.Add(MakeTime(1999, 1, 1));  // replaced, not merged
  ASSERT_TRUE(LoadRecs("POS2", 1, &back));
  ASSERT_EQ(back.GetSize(), 2);
  EXPECT_EQ(back.GetAt(0).wHour, 9);
  EXPECT_EQ(back.GetAt(1).wSecond, 2);
  EXPECT_FALSE(LoadRecs("POS2", 1, nullptr));

  home_.Write(poshark::testing::kFilterFile,
              "[POS3]\n1FreqRecNum=2000000000\n1FreqRec1=2011,3,1,9,0,0\n");
  ASSERT_TRUE(LoadRecs("POS3", 1, &back));  // at once: only the records present are read
  EXPECT_EQ(back.GetSize(), 1);
}

TEST_F(ConditionKeysTest, LimitStateSavesOnlyEnabledLimitsOfKeysWithConditions) {
  STRUCT_Condition idleOnly{};
  idleOnly.bIdle = true;
  idleOnly.stIdleLast = MakeTime(2011, 3, 1, 8);
  STRUCT_Condition freqOnly{};
  freqOnly.bFreq = true;
  FreqRecList recs;
  recs.Add(MakeTime(2011, 3, 1, 7));
  freqOnly.pFreqRecs = &recs;
  STRUCT_KeyWord a{}, b{}, c{};
  a.bCondition = true;
  a.pCondition = &idleOnly;
  b.pCondition = &freqOnly;  // no condition flag: skipped
  c.bCondition = true;
  c.pCondition = &freqOnly;
  FilterWriter out(file_);
  WriteLimitState(out, "POS4", {&a, &b, &c}, kKeyWordConditionKeys);
  ASSERT_TRUE(out.Commit());
  std::string text = home_.Read(poshark::testing::kFilterFile);
  EXPECT_NE(text.find("Idle1=1,1,0,0,2011,3,1,8,0,0"), std::string::npos);
  EXPECT_EQ(text.find("Idle2="), std::string::npos);
  EXPECT_EQ(text.find("Idle3="), std::string::npos);
  EXPECT_EQ(text.find("1FreqRecNum"), std::string::npos);
  EXPECT_EQ(text.find("2FreqRecNum"), std::string::npos);
  EXPECT_NE(text.find("3FreqRec1=2011,3,1,7,0,0"), std::string::npos);
}

}  // namespace
}  // namespace poshark::keywords

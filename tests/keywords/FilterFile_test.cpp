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
  EXPECT_TRUE(fields.Next(&field) && field == "1");
  EXPECT_FALSE(fields.Next(&field));  // the empty second field
  EXPECT_TRUE(fields.Rest(&field) && field == "x,y,z");
  EXPECT_FALSE(fields.Rest(&field));
  int n = 0, k = 0;
  EXPECT_TRUE(MatchNumberedKey("12freqrec3", "%dFreqRec%d", &n, &k) && n == 12 && k == 3);
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
  EXPECT_EQ(std::tuple(back.GetAt(0).wHour, back.GetAt(1).wSecond), std::tuple(9, 2));
  EXPECT_FALSE(LoadRecs("POS2", 1, nullptr));

  home_.Write(poshark::testing::kFilterFile,
              "[POS3]\n1FreqRecNum=2000000000\n1FreqRec1=2011,3,1,9,0,0\n");
  // At once: only the records present are read.
  EXPECT_TRUE(LoadRecs("POS3", 1, &back) && back.GetSize() == 1);
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
  const std::pair<const char*, bool> kSaved[] = {{"Idle1=1,1,0,0,2011,3,1,8,0,0", true},
                                                 {"Idle2=", false},
                                                 {"Idle3=", false},
                                                 {"1FreqRecNum", false},
                                                 {"2FreqRecNum", false},
                                                 {"3FreqRec1=2011,3,1,7,0,0", true}};
  for (const auto& [pszKey, bSaved] : kSaved)
    EXPECT_EQ(text.find(pszKey) != std::string::npos, bSaved) << pszKey;
}

}  // namespace
}  // namespace poshark::keywords

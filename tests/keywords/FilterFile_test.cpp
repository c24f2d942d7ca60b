#include "keywords/FilterFile.h"

#include "TempHome.h"

#include <gtest/gtest.h>

#include <string>

namespace poshark::keywords {
namespace {

using poshark::testing::MakeTime;
using poshark::testing::TempHome;

TEST(Ascii2ByteTest, DecodesSingleCharactersHexNamesAndNumbers) {
  EXPECT_EQ(ASCII2BYTE(""), '\0');
  EXPECT_EQ(ASCII2BYTE("A"), 'A');
  EXPECT_EQ(ASCII2BYTE(","), ',');
  EXPECT_EQ(ASCII2BYTE("0x2E"), '.');
  EXPECT_EQ(ASCII2BYTE("0X2e"), '.');
  EXPECT_EQ(ASCII2BYTE("0x1B"), 27);
  EXPECT_EQ(ASCII2BYTE("SP"), ' ');
  EXPECT_EQ(ASCII2BYTE("esc"), 27);
  EXPECT_EQ(ASCII2BYTE("Dle"), 16);
  EXPECT_EQ(ASCII2BYTE("SLE"), 16);
  EXPECT_EQ(ASCII2BYTE("SI"), 15);
  EXPECT_EQ(ASCII2BYTE("NUL"), 0);
  EXPECT_EQ(ASCII2BYTE("046"), '.');
  EXPECT_EQ(ASCII2BYTE("044"), ',');
  EXPECT_EQ(ASCII2BYTE("-001"), static_cast<char>(-1));
  EXPECT_EQ(ASCII2BYTE("300"), static_cast<char>(300 & 0xFF));
  EXPECT_EQ(ASCII2BYTE("0014"), 14);  // four characters without "0x": a number
  EXPECT_EQ(ASCII2BYTE("XY"), 0);
}

TEST(Ascii2ByteTest, HexHalvesMapZeroAndForeignCharactersToZero) {
  EXPECT_EQ(HexHiByte('1'), 0x10);
  EXPECT_EQ(HexHiByte('f'), 0xF0);
  EXPECT_EQ(HexHiByte('0'), 0);
  EXPECT_EQ(HexLoByte('9'), 9);
  EXPECT_EQ(HexLoByte('B'), 11);
  EXPECT_EQ(HexLoByte('g'), 0);
  EXPECT_EQ(HexLoByte('\0'), 0);
}

TEST(ValueGrammarTest, AtoiStopsAtTheFirstForeignCharacterAndSaturates) {
  EXPECT_EQ(AtoiText("  -12abc"), -12);
  EXPECT_EQ(AtoiText("+7"), 7);
  EXPECT_EQ(AtoiText("abc"), 0);
  EXPECT_EQ(AtoiText(""), 0);
  EXPECT_EQ(AtoiText("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(AtoiText("-99999999999999999999"), INT32_MIN);
}

TEST(ValueGrammarTest, LeftFieldsTreatEmptyFieldsAsMissingAndRestKeepsCommas) {
  LeftFields fields("1,,x,y,z");
  std::string field;
  ASSERT_TRUE(fields.Next(&field));
  EXPECT_EQ(field, "1");
  EXPECT_FALSE(fields.Next(&field));  // the empty second field
  ASSERT_TRUE(fields.Rest(&field));
  EXPECT_EQ(field, "x,y,z");
  EXPECT_FALSE(fields.Rest(&field));

  LeftFields two("1,2");
  int n = 0;
  EXPECT_TRUE(two.NextInt(&n));
  EXPECT_TRUE(two.NextInt(&n));
  EXPECT_EQ(n, 2);
  EXPECT_FALSE(two.NextInt(&n));
}

TEST(ValueGrammarTest, SplitAtLastCommaLeavesEarlierCommasInTheFirstField) {
  std::string before, after;
  ASSERT_TRUE(SplitAtLastComma("A,B,17", &before, &after));
  EXPECT_EQ(before, "A,B");
  EXPECT_EQ(after, "17");
  ASSERT_TRUE(SplitAtLastComma("TOTAL,", &before, &after));
  EXPECT_EQ(before, "TOTAL");
  EXPECT_EQ(after, "");
  EXPECT_FALSE(SplitAtLastComma("TOTAL", &before, &after));
}

class ConditionKeysTest : public ::testing::Test {
 protected:
  TempHome home_;
  const std::string file_ = kFilterFileName;
};

TEST_F(ConditionKeysTest, FallbacksOfTheConditionKeys) {
  home_.WriteFilterFile(
      "[POS1]\n"
      "RNV1=1," + std::string(81, 'r') + "\n"
      "Output1=1,5\n"
      "Freq1=2,1,3,3,0\n"
      "Idle1=1,1,2,30\n"
      "RNV2=1,target,with,commas\n"
      "Output2=1,5,6\n"
      "Freq2=1,1,3\n"
      "Idle2=1,1,2,30,2011,3,1,9,15,20\n");
  ConditionExtras first = LoadConditionExtras(file_, "POS1", 1, kKeyWordConditionKeys);
  EXPECT_FALSE(first.bRNV);
  EXPECT_STREQ(first.szRNV, "");
  EXPECT_FALSE(first.bOutput);
  EXPECT_FALSE(first.bFreq);
  EXPECT_TRUE(first.bFreqReset);  // the keyword catcher's default
  EXPECT_TRUE(first.bIdle);
  EXPECT_EQ(first.nIdleHours, 2);
  EXPECT_EQ(first.nIdleMinutes, 30);
  EXPECT_EQ(first.stIdleLast.wYear, 0);
  EXPECT_EQ(first.stIdleLast.wMonth, 0);

  ConditionExtras second = LoadConditionExtras(file_, "POS1", 2, kKeyWordConditionKeys);
  EXPECT_TRUE(second.bRNV);
  EXPECT_STREQ(second.szRNV, "target,with,commas");
  EXPECT_TRUE(second.bOutput);
  EXPECT_EQ(second.nOutput1, 5);
  EXPECT_EQ(second.nOutput2, 6);
  EXPECT_FALSE(second.bFreq);  // unit and reset missing
  EXPECT_EQ(second.stIdleLast.wYear, 2011);
  EXPECT_EQ(second.stIdleLast.wMinute, 15);
  EXPECT_EQ(second.stIdleLast.wSecond, 20);

  ConditionExtras colour = LoadConditionExtras(file_, "POS1", 1, kColorKeyConditionKeys);
  EXPECT_FALSE(colour.bFreqReset);  // the colour-key catcher's default
  EXPECT_FALSE(colour.bIdle);       // its keys have other names
}

TEST_F(ConditionKeysTest, WrittenConditionKeysLoadBackUnderEitherSetOfNames) {
  STRUCT_Condition cond{};
  cond.bRNV = true;
  std::snprintf(cond.szRNV, sizeof cond.szRNV, "%s", "host:4000");
  cond.bOutput = true;
  cond.nOutput1 = -3;
  cond.nOutput2 = 9;
  cond.bFreq = true;
  cond.nFreqCount = 4;
  cond.nFreqUnit = 2;
  cond.bFreqReset = false;
  cond.bIdle = true;
  cond.nIdleHours = 1;
  cond.nIdleMinutes = 45;
  cond.stIdleLast = MakeTime(2012, 2, 29, 23, 59, 58);

  for (const ConditionKeyNames* pNames : {&kKeyWordConditionKeys, &kColorKeyConditionKeys}) {
    WriteConditionExtras(file_, "Sec", 3, *pNames, cond);
    ConditionExtras ex = LoadConditionExtras(file_, "Sec", 3, *pNames);
    STRUCT_Condition back{};
    StoreConditionExtras(ex, &back);
    EXPECT_TRUE(back.bRNV);
    EXPECT_STREQ(back.szRNV, "host:4000");
    EXPECT_EQ(back.nOutput1, -3);
    EXPECT_EQ(back.nOutput2, 9);
    EXPECT_TRUE(back.bFreq);
    EXPECT_EQ(back.nFreqCount, 4);
    EXPECT_EQ(back.nFreqUnit, 2);
    EXPECT_FALSE(back.bFreqReset);
    EXPECT_TRUE(back.bIdle);
    EXPECT_EQ(back.nIdleMinutes, 45);
    EXPECT_EQ(back.stIdleLast.wDay, 29);
    EXPECT_EQ(back.stIdleLast.wSecond, 58);
    EXPECT_EQ(back.pFreqRecs, nullptr);
  }
  std::string text = home_.ReadFilterFile();
  EXPECT_NE(text.find("Freq3=1,1,4,2,0,0"), std::string::npos);
  EXPECT_NE(text.find("CKIdle3=1,1,1,45,2012,2,29,23,59,58"), std::string::npos);
}

TEST_F(ConditionKeysTest, FrequencyRecordsRoundTripOldestFirstAndSkipBrokenOnes) {
  FreqRecList list;
  list.Add(MakeTime(2011, 3, 1, 9, 0, 1));
  list.Add(MakeTime(2011, 3, 1, 10, 0, 2));
  ASSERT_TRUE(WriteFreqRecs(file_, "POS2", 1, kKeyWordConditionKeys, &list));
  EXPECT_FALSE(WriteFreqRecs(file_, "POS2", 1, kKeyWordConditionKeys, nullptr));
  std::string text = home_.ReadFilterFile();
  EXPECT_NE(text.find("1FreqRecNum=2"), std::string::npos);
  EXPECT_NE(text.find("1FreqRec1=2011,3,1,9,0,1"), std::string::npos);

  WriteFilterValue(file_, "POS2", "1FreqRecNum", "3");
  WriteFilterValue(file_, "POS2", "1FreqRec3", "2011,3,1,11,0");  // five fields
  FreqRecList back;
  back.Add(MakeTime(1999, 1, 1));  // replaced, not merged
  ASSERT_TRUE(LoadFreqRecs(file_, "POS2", 1, kKeyWordConditionKeys, &back));
  ASSERT_EQ(back.GetSize(), 2);
  EXPECT_EQ(back.GetAt(0).wHour, 9);
  EXPECT_EQ(back.GetAt(1).wHour, 10);
  EXPECT_EQ(back.GetAt(1).wSecond, 2);
  EXPECT_FALSE(LoadFreqRecs(file_, "POS2", 1, kKeyWordConditionKeys, nullptr));
}

TEST_F(ConditionKeysTest, HugeRecordCountInTheFileIsBounded) {
  WriteFilterValue(file_, "POS2", "1FreqRecNum", "2000000000");
  WriteFilterValue(file_, "POS2", "1FreqRec1", "2011,3,1,9,0,0");
  FreqRecList back;
  ASSERT_TRUE(LoadFreqRecs(file_, "POS2", 1, kKeyWordConditionKeys, &back));
  EXPECT_EQ(back.GetSize(), 1);
}

TEST_F(ConditionKeysTest, CleaningKeepsTheKeysWithEmptyValues) {
  STRUCT_Condition cond{};
  cond.bOutput = true;
  WriteConditionExtras(file_, "ColorKey1", 1, kColorKeyConditionKeys, cond);
  CleanConditionExtras(file_, "ColorKey1", 1, kColorKeyConditionKeys);
  std::string text = home_.ReadFilterFile();
  for (const char* pszKey : {"CKRNV1=", "CKOutput1=", "CKFreq1=", "CKIdle1=", "1CKFreqRecNum="}) {
    EXPECT_NE(text.find(std::string(pszKey) + "\n"), std::string::npos) << pszKey;
  }
  ConditionExtras ex = LoadConditionExtras(file_, "ColorKey1", 1, kColorKeyConditionKeys);
  EXPECT_FALSE(ex.bOutput);
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
  b.bCondition = false;  // no condition: skipped
  c.bCondition = true;
  c.pCondition = &freqOnly;
  WriteLimitState(file_, "POS4", {&a, &b, &c}, kKeyWordConditionKeys);
  std::string text = home_.ReadFilterFile();
  EXPECT_NE(text.find("Idle1=1,1,0,0,2011,3,1,8,0,0"), std::string::npos);
  EXPECT_EQ(text.find("Idle2="), std::string::npos);
  EXPECT_EQ(text.find("Idle3="), std::string::npos);
  EXPECT_EQ(text.find("1FreqRecNum"), std::string::npos);
  EXPECT_NE(text.find("3FreqRecNum=1"), std::string::npos);
  EXPECT_NE(text.find("3FreqRec1=2011,3,1,7,0,0"), std::string::npos);
}

}  // namespace
}  // namespace poshark::keywords

#include <poshark/ColorKeyCatcher.h>

#include "keywords/TempHome.h"
#include "platform/Profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using poshark::testing::FakeClock;
using poshark::testing::MakeTime;
using poshark::testing::TempHome;

std::string Value(const char* pszSection, const char* pszKey) {
  char sz[260] = {};
  poshark::platform::GetPrivateProfileStringA(pszSection, pszKey, "<missing>", sz, sizeof sz,
                                              "POSKeyFilter.ini");
  return sz;
}

// Loads section ColorKey1 of the given file text.
class ColorKeyFileTest : public ::testing::Test {
 protected:
  void Load(const std::string& section) {
    home_.WriteFilterFile("[ColorKey1]\n" + section);
    ASSERT_TRUE(c_.LoadIni(1));
  }
  STRUCT_KeyWord* Key(int i) { return c_.GetKeyWord(i); }
  std::vector<std::string> KeyWords() {
    std::vector<std::string> out;
    for (int i = 0; i < c_.GetKeyWordNum(); ++i) out.push_back(Key(i)->pszKeyWord);
    return out;
  }

  TempHome home_;
  ColorKeyCatcher c_;
};

TEST_F(ColorKeyFileTest, ItemKeysSplitAtTheirLastCommasAndUnusableItemsAreSkipped) {
  Load("CKNum=11\n"
       "CKItem1=TOTAL,5\nCKName1=Total,12,3,\n"
       "CKItem2=A,B,0\nCKName2=Cash, card,12,4,046\n"
       "CKItem3=SKIP\nCKName3=Skip,12,5,\n"
       "CKItem4=TWO\nCKName4=Total,12\n"
       "CKItem5=LAST,0\nCKName5=Last,1,0,\n"
       "CKItem6=,1\nCKName6=A,12,0,\n"
       "CKItem7=KEY,\nCKName7=A,12,0,\n"
       "CKItem8=" + std::string(31, 'K') + ",0\nCKName8=A,12,0,\n"
       "CKItem9=KEY,0\nCKName9=,12,0,\n"
       "CKItem10=KEY,0\nCKName10=A,12,,\n"
       "CKItem11=LONG,0\nCKName11=" + std::string(40, 'N') + ",12,6,\n");
  EXPECT_EQ(KeyWords(), (std::vector<std::string>{"TOTAL", "A,B", "LAST", "LONG"}));
  EXPECT_EQ(Key(0)->nCatchFlags, 0);
  EXPECT_EQ(Key(0)->nMDBID, 3);
  EXPECT_STREQ(Key(1)->pszName, "Cash, card");
  EXPECT_EQ(Key(2)->nMDBType, 1);
  EXPECT_EQ(Key(2)->nIndex, 2);  // positions close up over skipped items
  EXPECT_STREQ(Key(3)->pszName, std::string(30, 'N').c_str());
}

TEST_F(ColorKeyFileTest, ColoursAndCatchTimesFallBackFieldByField) {
  Load("CKNum=5\n"
       "CKItem1=K1,0\nCKName1=K,12,0,\nCKColor1=1,7,255,0,0\nCKCatchTime1=1,22,0\n"
       "CKItem2=K2,0\nCKName2=K,12,1,\nCKColor2=1,7,10\nCKCatchTime2=0,8,0,17,0\n"
       "CKItem3=K3,0\nCKName3=K,12,2,\nCKColor3=0,7,1,2,3\nCKCatchTime3=1,8,15,17,45\n"
       "CKItem4=K4,0\nCKName4=K,12,3,\n"
       "CKItem5=K5,0\nCKName5=K,12,4,\nCKColor5=5,2,1,2,3\n");
  ASSERT_EQ(c_.GetKeyWordNum(), 5);
  const uint32_t kColours[] = {255u, 16776970u, 0xFFFFFFu, 0xFFFFFFu, 0x030201u};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Key(i)->crKeyColor, kColours[i]) << i;
  EXPECT_EQ(Key(2)->nColorValue2, 0u);
  EXPECT_TRUE(Key(0)->bCatchTime);
  EXPECT_EQ(Key(0)->stCatchStart.wHour, 22);
  EXPECT_EQ(Key(0)->stCatchEnd.wHour, 0);
  EXPECT_FALSE(Key(1)->bCatchTime);
  EXPECT_EQ(Key(1)->stCatchStart.wHour, 0);
  EXPECT_EQ(Key(2)->stCatchEnd.wMinute, 45);
  // The loaded 22:00-00:00 window is open before midnight only.
  int nCount = 0;
  c_.FindKeyData("K1", 0, nCount, MakeTime(2024, 1, 1, 23, 59), 0);
  c_.FindKeyData("K1", 0, nCount, MakeTime(2024, 1, 1, 0, 0), 0);
  EXPECT_EQ(nCount, 1);
}

TEST_F(ColorKeyFileTest, ConditionNeedsAForwardingTargetOrAnOutput) {
  Load("CKNum=4\n"
       "CKItem1=K1,0\nCKName1=K,12,0,\nCKFreq1=1,1,3,1,0\n"
       "CKItem2=K2,0\nCKName2=K,12,1,\nCKRNV2=1," + std::string(81, 'R') + "\n"
       "CKItem3=K3,0\nCKName3=K,12,2,\nCKRNV3=1,HOST,7\nCKFreq3=1,1,3,2,0\nCKIdle3=1,1,2,30\n"
       "CKItem4=K4,0\nCKName4=K,12,3,\nCKOutput4=1,4,5\nCKFreq4=1,1,2,3\n");
  ASSERT_EQ(c_.GetKeyWordNum(), 4);
  EXPECT_FALSE(Key(0)->bCondition);
  EXPECT_FALSE(Key(1)->bCondition);
  ASSERT_TRUE(Key(2)->bCondition);
  const STRUCT_Condition& c3 = *Key(2)->pCondition;
  EXPECT_STREQ(c3.szRNV, "HOST,7");
  EXPECT_EQ(c3.nFreqUnit, 2);
  EXPECT_FALSE(c3.bFreqReset);
  EXPECT_EQ(c3.nIdleMinutes, 30);
  ASSERT_TRUE(Key(3)->bCondition);
  EXPECT_EQ(Key(3)->pCondition->nOutput2, 5);
  EXPECT_FALSE(Key(3)->pCondition->bFreq);  // a field missing
}

TEST_F(ColorKeyFileTest, WriteThenLoadGivesTheSameList) {
  STRUCT_Condition cond{};
  cond.bRNV = true;
  std::strcpy(cond.szRNV, "ALARM,DESK");
  cond.bOutput = true;
  cond.nOutput2 = -3;
  cond.bFreq = true;
  cond.nFreqUnit = 5;
  cond.bFreqReset = true;
  cond.bIdle = true;
  cond.stIdleLast = MakeTime(2024, 2, 29, 23, 59, 58);
  ASSERT_TRUE(c_.AddKeyWord("VOID, ALL", "Voids", 12, 7, 1, 9, 0x00C08040, true,
                            SYSTEMTIME{0, 0, 0, 0, 22, 30, 0, 0}, SYSTEMTIME{0, 0, 0, 0, 6, 5, 0, 0}, true, &cond));
  ASSERT_TRUE(c_.AddKeyWord("CASH", nullptr, 12, -1, 0, 9, 0x123456, false, {}, {}, false,
                            nullptr));
  ASSERT_TRUE(c_.AddKeyWord("X", "Other", 3, 40, 1, 0, 0, false, {}, {}, false, nullptr));
  ASSERT_TRUE(c_.WriteIni(1));
  EXPECT_EQ(Value("ColorKey1", "CKColor1"), "1,9,64,128,192");
  EXPECT_EQ(Value("ColorKey1", "CKRNV2"), "");  // cleaned, key kept

  ColorKeyCatcher loaded;
  ASSERT_TRUE(loaded.LoadIni(1));
  ASSERT_EQ(loaded.GetKeyWordNum(), 3);
  const STRUCT_KeyWord& k = *loaded.GetKeyWord(0);
  EXPECT_STREQ(k.pszKeyWord, "VOID, ALL");
  EXPECT_EQ(k.nMDBID, 7);
  EXPECT_EQ(k.crKeyColor, 0x00C08040u);
  EXPECT_EQ(k.stCatchEnd.wMinute, 5);
  ASSERT_TRUE(k.bCondition);
  EXPECT_STREQ(k.pCondition->szRNV, "ALARM,DESK");
  EXPECT_EQ(k.pCondition->nOutput2, -3);
  EXPECT_EQ(k.pCondition->stIdleLast.wSecond, 58);
  // Colour flag 0: the second value and the colour come back as 0 and white.
  const STRUCT_KeyWord& cash = *loaded.GetKeyWord(1);
  EXPECT_STREQ(cash.pszName, "CASH");
  EXPECT_EQ(cash.nColorValue2, 0u);
  EXPECT_EQ(cash.crKeyColor, 0xFFFFFFu);
  EXPECT_EQ(loaded.GetKeyWord(2)->nMDBID, 40);
}

TEST_F(ColorKeyFileTest, LimitStateIsSavedAndLoadedWithTheRecordsInOrder) {
  FakeClock clock;
  STRUCT_Condition cond{};
  cond.bRNV = true;
  std::strcpy(cond.szRNV, "T");
  cond.bFreq = true;
  cond.nFreqCount = 3;
  cond.nFreqUnit = 3;
  ASSERT_TRUE(c_.AddKeyWord("K", nullptr, 12, -1, 0, 0, 0, false, {}, {}, true, &cond));
  ASSERT_TRUE(c_.WriteIni(2));
  EXPECT_EQ(Value("ColorKey2", "1CKFreqRecNum"), "<missing>");
  int nCount = 0;
  for (int h : {9, 10}) {
    clock.Set(MakeTime(2024, 5, 6, h, 30, 2));
    c_.FindKeyData("K", 0, nCount, MakeTime(2024, 5, 6, h, 30), 0);
  }
  ASSERT_TRUE(c_.WriteIni_FreqIdleRec(2));
  EXPECT_EQ(Value("ColorKey2", "1CKFreqRecNum"), "2");
  EXPECT_EQ(Value("ColorKey2", "1CKFreqRec2"), "2024,5,6,10,30,2");

  ColorKeyCatcher loaded;
  ASSERT_TRUE(loaded.LoadIni(2));
  ASSERT_EQ(loaded.GetKeyWord(0)->pCondition->pFreqRecs->GetSize(), 2);
  // The third match within the day lets the alarm through.
  clock.Set(MakeTime(2024, 5, 6, 11, 0, 0));
  STRUCT_CatchData catches[2];
  STRUCT_AlarmData alarms[2];
  STRUCT_ColorKeyRange ranges[2];
  loaded.FindKeyData("K", 0, nCount, MakeTime(2024, 5, 6, 11, 0), 0);
  ASSERT_EQ(loaded.GetKeyData(catches, alarms, ranges, 2), 1);
  EXPECT_TRUE(alarms[0].bAlarm);
}

// Regression: keys reloaded while Hebrew lines keep coming used to be searched
// as stored (never found) until the lines' character set changed.
TEST_F(ColorKeyFileTest, ReloadKeepsMdbIdsAndFindsRightToLeftKeysAtOnce) {
  const std::string shalom = "\xF9\xEC\xE5\xED";
  const std::string shown = "\xED\xE5\xEC\xF9";
  Load("CKNum=1\nCKItem1=" + shalom + ",0\nCKName1=H,12,2,\n");
  ASSERT_TRUE(c_.AddKeyWord("X", nullptr, 12, 9, 0, 0, 0, false, {}, {}, false, nullptr));
  int nCount = 0;
  c_.FindKeyData(shown.c_str(), 0, nCount, MakeTime(2024, 1, 1, 12, 0), 177);
  EXPECT_EQ(nCount, 1);
  ASSERT_TRUE(c_.LoadIni(1));
  ASSERT_EQ(c_.GetKeyWordNum(), 1);
  // ID 9 of the key the reload dropped stays taken until DeleteAllKeyWord.
  EXPECT_EQ(c_.GetNewMDBID(12), 0);
  // Same character set after a reload: the reloaded key is found at once.
  c_.FindKeyData(shown.c_str(), 0, nCount, MakeTime(2024, 1, 1, 12, 0), 177);
  EXPECT_EQ(nCount, 2);
  c_.FindKeyDataZero();
  c_.FindKeyData(shown.c_str(), 0, nCount, MakeTime(2024, 1, 1, 12, 0), 177);
  EXPECT_EQ(nCount, 3);
  int nAdded = 0;
  while (c_.AddKeyWord("Y", nullptr, 12, -1, 0, 0, 0, false, {}, {}, false, nullptr)) ++nAdded;
  EXPECT_EQ(nAdded, 30);
  for (int i = 1; i < c_.GetKeyWordNum(); ++i) EXPECT_NE(c_.GetKeyWord(i)->nMDBID, 9);
}

TEST_F(ColorKeyFileTest, LoadIniItemFillsACallersRecordOnlyWithBuffers) {
  home_.WriteFilterFile("[ColorKey3]\nCKItem4=KEY,0\nCKName4=Name,12,1,SP\nCKOutput4=1,1,2\n");
  char szKey[31] = {};
  char szName[31] = {};
  STRUCT_KeyWord rec{};
  rec.pszKeyWord = szKey;
  rec.pszName = szName;
  ASSERT_TRUE(c_.LoadIniItem("ColorKey3", 4, &rec));
  EXPECT_STREQ(szKey, "KEY");
  EXPECT_EQ(rec.cDecimalSign, ' ');
  ASSERT_NE(rec.pCondition, nullptr);  // given a condition of its own
  EXPECT_EQ(rec.pCondition->nOutput2, 2);
  delete rec.pCondition->pFreqRecs;
  delete rec.pCondition;
  STRUCT_KeyWord noBuffers{};
  EXPECT_FALSE(c_.LoadIniItem("ColorKey3", 4, &noBuffers));
  EXPECT_FALSE(c_.LoadIniItem("ColorKey3", 4, nullptr));
}

}  // namespace

#include <poshark/ColorKeyCatcher.h>

#include "keywords/CatcherHelpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using poshark::testing::MakeTime;
using poshark::testing::TempHome;

// Loads section ColorKey1 of the given file text.
class ColorKeyFileTest : public ::testing::Test {
 protected:
  void Load(const std::string& section) {
    home_.Write(poshark::testing::kFilterFile, "[ColorKey1]\n" + section);
    ASSERT_TRUE(c_.LoadIni(1));
  }
  STRUCT_KeyWord* Key(int i) { return c_.GetKeyWord(i); }

  TempHome home_;
  ColorKeyCatcher c_;
};

TEST_F(ColorKeyFileTest, ColoursAndCatchTimesFallBackFieldByField) {
  Load(
      "CKNum=5\n"
      "CKItem1=K1,0\nCKName1=K,12,0,\nCKColor1=1,7,255,0,0\nCKCatchTime1=1,22,0\n"
      "CKItem2=K2,0\nCKName2=K,12,1,\nCKColor2=1,7,10\nCKCatchTime2=0,8,0,17,0\n"
      "CKItem3=K3,0\nCKName3=K,12,2,\nCKColor3=0,7,1,2,3\nCKCatchTime3=1,8,15,17,45\n"
      "CKItem4=K4,0\nCKName4=K,12,3,\n"
      "CKItem5=K5,0\nCKName5=K,12,4,\nCKColor5=5,2,1,2,3\n");
  ASSERT_EQ(c_.GetKeyWordNum(), 5);
  const uint32_t kColours[] = {255u, 16776970u, 0xFFFFFFu, 0xFFFFFFu, 0x030201u};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Key(i)->crKeyColor, kColours[i]) << i;
  EXPECT_EQ(std::tuple(Key(2)->nColorValue2, Key(0)->bCatchTime, Key(0)->stCatchStart.wHour,
                       Key(0)->stCatchEnd.wHour, Key(1)->bCatchTime, Key(2)->stCatchEnd.wMinute),
            std::tuple(0u, true, 22, 0, false, 45));
  // The loaded 22:00-00:00 window is open before midnight only.
  int nCount = 0;
  c_.FindKeyData("K1", 0, nCount, MakeTime(2024, 1, 1, 23, 59), 0);
  c_.FindKeyData("K1", 0, nCount, MakeTime(2024, 1, 1, 0, 0), 0);
  EXPECT_EQ(nCount, 1);
}

// Regression: keys reloaded while Hebrew lines keep coming used to be searched
// as stored (never found) until the lines' character set changed.
TEST_F(ColorKeyFileTest, ReloadedRightToLeftKeysAreFoundAtOnce) {
  Load("CKNum=1\nCKItem1=\xF9\xEC\xE5\xED,0\nCKName1=H,12,2,\n");
  // Same character set after a reload: the reloaded key is found at once.
  int nCount = 0;
  for (int nStep = 1; nStep <= 3; ++nStep) {
    if (nStep == 2) {
      ASSERT_TRUE(c_.LoadIni(1));
    }
    if (nStep == 3) c_.FindKeyDataZero();
    c_.FindKeyData("\xED\xE5\xEC\xF9", 0, nCount, MakeTime(2024, 1, 1, 12, 0), 177);
    EXPECT_EQ(nCount, nStep);
  }
}

// The keyword catcher's sections beside these, and saves of both at once,
// are the fault tests' part.
TEST_F(ColorKeyFileTest, SavedKeysLoadBackWithConditionLimitsAndCatchTimeAndNothingElseChanges) {
  home_.Write(poshark::testing::kFilterFile, "; operator notes\n[Other]\nKeep=1\n");
  FreqRecList recs;
  for (int i = 0; i < 3; ++i) recs.Add(MakeTime(2024, 6, 1, 9, i, 0));
  STRUCT_Condition cond{};
  cond.bRNV = true;
  std::strcpy(cond.szRNV, "FLOOR");
  std::tie(cond.bFreq, cond.nFreqCount, cond.nFreqUnit, cond.pFreqRecs) =
      std::tuple(true, 5, 3, &recs);
  std::tie(cond.bIdle, cond.nIdleMinutes, cond.stIdleLast) =
      std::tuple(true, 10, MakeTime(2024, 6, 1, 8, 0, 0));
  ASSERT_TRUE(c_.AddKeyWord("VOID", "Voids", 12, -1, 1, 4, 0x00C08040, true, MakeTime(0, 0, 0, 21),
                            MakeTime(0, 0, 0, 7, 30), true, &cond));
  ASSERT_TRUE(c_.WriteIni(1));
  ASSERT_TRUE(c_.WriteIni_FreqIdleRec(1));
  std::string text = home_.Read(poshark::testing::kFilterFile);
  for (const char* pszPart : {"; operator notes", "Keep=1", "CKColor1=1,4,64,128,192"})
    EXPECT_NE(text.find(pszPart), std::string::npos) << pszPart;
  ColorKeyCatcher loaded;
  ASSERT_TRUE(loaded.LoadIni(1));
  ASSERT_EQ(loaded.GetKeyWordNum(), 1);
  const STRUCT_KeyWord& ck = *loaded.GetKeyWord(0);
  ASSERT_TRUE(ck.bCondition);
  EXPECT_EQ(std::tuple(ck.stCatchEnd.wMinute, std::string(ck.pCondition->szRNV),
                       ck.pCondition->stIdleLast.wHour, ck.pCondition->pFreqRecs->GetSize()),
            std::tuple(30, "FLOOR", 8, 3));
}

}  // namespace

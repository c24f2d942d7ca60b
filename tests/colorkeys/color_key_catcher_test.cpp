#include <poshark/ColorKeyCatcher.h>

#include "keywords/Records.h"
#include "keywords/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using poshark::testing::FakeClock;
using poshark::testing::MakeTime;

SYSTEMTIME At(int h, int m) {
  return MakeTime(2024, 3, 14, h, m);
}

SYSTEMTIME HourMinute(int h, int m) {
  SYSTEMTIME st{};
  st.wHour = static_cast<uint16_t>(h);
  st.wMinute = static_cast<uint16_t>(m);
  return st;
}

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

// Hebrew "shalom" in windows-1255, as typed and as it shows left to right.
const std::string kShalom = Bytes({0xF9, 0xEC, 0xE5, 0xED});
const std::string kShalomShown = Bytes({0xED, 0xE5, 0xEC, 0xF9});
// Arabic "salam" in windows-1256.
const std::string kSalam = Bytes({0xD3, 0xE1, 0xC7, 0xE3});
const std::string kSalamShown = Bytes({0xE3, 0xC7, 0xE1, 0xD3});

bool AddKey(ColorKeyCatcher& c, const std::string& key, int nMDBID = -1, uint32_t v1 = 1,
            uint32_t v2 = 7, uint32_t cr = 0x0000FF, int nType = 12) {
  return c.AddKeyWord(key.c_str(), nullptr, nType, nMDBID, v1, v2, cr, false, SYSTEMTIME{},
                      SYSTEMTIME{}, false, nullptr);
}

bool AddWindowKey(ColorKeyCatcher& c, const std::string& key, SYSTEMTIME start, SYSTEMTIME end) {
  return c.AddKeyWord(key.c_str(), nullptr, 12, -1, 1, 0, 0, true, start, end, false, nullptr);
}

struct Result {
  STRUCT_CatchData catchData;
  STRUCT_AlarmData alarm;
  STRUCT_ColorKeyRange range;
};

std::vector<Result> Collect(ColorKeyCatcher& c) {
  STRUCT_CatchData* pNull = nullptr;
  int n = c.GetKeyData(pNull, 0);
  std::vector<STRUCT_CatchData> catches(static_cast<size_t>(n) + 1);
  std::vector<STRUCT_AlarmData> alarms(static_cast<size_t>(n) + 1);
  std::vector<STRUCT_ColorKeyRange> ranges(static_cast<size_t>(n) + 1);
  int got = c.GetKeyData(catches.data(), alarms.data(), ranges.data(), n);
  EXPECT_EQ(got, n);
  std::vector<Result> out;
  for (int i = 0; i < got; ++i) out.push_back({catches[i], alarms[i], ranges[i]});
  return out;
}

std::vector<std::pair<int, int>> Ranges(const std::vector<Result>& results) {
  std::vector<std::pair<int, int>> out;
  for (const Result& r : results) out.emplace_back(r.range.nStart, r.range.nEnd);
  return out;
}

std::vector<std::pair<int, int>> Find(ColorKeyCatcher& c, const std::string& line,
                                      SYSTEMTIME t = At(12, 0), uint32_t nCharSet = 0) {
  int nCount = 0;
  EXPECT_TRUE(c.FindKeyData(line.c_str(), static_cast<int>(line.size()), nCount, t, nCharSet));
  auto ranges = Ranges(Collect(c));
  EXPECT_EQ(nCount, static_cast<int>(ranges.size()));
  return ranges;
}

using RangeList = std::vector<std::pair<int, int>>;

class ScopedCodePage {
 public:
  explicit ScopedCodePage(const char* name) {
    const char* old = std::getenv("POSHARK_CODEPAGE");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("POSHARK_CODEPAGE", name, 1);
  }
  ~ScopedCodePage() {
    if (had_) setenv("POSHARK_CODEPAGE", old_.c_str(), 1);
    else unsetenv("POSHARK_CODEPAGE");
  }

 private:
  bool had_ = false;
  std::string old_;
};

// ---- Key list and MDB map ---------------------------------------------------

TEST(ColorKeyListTest, HandsOutTheLowestFreeOfThirtyTwoTypeTwelveIds) {
  ColorKeyCatcher c;
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(AddKey(c, "K" + std::to_string(i)));
  EXPECT_EQ(c.GetKeyWord(31)->nMDBID, 31);
  EXPECT_EQ(c.GetNewMDBID(12), -1);
  EXPECT_FALSE(AddKey(c, "MORE"));
  EXPECT_EQ(c.GetKeyWordNum(), 32);
  ASSERT_TRUE(c.DeleteKeyWord(5));
  EXPECT_EQ(c.GetNewMDBID(12), 5);
  // Later records keep their index after a delete.
  EXPECT_EQ(c.GetKeyWord(5)->nIndex, 6);
  EXPECT_TRUE(AddKey(c, "MORE"));
  EXPECT_EQ(c.GetKeyWord(31)->nMDBID, 5);
  EXPECT_EQ(c.GetNewMDBID(1), -1);
  EXPECT_TRUE(c.DeleteAllKeyWord());
  EXPECT_EQ(c.GetKeyWordNum(), 0);
  EXPECT_EQ(c.GetNewMDBID(12), 0);
}

TEST(ColorKeyListTest, OtherTypesNeedAnExplicitIdAndTakeNoSlot) {
  ColorKeyCatcher c;
  EXPECT_FALSE(AddKey(c, "TOTAL", -1, 1, 0, 0, 1));
  EXPECT_EQ(c.GetKeyWordNum(), 0);
  EXPECT_TRUE(AddKey(c, "TOTAL", 0, 1, 0, 0, 1));
  EXPECT_EQ(c.GetNewMDBID(12), 0);
  // Explicit type-12 IDs overwrite their slot; IDs outside the table are
  // kept in the record but take no slot (and write nothing outside it).
  EXPECT_TRUE(AddKey(c, "A", 3));
  EXPECT_TRUE(AddKey(c, "B", 32));
  EXPECT_TRUE(AddKey(c, "C", 1000));
  EXPECT_EQ(c.GetKeyWordNum(), 4);
  EXPECT_EQ(c.GetKeyWord(3)->nMDBID, 1000);
  EXPECT_TRUE(c.SetMDBID2KeyImdex(12, 32, 0));
  EXPECT_TRUE(c.SetMDBID2KeyImdex(12, -1, 0));
  EXPECT_TRUE(c.SetMDBID2KeyImdex(12, 0, 1));
  EXPECT_EQ(c.GetNewMDBID(12), 1);
  EXPECT_TRUE(c.SetMDBID2KeyImdex(7, 500, 1));  // no table: nothing, true
  for (int i = 1; i < 32; ++i)
    if (i != 3) ASSERT_TRUE(AddKey(c, "F"));
  EXPECT_EQ(c.GetNewMDBID(12), -1);  // 32 and 1000 took none of the 32
  EXPECT_TRUE(c.DeleteKeyWord(3));   // ID 1000: no slot to free
  EXPECT_TRUE(c.DeleteKeyWord(2));   // ID 32
  EXPECT_EQ(c.GetNewMDBID(12), -1);
}

TEST(ColorKeyListTest, RefusesKeysThatCannotBeSearchedAndCutsLongNames) {
  ColorKeyCatcher c;
  EXPECT_FALSE(AddKey(c, ""));
  EXPECT_FALSE(c.AddKeyWord(nullptr, "name", 12, -1, 0, 0, 0, false, {}, {}, false, nullptr));
  EXPECT_FALSE(AddKey(c, std::string(31, 'X')));
  EXPECT_EQ(c.GetKeyWordNum(), 0);
  EXPECT_EQ(c.GetNewMDBID(12), 0);  // nothing taken by the refusals

  ASSERT_TRUE(AddKey(c, std::string(30, 'X')));
  std::string longName(40, 'N');
  ASSERT_TRUE(c.AddKeyWord("KEY", longName.c_str(), 12, -1, 0, 0, 0, false, {}, {}, false,
                           nullptr));
  STRUCT_KeyWord* pKey = c.GetKeyWord(1);
  EXPECT_STREQ(pKey->pszName, std::string(30, 'N').c_str());
  EXPECT_STREQ(c.GetKeyWord(0)->pszName, std::string(30, 'X').c_str());
  EXPECT_EQ(pKey->nKeyLen, 3);
  EXPECT_EQ(pKey->pszKeyRTL, nullptr);
  EXPECT_EQ(pKey->nCatchFlags, 0);
  EXPECT_EQ(pKey->cDecimalSign, 0);
}

TEST(ColorKeyListTest, BadIndexesThrowOrFailAsTheListRulesSay) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "A"));
  EXPECT_THROW(c.GetKeyWord(-1), std::invalid_argument);
  EXPECT_THROW(c.GetKeyWord(1), std::invalid_argument);
  EXPECT_THROW(c.SetKeyWord(c.GetKeyWord(0), -1), std::invalid_argument);
  EXPECT_THROW(c.DeleteKeyWord(-1), std::invalid_argument);
  EXPECT_FALSE(c.DeleteKeyWord(1));
  EXPECT_FALSE(c.SetKeyWord(c.GetKeyWord(0), 1));
  EXPECT_FALSE(c.SetKeyWord(nullptr, 0));
}

TEST(ColorKeyListTest, SetKeyWordTakesOwnershipOnceAndReleasesWhatItReplaces) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "A"));
  ASSERT_TRUE(AddKey(c, "B"));
  // Editing in place and storing back keeps the record.
  STRUCT_KeyWord* pA = c.GetKeyWord(0);
  pA->nColorValue2 = 42;
  EXPECT_TRUE(c.SetKeyWord(pA, 0));
  EXPECT_EQ(c.GetKeyWord(0)->nColorValue2, 42u);
  // The same record at a second index would be released twice.
  EXPECT_FALSE(c.SetKeyWord(pA, 1));
  // A new record replaces (and releases) the old one; leak checkers see it.
  auto* pNew = new STRUCT_KeyWord{};
  pNew->pszKeyWord = poshark::keywords::NewKeyText("NEW");
  pNew->pszName = poshark::keywords::NewKeyText("NEW");
  pNew->nKeyLen = 3;
  pNew->nMDBType = 12;
  pNew->nMDBID = 9;
  EXPECT_TRUE(c.SetKeyWord(pNew, 1));
  EXPECT_EQ(Find(c, "xNEWx"), (RangeList{{1, 4}}));
}

TEST(ColorKeyListTest, KeysOwnCopiesOfTheirConditionAndRecords) {
  ColorKeyCatcher c;
  STRUCT_Condition cond{};
  cond.bRNV = true;
  std::strcpy(cond.szRNV, "TARGET");
  FreqRecList recs;
  recs.Add(MakeTime(2024, 1, 1, 9));
  cond.pFreqRecs = &recs;
  ASSERT_TRUE(c.AddKeyWord("K", "Name", 12, -1, 1, 2, 3, false, {}, {}, true, &cond));
  recs.Add(MakeTime(2024, 1, 1, 10));
  std::strcpy(cond.szRNV, "CHANGED");
  STRUCT_KeyWord* pKey = c.GetKeyWord(0);
  ASSERT_TRUE(pKey->bCondition);
  ASSERT_NE(pKey->pCondition, &cond);
  EXPECT_STREQ(pKey->pCondition->szRNV, "TARGET");
  ASSERT_NE(pKey->pCondition->pFreqRecs, nullptr);
  EXPECT_NE(pKey->pCondition->pFreqRecs, &recs);
  EXPECT_EQ(pKey->pCondition->pFreqRecs->GetSize(), 1);
  // The short form adds a copy of a record the caller keeps.
  EXPECT_TRUE(c.AddKeyWord(pKey));
  EXPECT_NE(c.GetKeyWord(1)->pCondition, pKey->pCondition);
  EXPECT_STREQ(c.GetKeyWord(1)->pszName, "Name");
  EXPECT_EQ(c.GetKeyWord(1)->nMDBID, 0);  // explicit ID copied, slot overwritten
  // A condition flag without a condition is not kept.
  EXPECT_TRUE(c.AddKeyWord("L", nullptr, 12, -1, 0, 0, 0, false, {}, {}, true, nullptr));
  EXPECT_FALSE(c.GetKeyWord(2)->bCondition);
}

// ---- Matching -----------------------------------------------------------------

TEST(ColorKeyMatchTest, ReportsEveryOccurrenceInKeyOrderWithOverlaps) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "AA"));
  EXPECT_EQ(Find(c, "AAAA"), (RangeList{{0, 2}, {1, 3}, {2, 4}}));

  ColorKeyCatcher c2;
  ASSERT_TRUE(AddKey(c2, "TOTAL", 4, 1, 9, 0x00FF00));
  ASSERT_TRUE(AddKey(c2, "TAL", 6, 0, 3, 0x0000FF));
  int nCount = 10;  // only ever increased
  ASSERT_TRUE(c2.FindKeyData("TOTAL 5", 7, nCount, At(12, 0), 0));
  EXPECT_EQ(nCount, 12);
  auto results = Collect(c2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(Ranges(results), (RangeList{{0, 5}, {2, 5}}));
  EXPECT_EQ(results[0].catchData.nMDBID, 4);
  EXPECT_EQ(results[0].catchData.nMDBType, 12);
  EXPECT_EQ(results[0].catchData.pszData, nullptr);
  EXPECT_EQ(results[0].range.nColorValue1, 1u);
  EXPECT_EQ(results[0].range.nColorValue2, 9u);
  EXPECT_EQ(results[0].range.crKeyColor, 0x00FF00u);
  EXPECT_EQ(results[1].catchData.nMDBID, 6);
  EXPECT_EQ(results[1].range.crKeyColor, 0x0000FFu);
  EXPECT_FALSE(results[0].alarm.bAlarm);
  EXPECT_EQ(results[0].alarm.nKeyIndex, -1);
  EXPECT_EQ(results[0].alarm.nSource, 0);
}

TEST(ColorKeyMatchTest, SearchesOnlyUpToTheFirstNulAndIgnoresTheLength) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "AB"));
  const char line[] = "AB\0AB";
  int nCount = 0;
  c.FindKeyData(line, 5, nCount, At(12, 0), 0);
  EXPECT_EQ(nCount, 1);
  c.FindKeyData("xxAB", 0, nCount, At(12, 0), 0);
  EXPECT_EQ(nCount, 2);
  c.FindKeyData(nullptr, 0, nCount, At(12, 0), 0);
  EXPECT_EQ(nCount, 2);
}

TEST(ColorKeyMatchTest, CatchWindowsUseTheLineTimeAndRunAcrossMidnight) {
  ColorKeyCatcher day, night, never;
  ASSERT_TRUE(AddWindowKey(day, "KEY", HourMinute(8, 0), HourMinute(17, 0)));
  ASSERT_TRUE(AddWindowKey(night, "KEY", HourMinute(22, 0), HourMinute(6, 0)));
  ASSERT_TRUE(AddWindowKey(never, "KEY", HourMinute(10, 0), HourMinute(10, 0)));
  auto found = [](ColorKeyCatcher& c, int h, int m) { return Find(c, "KEY", At(h, m)).size(); };
  EXPECT_EQ(found(day, 8, 0), 1u);
  EXPECT_EQ(found(day, 16, 59), 1u);
  EXPECT_EQ(found(day, 7, 59), 0u);
  EXPECT_EQ(found(day, 17, 0), 0u);
  EXPECT_EQ(found(night, 23, 30), 1u);
  EXPECT_EQ(found(night, 5, 59), 1u);
  EXPECT_EQ(found(night, 6, 0), 0u);
  EXPECT_EQ(found(night, 12, 0), 0u);
  for (int h : {0, 9, 10, 11, 23}) EXPECT_EQ(found(never, h, 0), 0u);
}

TEST(ColorKeyMatchTest, AlarmsComeFromTheKeysLimitsOncePerOccurrence) {
  FakeClock clock;
  clock.Set(MakeTime(2024, 3, 14, 9, 0));
  ColorKeyCatcher c;
  STRUCT_Condition open{};
  open.bRNV = true;
  ASSERT_TRUE(c.AddKeyWord("OPEN", nullptr, 12, -1, 0, 0, 0, false, {}, {}, true, &open));
  STRUCT_Condition twice{};
  twice.bOutput = true;
  twice.bFreq = true;
  twice.nFreqCount = 2;
  twice.nFreqUnit = 3;  // day
  ASSERT_TRUE(c.AddKeyWord("VOID", nullptr, 12, -1, 0, 0, 0, false, {}, {}, true, &twice));

  int nCount = 0;
  c.FindKeyData("OPEN VOID VOID", 0, nCount, At(9, 0), 0);
  auto results = Collect(c);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].alarm.bAlarm);
  EXPECT_EQ(results[0].alarm.nKeyIndex, 0);
  EXPECT_EQ(results[0].alarm.nSource, 2);
  // The first VOID is the first match of two needed; the second lets it through.
  EXPECT_FALSE(results[1].alarm.bAlarm);
  EXPECT_EQ(results[1].alarm.nKeyIndex, -1);
  EXPECT_TRUE(results[2].alarm.bAlarm);
  EXPECT_EQ(results[2].alarm.nKeyIndex, 1);
  EXPECT_EQ(c.GetKeyWord(1)->pCondition->pFreqRecs->GetSize(), 2);
  EXPECT_EQ(c.GetKeyWord(1)->pCondition->stIdleLast.wHour, 9);
}

TEST(ColorKeyMatchTest, GetKeyDataHandsOutOldestFirstAndCountsWithNullArrays) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "A"));
  int nCount = 0;
  c.FindKeyData("AAAAA", 0, nCount, At(12, 0), 0);
  STRUCT_CatchData* pNullCatch = nullptr;
  STRUCT_AlarmData* pNullAlarm = nullptr;
  STRUCT_CatchData catches[8];
  STRUCT_AlarmData alarms[8];
  STRUCT_ColorKeyRange ranges[8];
  STRUCT_CatchData* pCatch = catches;
  STRUCT_AlarmData* pAlarm = alarms;
  EXPECT_EQ(c.GetKeyData(pNullCatch, 3), 5);
  EXPECT_EQ(c.GetKeyData(pCatch, pNullAlarm, 3), 5);
  EXPECT_EQ(c.GetKeyData(catches, alarms, nullptr, 3), 5);
  EXPECT_EQ(c.GetKeyData(pCatch, 0), 0);
  EXPECT_EQ(c.GetKeyData(pCatch, -1), -1);
  EXPECT_EQ(c.GetKeyData(pNullCatch, 0), 5);
  // The first form drops the alarm and range records of what it hands out.
  EXPECT_EQ(c.GetKeyData(pCatch, 1), 1);
  EXPECT_EQ(c.GetKeyData(pCatch, pAlarm, 1), 1);
  EXPECT_EQ(c.GetKeyData(catches, alarms, ranges, 2), 2);
  EXPECT_EQ(ranges[0].nStart, 2);
  EXPECT_EQ(ranges[1].nStart, 3);
  EXPECT_EQ(c.GetKeyData(catches, alarms, ranges, 8), 1);
  EXPECT_EQ(ranges[0].nStart, 4);
  EXPECT_EQ(c.GetKeyData(pNullCatch, 0), 0);

  c.FindKeyData("AA", 0, nCount, At(12, 0), 0);
  c.FindKeyDataZero();
  EXPECT_EQ(c.GetKeyData(pNullCatch, 0), 0);
}

TEST(ColorKeyMatchTest, UncollectedResultsAreBoundedByDroppingTheOldest) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "A"));
  std::string line(1000, 'A');
  int nCount = 0;
  const int nCalls = ColorKeyCatcher::kMaxQueuedResults / 1000;
  for (int i = 0; i < nCalls; ++i) c.FindKeyData(line.c_str(), 0, nCount, At(12, 0), 0);
  c.FindKeyData(line.c_str() + 500, 0, nCount, At(12, 0), 0);
  EXPECT_EQ(nCount, ColorKeyCatcher::kMaxQueuedResults + 500);
  STRUCT_CatchData* pNull = nullptr;
  EXPECT_EQ(c.GetKeyData(pNull, 0), ColorKeyCatcher::kMaxQueuedResults);
  STRUCT_CatchData catches[1];
  STRUCT_AlarmData alarms[1];
  STRUCT_ColorKeyRange ranges[1];
  ASSERT_EQ(c.GetKeyData(catches, alarms, ranges, 1), 1);
  EXPECT_EQ(ranges[0].nStart, 500);  // the first 500 results gave way
}

TEST(ColorKeyMatchTest, RightToLeftKeysAreFoundInDisplayOrder) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, kShalom));
  ASSERT_TRUE(AddKey(c, kShalom + " 123"));
  ASSERT_TRUE(AddKey(c, "ABC " + kShalom));
  // The printer puts the characters on paper as they show: "123 molash ABC".
  std::string line = "123 " + kShalomShown + " ABC";
  // As stored, no Hebrew key is in the line.
  EXPECT_TRUE(Find(c, line, At(12, 0), 0).empty());
  EXPECT_EQ(Find(c, line, At(12, 0), POSHARK_HEBREW_CHARSET), (RangeList{{4, 8}, {0, 8}}));
  std::string line2 = "TOTAL ABC " + kShalomShown;
  EXPECT_EQ(Find(c, line2, At(12, 0), POSHARK_HEBREW_CHARSET), (RangeList{{10, 14}, {6, 14}}));
  EXPECT_EQ(std::string(c.GetKeyWord(1)->pszKeyRTL), "123 " + kShalomShown);

  ColorKeyCatcher arabic;
  ASSERT_TRUE(AddKey(arabic, kSalam + " 12 " + kSalam));
  ASSERT_TRUE(AddKey(arabic, "TAX"));
  std::string line3 = "TAX " + kSalamShown + " 12 " + kSalamShown;
  EXPECT_EQ(Find(arabic, line3, At(12, 0), POSHARK_ARABIC_CHARSET), (RangeList{{4, 16}, {0, 3}}));
  // Keys without right-to-left characters keep their order and are still found.
  EXPECT_STREQ(arabic.GetKeyWord(1)->pszKeyRTL, "TAX");
}

TEST(ColorKeyMatchTest, DisplayOrderIsRecomputedOnlyWhenTheCharacterSetChanges) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, kShalom));
  std::string shown = "x" + kShalomShown;
  EXPECT_TRUE(Find(c, shown, At(12, 0), 0).empty());
  EXPECT_EQ(c.GetKeyWord(0)->pszKeyRTL, nullptr);
  EXPECT_EQ(Find(c, shown, At(12, 0), 177), (RangeList{{1, 5}}));
  const char* pFirst = c.GetKeyWord(0)->pszKeyRTL;
  ASSERT_NE(pFirst, nullptr);
  // Same character set: nothing recomputed, and a key added since gets its
  // display-order form at once, so it is found too.
  ASSERT_TRUE(AddKey(c, kShalom));
  ASSERT_NE(c.GetKeyWord(1)->pszKeyRTL, nullptr);
  EXPECT_EQ(Find(c, shown, At(12, 0), 177), (RangeList{{1, 5}, {1, 5}}));
  EXPECT_EQ(c.GetKeyWord(0)->pszKeyRTL, pFirst);
  // Another set releases every form.
  EXPECT_TRUE(Find(c, shown, At(12, 0), 0).empty());
  EXPECT_EQ(c.GetKeyWord(0)->pszKeyRTL, nullptr);
  EXPECT_EQ(c.GetKeyWord(1)->pszKeyRTL, nullptr);
  // FindKeyDataZero forgets the set: the same set is computed afresh.
  EXPECT_EQ(Find(c, shown, At(12, 0), 177).size(), 2u);
  c.FindKeyDataZero();
  ASSERT_TRUE(AddKey(c, kShalom));
  EXPECT_EQ(Find(c, shown, At(12, 0), 177).size(), 3u);
}

TEST(ColorKeyMatchTest, NeverSearchesAnEmptyText) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "A"));
  // A host may store a record whose text is empty; it must match nothing.
  STRUCT_KeyWord* pKey = c.GetKeyWord(0);
  pKey->pszKeyWord[0] = '\0';
  pKey->nKeyLen = 0;
  EXPECT_TRUE(Find(c, "AAA", At(12, 0), 0).empty());
  EXPECT_TRUE(Find(c, "AAA", At(12, 0), 177).empty());
  EXPECT_EQ(pKey->pszKeyRTL, nullptr);
  // A text without its terminator is read only within its 31-byte buffer.
  std::memset(pKey->pszKeyWord, 'A', 31);
  EXPECT_TRUE(Find(c, std::string(40, 'B'), At(12, 0), 0).empty());
  EXPECT_EQ(Find(c, std::string(32, 'A'), At(12, 0), 0).size(), 2u);
}

TEST(ColorKeyMatchTest, DoubleBytePageNeverMatchesAcrossACharacterBoundary) {
  std::string line = Bytes({0xD2, 0xBB, 0xD6, 0xD0, 0x81, 0x41, 0x41});  // yi zhong (81 41) A
  {
    ScopedCodePage page("windows-936");
    ColorKeyCatcher c;
    ASSERT_TRUE(AddKey(c, Bytes({0xBB, 0xD6})));  // the end of one character and the start of the next
    ASSERT_TRUE(AddKey(c, Bytes({0xD6, 0xD0})));
    ASSERT_TRUE(AddKey(c, "A"));
    EXPECT_EQ(Find(c, line), (RangeList{{2, 4}, {6, 7}}));
  }
  {
    ScopedCodePage page("windows-1252");
    ColorKeyCatcher c;
    ASSERT_TRUE(AddKey(c, Bytes({0xBB, 0xD6})));
    ASSERT_TRUE(AddKey(c, "A"));
    EXPECT_EQ(Find(c, line), (RangeList{{1, 3}, {5, 6}, {6, 7}}));
  }
}

TEST(ColorKeyMatchTest, OneThreadFeedsWhileAnotherCollects) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "AB"));
  ASSERT_TRUE(AddKey(c, kShalom));
  constexpr int kLines = 400;
  std::atomic<bool> done{false};
  int nCollected = 0;
  std::thread collector([&] {
    STRUCT_CatchData catches[16];
    STRUCT_AlarmData alarms[16];
    STRUCT_ColorKeyRange ranges[16];
    while (true) {
      bool finished = done.load();
      int n = c.GetKeyData(catches, alarms, ranges, 16);
      for (int i = 0; i < n; ++i) {
        int len = ranges[i].nEnd - ranges[i].nStart;
        EXPECT_TRUE(len == 2 || len == 4) << len;
      }
      nCollected += n;
      if (finished && n == 0) break;
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int nCount = 0;
  std::string line = "AB " + kShalomShown;
  for (int i = 0; i < kLines; ++i)
    c.FindKeyData(line.c_str(), 0, nCount, At(12, 0), i % 3 == 0 ? 0 : 177);
  done = true;
  collector.join();
  EXPECT_EQ(nCollected, nCount);
  EXPECT_GT(nCount, kLines);
}

}  // namespace

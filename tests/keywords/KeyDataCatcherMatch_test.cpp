#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace poshark::testing {
namespace {

using Strings = std::vector<std::string>;

class MatchTest : public ::testing::Test {
 protected:
  void Add(const KeySpec& spec) {
    ASSERT_TRUE(AddKey(catcher_, spec));
    catcher_.ReBuildGroupFromAll();
  }
  KeyDataCatcher catcher_;
};

TEST_F(MatchTest, NumbersSkipLeadingSpacesAndStopAtTheFirstForeignByte) {
  Add({"TOTAL", 5, '.'});
  int nCount = 0;
  bool bResult = false;
  EXPECT_EQ(FeedLine(catcher_, "TOTAL   12.50 EUR", &bResult, &nCount), Strings{"12.50"});
  EXPECT_TRUE(bResult);
  EXPECT_EQ(nCount, 1);
}

TEST_F(MatchTest, ThousandsAndDecimalSignsAreNormalised) {
  Add({"EU", 7, ',', '.'});
  Add({"US", 3, '.', ','});
  Add({"PT", 7, '.', '.'});  // the same sign for both: the last one is the decimal point
  EXPECT_EQ(FeedLine(catcher_, "EU 1.234,56"), Strings{"1234.56"});
  EXPECT_EQ(FeedLine(catcher_, "US 1,234"), Strings{"1234"});
  EXPECT_EQ(FeedLine(catcher_, "PT 1.234.56"), Strings{"1234.56"});
}

TEST_F(MatchTest, NulSignsNeverReachTheTerminator) {
  Add({"A", 7, '\0', '\0'});
  EXPECT_EQ(FeedLine(catcher_, "A 12"), Strings{"12"});
}

TEST_F(MatchTest, TextDataEndsAtASpaceOrAtTwoSpaces) {
  Add({"NAME", 16});
  EXPECT_EQ(FeedLine(catcher_, "NAME JOHN SMITH"), Strings{"JOHN"});
  KeyDataCatcher spaced;
  ASSERT_TRUE(AddKey(spaced, {"NAME", 48}));
  spaced.ReBuildGroupFromAll();
  EXPECT_EQ(FeedLine(spaced, "NAME JOHN SMITH"), Strings{"JOHN SMITH"});
  EXPECT_EQ(FeedLine(spaced, "NAME JOHN SMITH  X"), Strings{"JOHN SMITH"});
}

TEST_F(MatchTest, TextKeywordFollowedOnlyBySpacesCapturesEmptyText) {
  Add({"NAME", 16});
  EXPECT_EQ(FeedLine(catcher_, "NAME    "), Strings{""});
}

TEST_F(MatchTest, KeywordWaitingForDataCarriesIntoTheNextCall) {
  Add({"TOTAL", 1});
  bool bResult = true;
  EXPECT_EQ(FeedLine(catcher_, "TOTAL", &bResult), Strings{});
  EXPECT_FALSE(bResult);
  EXPECT_EQ(FeedLine(catcher_, "  42", &bResult), Strings{"42"});
  EXPECT_TRUE(bResult);
}

TEST_F(MatchTest, KeywordWaitingAfterSpacesCarriesAndDataNeverDoes) {
  Add({"TOTAL", 1});
  EXPECT_EQ(FeedLine(catcher_, "TOTAL   "), Strings{});
  EXPECT_EQ(FeedLine(catcher_, "x 7"), Strings{"7"});
  // Digits at the very end of a line are captured there, not joined with the next line.
  EXPECT_EQ(FeedLine(catcher_, "TOTAL 12"), Strings{"12"});
  EXPECT_EQ(FeedLine(catcher_, "34"), Strings{});
}

TEST_F(MatchTest, KeywordEndingALineWaitsForItsDataWhateverTheCallBefore) {
  Add({"TOTAL", 1});
  bool bResult = true;
  // Starting with nothing waiting: TOTAL at the end of the line waits.
  EXPECT_EQ(FeedLine(catcher_, "TOTAL 5 TOTAL", &bResult), Strings{"5"});
  EXPECT_FALSE(bResult);
  EXPECT_EQ(FeedLine(catcher_, "7"), Strings{"7"});
  // Starting with TOTAL waiting (its line ended in a space): the same.
  EXPECT_EQ(FeedLine(catcher_, "TOTAL "), Strings{});
  EXPECT_EQ(FeedLine(catcher_, "5 TOTAL", &bResult), Strings{"5"});
  EXPECT_FALSE(bResult);
  EXPECT_EQ(FeedLine(catcher_, "8"), Strings{"8"});
}

TEST_F(MatchTest, KeywordSplitAcrossCallsIsNotJoined) {
  // Only a keyword that is complete within the fed bytes is found.
  Add({"TOTAL", 1});
  EXPECT_EQ(FeedLine(catcher_, "TOT"), Strings{});
  EXPECT_EQ(FeedLine(catcher_, "AL 5"), Strings{});
}

TEST_F(MatchTest, ShiftSkipsCharactersAfterTheKeyword) {
  Add({"NO", 1, '.', ',', 3});
  EXPECT_EQ(FeedLine(catcher_, "NO123456"), Strings{"456"});
}

TEST_F(MatchTest, ShiftThatRunsPastTheLineSkipsTheStartOfTheNextLine) {
  Add({"NO", 1, '.', ',', 3});
  bool bResult = true;
  EXPECT_EQ(FeedLine(catcher_, "NO1", &bResult), Strings{});
  EXPECT_FALSE(bResult);
  // Two of the three shifted characters are still to skip: "12".
  EXPECT_EQ(FeedLine(catcher_, "1234", &bResult), Strings{"34"});
  EXPECT_TRUE(bResult);
  // A shift longer than a whole line goes on into the line after it.
  EXPECT_EQ(FeedLine(catcher_, "NO", &bResult), Strings{});
  EXPECT_FALSE(FeedLine(catcher_, "1", &bResult).size());
  EXPECT_FALSE(bResult);
  EXPECT_EQ(FeedLine(catcher_, "2399"), Strings{"99"});
}

TEST_F(MatchTest, TwoKeywordsOnOneLineAndTheEndingByteIsConsumed) {
  Add({"TOTAL", 1});
  Add({"TAX", 1});
  int nCount = 0;
  EXPECT_EQ(FeedLine(catcher_, "TOTAL 5 TAX 1", nullptr, &nCount), (Strings{"5", "1"}));
  EXPECT_EQ(nCount, 2);
  EXPECT_EQ(FeedLine(catcher_, "TOTAL 5TAX 1"), Strings{"5"});
}

TEST_F(MatchTest, ListOrderDecidesBetweenKeywordsSharingAPrefix) {
  Add({"SUB", 1, '.', ',', 0, nullptr, 2, 7});
  Add({"SUBTOTAL", 1, '.', ',', 0, nullptr, 2, 8});
  int nCount = 0;
  catcher_.FindKeyData("SUBTOTAL 9", 10, nCount);
  std::vector<Caught> caught = Collect(catcher_);
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_EQ(caught[0].nMDBID, 7);
  EXPECT_EQ(caught[0].text, "9");
}

TEST_F(MatchTest, MatchingIsByteExactAndCaseSensitive) {
  Add({"Total", 1});
  EXPECT_EQ(FeedLine(catcher_, "TOTAL 5 total 6 Total 7"), Strings{"7"});
}

TEST_F(MatchTest, KeywordsAddedAfterTheLastRegroupingDoNotMatchYet) {
  Add({"TOTAL", 1});
  ASSERT_TRUE(AddKey(catcher_, {"TAX", 1}));
  EXPECT_EQ(FeedLine(catcher_, "TAX 3 TOTAL 4"), Strings{"4"});
  catcher_.ReBuildGroupFromAll();
  EXPECT_EQ(FeedLine(catcher_, "TAX 3 TOTAL 4"), (Strings{"3", "4"}));
}

TEST_F(MatchTest, CallStartingWithNoKeywordWaitingDropsUncollectedResults) {
  Add({"A", 1});
  int nCount = 0;
  catcher_.FindKeyData("A 1 A 2", 7, nCount);
  catcher_.FindKeyData("A 3", 3, nCount);
  EXPECT_EQ(nCount, 3);  // the counter is only added to
  EXPECT_EQ(Texts(Collect(catcher_)), Strings{"3"});
}

TEST_F(MatchTest, ResultsOfACallWithAWaitingKeywordAreKept) {
  Add({"A", 1});
  int nCount = 0;
  catcher_.FindKeyData("A 1 A", 5, nCount);
  catcher_.FindKeyData(" 2", 2, nCount);
  EXPECT_EQ(Texts(Collect(catcher_)), (Strings{"1", "2"}));
}

TEST_F(MatchTest, OverflowingTheBufferForgetsTheWaitingKeyword) {
  Add({"A", 1});
  std::string filler(KeyDataCatcher::kBufferSize - 10, 'x');
  EXPECT_EQ(FeedLine(catcher_, filler + " A"), Strings{});
  // Another 20 bytes would pass the 50000 since the reset: the catcher
  // starts over, and the data no longer belongs to A.
  EXPECT_EQ(FeedLine(catcher_, std::string(19, ' ') + "5"), Strings{});
  EXPECT_EQ(FeedLine(catcher_, "A 6"), Strings{"6"});
}

TEST_F(MatchTest, OneCallLongerThanTheBufferIsScannedPieceByPiece) {
  Add({"A", 1});
  std::string line = "A 1 " + std::string(KeyDataCatcher::kBufferSize + 100, 'x') + " A 2";
  int nCount = 0;
  EXPECT_EQ(FeedLine(catcher_, line, nullptr, &nCount), (Strings{"1", "2"}));
  EXPECT_EQ(nCount, 2);
  std::string huge(3 * KeyDataCatcher::kBufferSize + 7, 'A');
  EXPECT_TRUE(catcher_.FindKeyData(huge.data(), static_cast<int>(huge.size()), nCount));
}

TEST_F(MatchTest, NegativeLengthOrNullDataIsRefusedWithoutChange) {
  Add({"A", 1});
  int nCount = 0;
  catcher_.FindKeyData("A", 1, nCount);  // A waits for its data
  EXPECT_FALSE(catcher_.FindKeyData("5", -1, nCount));
  EXPECT_FALSE(catcher_.FindKeyData(nullptr, 4, nCount));
  EXPECT_EQ(FeedLine(catcher_, " 5"), Strings{"5"});
  EXPECT_TRUE(catcher_.FindKeyData(nullptr, 0, nCount));
}

TEST_F(MatchTest, EmbeddedNulEndsTheCapturedText) {
  Add({"NAME", 16});
  std::string line("NAME AB\0CD", 10);
  EXPECT_EQ(FeedLine(catcher_, line), Strings{"AB"});
}

class ConditionTest : public MatchTest {
 protected:
  FakeClock clock_;
};

TEST_F(ConditionTest, NumericConditionRaisesAnAlarmOnlyWhenItHolds) {
  clock_.Set(MakeTime(2011, 3, 1, 9));
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER, 100.0f);
  Add({"TOTAL", 5, '.', ',', 0, &cond, 1, -1});
  int nCount = 0;
  catcher_.FindKeyData("TOTAL 150.00", 12, nCount);
  std::vector<Caught> caught = Collect(catcher_);
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_TRUE(caught[0].alarm.bAlarm);
  EXPECT_EQ(caught[0].alarm.nKeyIndex, 0);
  EXPECT_EQ(caught[0].alarm.nSource, 1);
  EXPECT_EQ(caught[0].nMDBType, 1);
  EXPECT_EQ(caught[0].nMDBID, 0);

  catcher_.FindKeyData("TOTAL 100", 9, nCount);
  caught = Collect(catcher_);
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_FALSE(caught[0].alarm.bAlarm);
  EXPECT_EQ(caught[0].alarm.nKeyIndex, -1);
  EXPECT_EQ(caught[0].alarm.nSource, 0);
}

TEST_F(ConditionTest, CommaDecimalDataIsComparedAsANumber) {
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER_EQUAL, 1234.5f);
  Add({"EU", 7, ',', '.', 0, &cond});
  int nCount = 0;
  catcher_.FindKeyData("EU 1.234,56", 11, nCount);
  std::vector<Caught> caught = Collect(catcher_);
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_TRUE(caught[0].alarm.bAlarm);
}

TEST_F(ConditionTest, TextConditionIsExactAndJoinsCombineComparisons) {
  STRUCT_Condition exact = TextCondition(POSHARK_OP_EQUAL, "VOID");
  Add({"ST:", 16, '.', ',', 0, &exact});
  STRUCT_Condition range = NumericCondition(POSHARK_OP_GREATER, 10.0f);
  range.nJoin = 1;
  range.nOperator2 = POSHARK_OP_LESS;
  range.fValue2 = 20.0f;
  Add({"AND", 1, '.', ',', 0, &range});
  STRUCT_Condition either = NumericCondition(POSHARK_OP_LESS, 0.5f);
  either.nJoin = 2;
  either.nOperator2 = POSHARK_OP_GREATER;
  either.fValue2 = 99.0f;
  Add({"OR", 1, '.', ',', 0, &either});

  auto alarms = [&](const char* pszLine) {
    int nCount = 0;
    catcher_.FindKeyData(pszLine, static_cast<int>(std::strlen(pszLine)), nCount);
    std::string out;
    for (const Caught& c : Collect(catcher_)) out += c.alarm.bAlarm ? '1' : '0';
    return out;
  };
  EXPECT_EQ(alarms("ST: VOID ST: void ST: VOIDED"), "100");
  EXPECT_EQ(alarms("AND 15 AND 25 AND 5"), "100");
  EXPECT_EQ(alarms("OR 0 OR 50 OR 100"), "101");
}

TEST_F(ConditionTest, FrequencyLimitCountsMatchesAcrossLinesByTheClock) {
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER, 0.0f);
  cond.bFreq = true;
  cond.nFreqCount = 2;
  cond.nFreqUnit = 1;  // hour
  Add({"T", 1, '.', ',', 0, &cond});
  auto alarm = [&](const SYSTEMTIME& st, const char* pszLine) {
    clock_.Set(st);
    int nCount = 0;
    catcher_.FindKeyData(pszLine, static_cast<int>(std::strlen(pszLine)), nCount);
    std::vector<Caught> caught = Collect(catcher_);
    return caught.size() == 1 && caught[0].alarm.bAlarm;
  };
  EXPECT_FALSE(alarm(MakeTime(2011, 3, 1, 9, 10), "T 5"));
  EXPECT_FALSE(alarm(MakeTime(2011, 3, 1, 9, 20), "T 0"));  // condition fails: not counted
  EXPECT_TRUE(alarm(MakeTime(2011, 3, 1, 9, 30), "T 5"));
  EXPECT_FALSE(alarm(MakeTime(2011, 3, 1, 10, 5), "T 5"));  // oldest counted was 9:30
  EXPECT_TRUE(alarm(MakeTime(2011, 3, 1, 10, 6), "T 5"));
  EXPECT_EQ(catcher_.GetKeyWord(0)->pCondition->pFreqRecs->GetSize(), 2);
}

TEST(GetKeyDataTest, CountsAndHandsOutOldestFirstInEveryForm) {
  KeyDataCatcher catcher;
  ASSERT_TRUE(AddKey(catcher, {"A", 1}));
  catcher.ReBuildGroupFromAll();
  int nCount = 0;
  catcher.FindKeyData("A 1 A 2 A 3 A 4 A 5", 19, nCount);
  STRUCT_CatchData* pNullCatch = nullptr;
  STRUCT_AlarmData* pNullAlarm = nullptr;
  STRUCT_CatchData c[5];
  STRUCT_AlarmData a[5];
  STRUCT_CatchData* pCatch = c;
  STRUCT_AlarmData* pAlarm = a;
  EXPECT_EQ(catcher.GetKeyData(pNullCatch, 3), 5);
  EXPECT_EQ(catcher.GetKeyData(pCatch, pNullAlarm, 3), 5);
  EXPECT_EQ(catcher.GetKeyData(c, a, nullptr, 3), 5);
  EXPECT_EQ(catcher.GetKeyData(pCatch, 0), 0);
  EXPECT_EQ(catcher.GetKeyData(pCatch, -1), -1);
  ASSERT_EQ(catcher.GetKeyData(pCatch, 2), 2);
  EXPECT_STREQ(c[0].pszData, "1");
  EXPECT_STREQ(c[1].pszData, "2");
  std::free(c[0].pszData);
  std::free(c[1].pszData);
  ASSERT_EQ(catcher.GetKeyData(pCatch, pAlarm, 10), 3);
  EXPECT_STREQ(c[0].pszData, "3");
  EXPECT_FALSE(a[0].bAlarm);
  for (int i = 0; i < 3; ++i) std::free(c[i].pszData);
  EXPECT_EQ(catcher.GetKeyData(pNullCatch, 0), 0);

  catcher.FindKeyData("A 9", 3, nCount);
  catcher.FindKeyDataZero();
  EXPECT_EQ(catcher.GetKeyData(pNullCatch, 0), 0);
}

TEST(ConcurrencyTest, OneThreadFeedsWhileAnotherCollects) {
  KeyDataCatcher catcher;
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER, 10.0f);
  cond.bIdle = true;
  ASSERT_TRUE(AddKey(catcher, {"TOTAL", 5, '.', ',', 0, &cond}));
  ASSERT_TRUE(AddKey(catcher, {"NAME", 48}));
  catcher.ReBuildGroupFromAll();
  std::atomic<bool> bDone{false};
  std::atomic<int> nFed{0};
  std::thread feeder([&] {
    for (int i = 0; i < 2000; ++i) {
      std::string line = "TOTAL " + std::to_string(i) + ".50 NAME X Y";
      int nCount = 0;
      catcher.FindKeyData(line.data(), static_cast<int>(line.size()), nCount);
      nFed += nCount;
    }
    bDone = true;
  });
  int nCollected = 0;
  STRUCT_CatchData c[8];
  STRUCT_AlarmData a[8];
  STRUCT_ColorKeyRange r[8];
  while (!bDone.load()) {
    int nGot = catcher.GetKeyData(c, a, r, 8);
    for (int i = 0; i < nGot; ++i) {
      EXPECT_NE(c[i].pszData, nullptr);
      std::free(c[i].pszData);
    }
    nCollected += nGot > 0 ? nGot : 0;
    std::this_thread::yield();
  }
  feeder.join();
  // Uncollected results of a line are dropped by the next line, so only
  // bounds can be checked here.
  EXPECT_EQ(nFed.load(), 4000);
  EXPECT_LE(nCollected, 4000);
}

}  // namespace
}  // namespace poshark::testing

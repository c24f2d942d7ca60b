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

struct Feed {
  std::string line;
  Strings want;
  int nResult = -1;  // -1: not checked, else FindKeyData's answer
};

struct FeedCase {
  const char* pszName;
  std::vector<KeyArgs> keys;
  std::vector<Feed> feeds;
};

const std::string kOverBuffer(KeyDataCatcher::kBufferSize + 100, 'x');

const FeedCase kFeedCases[] = {
    {"number skips spaces, stops at foreign byte",
     {{"TOTAL", 5}},
     {{"TOTAL   12.50 EUR", {"12.50"}, 1}}},
    {"signs normalised",
     {{"EU", 7, ',', '.'}, {"US", 3, '.', ','}, {"PT", 7, '.', '.'}},
     {{"EU 1.234,56", {"1234.56"}}, {"US 1,234", {"1234"}}, {"PT 1.234.56", {"1234.56"}}}},
    {"NUL signs never reach the terminator", {{"A", 7, '\0', '\0'}}, {{"A 12", {"12"}}}},
    {"text ends at a space", {{"NAME", 16}}, {{"NAME JOHN SMITH", {"JOHN"}}, {"NAME    ", {""}}}},
    {"text ends at two spaces",
     {{"NAME", 48}},
     {{"NAME JOHN SMITH", {"JOHN SMITH"}}, {"NAME JOHN SMITH  X", {"JOHN SMITH"}}}},
    {"embedded NUL ends text", {{"NAME", 16}}, {{std::string("NAME AB\0CD", 10), {"AB"}}}},
    {"waiting keyword carries", {{"TOTAL", 1}}, {{"TOTAL", {}, 0}, {"  42", {"42"}, 1}}},
    {"waiting after spaces carries, data never does",
     {{"TOTAL", 1}},
     {{"TOTAL   ", {}}, {"x 7", {"7"}}, {"TOTAL 12", {"12"}}, {"34", {}}}},
    {"keyword ending a line waits whatever came before",
     {{"TOTAL", 1}},
     {{"TOTAL 5 TOTAL", {"5"}, 0},
      {"7", {"7"}},
      {"TOTAL ", {}},
      {"5 TOTAL", {"5"}, 0},
      {"8", {"8"}}}},
    {"keyword split across calls is not joined", {{"TOTAL", 1}}, {{"TOT", {}}, {"AL 5", {}}}},
    {"shift skips characters", {{"NO", 1, '.', ',', 3}}, {{"NO123456", {"456"}}}},
    {"shift runs on into the next lines",
     {{"NO", 1, '.', ',', 3}},
     {{"NO1", {}, 0}, {"1234", {"34"}, 1}, {"NO", {}, 0}, {"1", {}, 0}, {"2399", {"99"}}}},
    {"two keywords, ending byte consumed",
     {{"TOTAL", 1}, {"TAX", 1}},
     {{"TOTAL 5 TAX 1", {"5", "1"}}, {"TOTAL 5TAX 1", {"5"}}}},
    {"byte exact, case sensitive", {{"Total", 1}}, {{"TOTAL 5 total 6 Total 7", {"7"}}}},
    // Passing 50000 bytes since the reset starts over: the data no longer belongs to A.
    {"buffer overflow forgets the waiting keyword",
     {{"A", 1}},
     {{std::string(KeyDataCatcher::kBufferSize - 10, 'x') + " A", {}},
      {std::string(19, ' ') + "5", {}},
      {"A 6", {"6"}}}},
    {"call longer than the buffer is scanned in pieces",
     {{"A", 1}},
     {{"A 1 " + kOverBuffer + " A 2", {"1", "2"}}}},
};

TEST(MatchTest, FeedsLinesAndCapturesTheData) {
  for (const FeedCase& fc : kFeedCases) {
    SCOPED_TRACE(fc.pszName);
    KeyDataCatcher catcher;
    for (const KeyArgs& key : fc.keys) ASSERT_TRUE(AddKey(catcher, key));
    catcher.ReBuildGroupFromAll();
    for (const Feed& feed : fc.feeds) {
      SCOPED_TRACE(feed.line.substr(0, 40));
      bool bResult = false;
      int nCount = 0;
      EXPECT_EQ(FeedLine(catcher, feed.line, &bResult, &nCount), feed.want);
      EXPECT_EQ(nCount, static_cast<int>(feed.want.size()));
      if (feed.nResult >= 0) {
        EXPECT_EQ(bResult, feed.nResult == 1);
      }
    }
  }
}

class MatchFixture : public ::testing::Test {
 protected:
  void Add(const KeyArgs& key) {
    ASSERT_TRUE(AddKey(catcher_, key));
    catcher_.ReBuildGroupFromAll();
  }
  KeyDataCatcher catcher_;
  FakeClock clock_;
};

TEST_F(MatchFixture, ListOrderDecidesAndOnlyKeywordsGroupedSinceTheLastRebuildMatch) {
  Add({"SUB", 1, '.', ',', 0, nullptr, 2, 7});
  Add({"SUBTOTAL", 1, '.', ',', 0, nullptr, 2, 8});
  int nCount = 0;
  catcher_.FindKeyData("SUBTOTAL 9", 10, nCount);
  std::vector<Caught> caught = Collect(catcher_);
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_EQ(caught[0].nMDBID, 7);
  EXPECT_EQ(caught[0].text, "9");
  ASSERT_TRUE(AddKey(catcher_, {"TAX", 1}));
  EXPECT_EQ(FeedLine(catcher_, "TAX 3 SUB 4"), Strings{"4"});
  catcher_.ReBuildGroupFromAll();
  EXPECT_EQ(FeedLine(catcher_, "TAX 3 SUB 4"), (Strings{"3", "4"}));
}

TEST_F(MatchFixture, UncollectedResultsAreDroppedUnlessAKeywordWasWaiting) {
  Add({"A", 1});
  int nCount = 0;
  catcher_.FindKeyData("A 1 A 2", 7, nCount);
  catcher_.FindKeyData("A 3", 3, nCount);
  EXPECT_EQ(nCount, 3);  // the counter is only added to
  EXPECT_EQ(Texts(Collect(catcher_)), Strings{"3"});
  catcher_.FindKeyData("A 1 A", 5, nCount);
  catcher_.FindKeyData(" 2", 2, nCount);
  EXPECT_EQ(Texts(Collect(catcher_)), (Strings{"1", "2"}));
  // Bad input is refused without change; huge input is safe.
  catcher_.FindKeyData("A", 1, nCount);  // A waits for its data
  EXPECT_FALSE(catcher_.FindKeyData("5", -1, nCount));
  EXPECT_FALSE(catcher_.FindKeyData(nullptr, 4, nCount));
  EXPECT_EQ(FeedLine(catcher_, " 5"), Strings{"5"});
  EXPECT_TRUE(catcher_.FindKeyData(nullptr, 0, nCount));
  std::string huge(3 * KeyDataCatcher::kBufferSize + 7, 'A');
  EXPECT_TRUE(catcher_.FindKeyData(huge.data(), static_cast<int>(huge.size()), nCount));
}

TEST_F(MatchFixture, ConditionsDecideTheAlarm) {
  clock_.Set(MakeTime(2011, 3, 1, 9));
  STRUCT_Condition greater = NumericCondition(POSHARK_OP_GREATER, 100.0f);
  Add({"TOTAL", 5, '.', ',', 0, &greater, 1, -1});
  STRUCT_Condition comma = NumericCondition(POSHARK_OP_GREATER_EQUAL, 1234.5f);
  Add({"EU", 7, ',', '.', 0, &comma});
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

  int nCount = 0;
  catcher_.FindKeyData("TOTAL 150.00", 12, nCount);
  std::vector<Caught> caught = Collect(catcher_);
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_TRUE(caught[0].alarm.bAlarm);
  EXPECT_EQ(caught[0].alarm.nKeyIndex, 0);
  EXPECT_EQ(caught[0].alarm.nSource, 1);
  EXPECT_EQ(caught[0].nMDBType, 1);
  EXPECT_EQ(Alarms(catcher_, "TOTAL 100 EU 1.234,56 EU 1.234,4"), "010");
  EXPECT_EQ(Alarms(catcher_, "ST: VOID ST: void ST: VOIDED"), "100");
  EXPECT_EQ(Alarms(catcher_, "AND 15 AND 25 AND 5"), "100");
  EXPECT_EQ(Alarms(catcher_, "OR 0 OR 50 OR 100"), "101");
}

TEST_F(MatchFixture, FrequencyLimitCountsMatchesAcrossLinesByTheClock) {
  STRUCT_Condition cond = NumericCondition(POSHARK_OP_GREATER, 0.0f);
  cond.bFreq = true;
  cond.nFreqCount = 2;
  cond.nFreqUnit = 1;  // hour
  Add({"T", 1, '.', ',', 0, &cond});
  auto alarm = [&](int h, int m, const char* pszLine) {
    clock_.Set(MakeTime(2011, 3, 1, h, m));
    return Alarms(catcher_, pszLine);
  };
  EXPECT_EQ(alarm(9, 10, "T 5"), "0");
  EXPECT_EQ(alarm(9, 20, "T 0"), "0");  // condition fails: not counted
  EXPECT_EQ(alarm(9, 30, "T 5"), "1");
  EXPECT_EQ(alarm(10, 5, "T 5"), "0");  // oldest counted was 9:30
  EXPECT_EQ(alarm(10, 6, "T 5"), "1");
  EXPECT_EQ(catcher_.GetKeyWord(0)->pCondition->pFreqRecs->GetSize(), 2);
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
  // Uncollected results of a line are dropped by the next line: only bounds hold.
  EXPECT_EQ(nFed.load(), 4000);
  EXPECT_LE(nCollected, 4000);
}

}  // namespace
}  // namespace poshark::testing

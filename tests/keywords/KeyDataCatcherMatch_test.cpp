#include <poshark/KeyDataCatcher.h>

#include "CatcherHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
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
  int nGrouped = 99;  // keys added after this many are not regrouped
};

const std::string kOverBuffer(KeyDataCatcher::kBufferSize + 100, 'x');

const FeedCase kFeedCases[] = {
    {"number skips spaces, stops at foreign byte",
     {{"TOTAL", 5}},
     {{"TOTAL   12.50 EUR", {"12.50"}, 1}}},
    {"signs normalised",
     {{"EU", 7, ',', '.'}, {"US", 3, '.', ','}, {"PT", 7, '.', '.'}},
     {{"EU 1.234,56", {"1234.56"}}, {"US 1,234", {"1234"}}, {"PT 1.234.56", {"1234.56"}}}},
    {"text ends at a space", {{"NAME", 16}}, {{"NAME JOHN SMITH", {"JOHN"}}, {"NAME    ", {""}}}},
    {"text ends at two spaces",
     {{"NAME", 48}},
     {{"NAME JOHN SMITH", {"JOHN SMITH"}}, {"NAME JOHN SMITH  X", {"JOHN SMITH"}}}},
    {"embedded NUL ends text", {{"NAME", 16}}, {{std::string("NAME AB\0CD", 10), {"AB"}}}},
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
    {"list order decides", {{"SUB", 16}, {"SUBTOTAL", 1}}, {{"SUBTOTAL 9", {"TOTAL"}}}},
    {"only keywords grouped at the last rebuild match",
     {{"SUB", 1}, {"TAX", 1}},
     {{"TAX 3 SUB 4", {"4"}}},
     1},
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
    for (size_t i = 0; i < fc.keys.size(); ++i) {
      ASSERT_TRUE(AddKey(catcher, fc.keys[i]));
      if (static_cast<int>(i) < fc.nGrouped) catcher.ReBuildGroupFromAll();
    }
    for (const Feed& feed : fc.feeds) {
      SCOPED_TRACE(feed.line.substr(0, 40));
      bool bResult = false;
      int nCount = 0;
      EXPECT_EQ(FeedLine(catcher, feed.line, &bResult, &nCount), feed.want);
      EXPECT_EQ(nCount, static_cast<int>(feed.want.size()));
      EXPECT_TRUE(feed.nResult < 0 || bResult == (feed.nResult == 1)) << bResult;
    }
  }
}

TEST(MatchTest, ConditionsDecideTheAlarm) {
  KeyDataCatcher catcher;
  STRUCT_Condition greater = Condition(POSHARK_OP_GREATER, "100");
  STRUCT_Condition comma = Condition(POSHARK_OP_GREATER_EQUAL, "1234.5");
  STRUCT_Condition exact = Condition(POSHARK_OP_EQUAL, "VOID", false);
  STRUCT_Condition range = Condition(POSHARK_OP_GREATER, "10");
  std::tie(range.nJoin, range.nOperator2, range.fValue2) = std::tuple(1, POSHARK_OP_LESS, 20.0f);
  STRUCT_Condition either = Condition(POSHARK_OP_LESS, "0.5");
  std::tie(either.nJoin, either.nOperator2, either.fValue2) =
      std::tuple(2, POSHARK_OP_GREATER, 99.0f);
  for (const KeyArgs& key :
       {KeyArgs{"TOTAL", 5, '.', ',', 0, &greater, 1, -1}, KeyArgs{"EU", 7, ',', '.', 0, &comma},
        KeyArgs{"ST:", 16, '.', ',', 0, &exact}, KeyArgs{"AND", 1, '.', ',', 0, &range},
        KeyArgs{"OR", 1, '.', ',', 0, &either}})
    ASSERT_TRUE(AddKey(catcher, key));
  catcher.ReBuildGroupFromAll();
  int nCount = 0;
  catcher.FindKeyData("TOTAL 150.00", 12, nCount);
  std::vector<Caught> caught = Collect(catcher);
  ASSERT_EQ(caught.size(), 1u);
  const Caught& c = caught[0];
  EXPECT_EQ(std::tuple(c.alarm.bAlarm, c.alarm.nKeyIndex, c.alarm.nSource, c.nMDBType),
            std::tuple(true, 0, 1, 1));
  EXPECT_EQ(FeedLine(catcher, "TOTAL 100 EU 1.234,56 EU 1.234,4"),
            (Strings{"100", "1234.56!", "1234.4"}));
  EXPECT_EQ(FeedLine(catcher, "ST: VOID ST: void ST: VOIDED"),
            (Strings{"VOID!", "void", "VOIDED"}));
  EXPECT_EQ(FeedLine(catcher, "AND 15 AND 25 AND 5"), (Strings{"15!", "25", "5"}));
  EXPECT_EQ(FeedLine(catcher, "OR 0 OR 50 OR 100"), (Strings{"0!", "50", "100!"}));
}

}  // namespace
}  // namespace poshark::testing

#include <poshark/ColorKeyCatcher.h>

#include "colorkeys/LineSearch.h"
#include "keywords/CatcherHelpers.h"
#include "keywords/Records.h"
#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using poshark::testing::Caught;
using poshark::testing::Collect;
using poshark::testing::MakeTime;
using RangeList = std::vector<std::pair<int, int>>;

SYSTEMTIME At(int h, int m) { return MakeTime(2024, 3, 14, h, m); }

// Hebrew "shalom" in windows-1255, as typed and as it shows left to right.
const std::string kShalom = "\xF9\xEC\xE5\xED";
const std::string kShalomShown = "\xED\xE5\xEC\xF9";

bool AddKey(ColorKeyCatcher& c, const std::string& key, int nMDBID = -1, uint32_t v1 = 1,
            uint32_t v2 = 7, uint32_t cr = 0x0000FF, int nType = 12) {
  return c.AddKeyWord(key.c_str(), nullptr, nType, nMDBID, v1, v2, cr, false, SYSTEMTIME{},
                      SYSTEMTIME{}, false, nullptr);
}

RangeList Find(ColorKeyCatcher& c, const std::string& line, SYSTEMTIME t = At(12, 0),
               uint32_t nCharSet = 0) {
  int nCount = 0;
  EXPECT_TRUE(c.FindKeyData(line.c_str(), static_cast<int>(line.size()), nCount, t, nCharSet));
  RangeList ranges;
  for (const Caught& r : Collect(c)) ranges.emplace_back(r.range.nStart, r.range.nEnd);
  EXPECT_EQ(nCount, static_cast<int>(ranges.size()));
  return ranges;
}

TEST(ColorKeyMatchTest, ReportsEveryOccurrenceInKeyOrderUpToTheFirstNul) {
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
  EXPECT_EQ(std::tuple(results[0].nMDBID, results[1].range.nStart, results[1].range.crKeyColor),
            std::tuple(4, 2, 0x0000FFu));
  // The length is ignored: the text ends at its NUL.
  nCount = 0;
  c2.FindKeyData("TAL\0TAL", 7, nCount, At(12, 0), 0);
  c2.FindKeyData("xxTAL", 0, nCount, At(12, 0), 0);
  c2.FindKeyData(nullptr, 0, nCount, At(12, 0), 0);
  EXPECT_EQ(nCount, 2);
}

TEST(ColorKeyMatchTest, CatchWindowsUseTheLineTimeAndRunAcrossMidnight) {
  const std::tuple<int, int, int, int, size_t> kCases[] = {
      // window start, window end (hours), line time, found
      {8, 17, 8, 0, 1},   {8, 17, 16, 59, 1}, {8, 17, 7, 59, 0},  {8, 17, 17, 0, 0},
      {22, 6, 23, 30, 1}, {22, 6, 5, 59, 1},  {22, 6, 6, 0, 0},   {22, 6, 12, 0, 0},
      {10, 10, 10, 0, 0}, {10, 10, 0, 0, 0},  {10, 10, 23, 0, 0},
  };
  for (const auto& [nStart, nEnd, h, m, nFound] : kCases) {
    ColorKeyCatcher c;
    ASSERT_TRUE(c.AddKeyWord("KEY", nullptr, 12, -1, 1, 0, 0, true, MakeTime(0, 0, 0, nStart),
                             MakeTime(0, 0, 0, nEnd), false, nullptr));
    EXPECT_EQ(Find(c, "KEY", At(h, m)).size(), nFound)
        << nStart << "-" << nEnd << " " << h << ":" << m;
  }
}

// Regression: keys added while a right-to-left set was remembered were searched as stored.
TEST(ColorKeyMatchTest, DisplayOrderIsRecomputedOnlyWhenTheCharacterSetChanges) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, kShalom));
  std::string shown = "x" + kShalomShown;
  EXPECT_TRUE(Find(c, shown, At(12, 0), 0).empty());
  EXPECT_EQ(Find(c, shown, At(12, 0), 177), (RangeList{{1, 5}}));
  const char* pFirst = c.GetKeyWord(0)->pszKeyRTL;
  ASSERT_NE(pFirst, nullptr);
  // Same character set: nothing recomputed, and a key added since is found too.
  ASSERT_TRUE(AddKey(c, kShalom));
  EXPECT_EQ(Find(c, shown, At(12, 0), 177), (RangeList{{1, 5}, {1, 5}}));
  EXPECT_EQ(c.GetKeyWord(0)->pszKeyRTL, pFirst);
  // Another set releases every form.
  EXPECT_TRUE(Find(c, shown, At(12, 0), 0).empty());
  EXPECT_EQ(c.GetKeyWord(1)->pszKeyRTL, nullptr);
  // FindKeyDataZero forgets the set: the same set is computed afresh.
  EXPECT_EQ(Find(c, shown, At(12, 0), 177).size(), 2u);
  c.FindKeyDataZero();
  ASSERT_TRUE(AddKey(c, kShalom));
  EXPECT_EQ(Find(c, shown, At(12, 0), 177).size(), 3u);
}

TEST(ColorKeyMatchTest, NeverSearchesAnEmptyTextOrPastTheTextBuffer) {
  ColorKeyCatcher c;
  ASSERT_TRUE(AddKey(c, "A"));
  // A host may store a record whose text is empty; it must match nothing.
  STRUCT_KeyWord* pKey = c.GetKeyWord(0);
  pKey->pszKeyWord[0] = '\0';
  pKey->nKeyLen = 0;
  EXPECT_TRUE(Find(c, "AAA", At(12, 0), 0).empty() && Find(c, "AAA", At(12, 0), 177).empty());
  // A text without its terminator is read only within its 31-byte buffer.
  std::memset(pKey->pszKeyWord, 'A', 31);
  EXPECT_TRUE(Find(c, std::string(40, 'B'), At(12, 0), 0).empty());
  EXPECT_EQ(Find(c, std::string(32, 'A'), At(12, 0), 0).size(), 2u);
}

}  // namespace

namespace poshark::colorkeys {
namespace {

std::vector<std::size_t> FindAll(const LineSearch& search, std::string_view needle) {
  std::vector<std::size_t> found;
  for (std::size_t pos = search.Find(needle, 0); pos != std::string_view::npos;
       pos = search.Find(needle, pos + 1))
    found.push_back(pos);
  return found;
}

TEST(LineSearchTest, NeverStartsAnOccurrenceOnATrailingByteOfWindows936) {
  const platform::CodePage* cp936 = platform::CodePage::Get("windows-936");
  ASSERT_NE(cp936, nullptr);
  LineSearch search;
  // yi (D2 BB) zhong (D6 D0): the bytes BB D6 span the boundary.
  std::string line = "\xD2\xBB\xD6\xD0";
  search.Reset(line, cp936);
  EXPECT_EQ(search.Find("\xBB\xD6", 0), std::string_view::npos);
  EXPECT_EQ(search.Find("\xD6\xD0", 0), 2u);
  // D2 BB occurs twice in the bytes, but only across character boundaries.
  std::string tricky = "\xBB\xD2\xBB\xD2\xBB";  // BB D2 | BB D2 | BB
  search.Reset(tricky, cp936);
  EXPECT_TRUE(FindAll(search, "\xD2\xBB").empty());
  EXPECT_EQ(FindAll(search, "\xBB\xD2"), (std::vector<std::size_t>{0, 2}));
  // GBK trail bytes include ASCII letters: an "A" inside a character is no
  // "A" of the line.
  const std::string letters = {'\x81', 'A', 'A'};
  search.Reset(letters, cp936);
  EXPECT_EQ(FindAll(search, "A"), (std::vector<std::size_t>{2}));
  // Resuming one byte after a double-byte occurrence does not realign the
  // walk: the trail byte is still a trail byte.
  std::string pair = "\xD2\xBB\xBB\xD2";  // D2 BB | BB D2
  search.Reset(pair, cp936);
  EXPECT_EQ(search.Find("\xBB", 1), 2u);
  EXPECT_EQ(search.Find("\xBB\xBB", 0), std::string_view::npos);
}

}  // namespace
}  // namespace poshark::colorkeys

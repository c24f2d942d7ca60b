#include "colorkeys/LineSearch.h"

#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace poshark::colorkeys {
namespace {

std::vector<std::size_t> FindAll(const LineSearch& search, std::string_view needle) {
  std::vector<std::size_t> found;
  for (std::size_t pos = search.Find(needle, 0); pos != std::string_view::npos;
       pos = search.Find(needle, pos + 1))
    found.push_back(pos);
  return found;
}

TEST(CatchWindowTest, OpensFromStartUntilBeforeEndAndAcrossMidnight) {
  const uint16_t h8 = 8 * 60, h17 = 17 * 60, h22 = 22 * 60, h6 = 6 * 60;
  EXPECT_TRUE(IsInCatchWindow(h8, h17, h8));
  EXPECT_TRUE(IsInCatchWindow(h8, h17, h17 - 1));
  EXPECT_FALSE(IsInCatchWindow(h8, h17, h8 - 1));
  EXPECT_FALSE(IsInCatchWindow(h8, h17, h17));
  EXPECT_TRUE(IsInCatchWindow(h22, h6, 23 * 60 + 30));
  EXPECT_TRUE(IsInCatchWindow(h22, h6, h6 - 1));
  EXPECT_TRUE(IsInCatchWindow(h22, h6, 0));
  EXPECT_FALSE(IsInCatchWindow(h22, h6, h6));
  EXPECT_FALSE(IsInCatchWindow(h22, h6, 12 * 60));
  EXPECT_FALSE(IsInCatchWindow(h22, h6, h22 - 1));
  for (uint16_t now : {uint16_t{0}, uint16_t{600}, uint16_t{601}, uint16_t{1439}})
    EXPECT_FALSE(IsInCatchWindow(600, 600, now));
  // 22:00 to 00:00 is open until midnight.
  EXPECT_TRUE(IsInCatchWindow(h22, 0, 23 * 60 + 59));
  EXPECT_FALSE(IsInCatchWindow(h22, 0, 0));
}

TEST(CatchWindowTest, MinutesOfDayUseHourAndMinuteOnly) {
  SYSTEMTIME st{2024, 5, 3, 17, 16, 59, 58, 999};
  EXPECT_EQ(MinuteOfDay(st), 16 * 60 + 59);
  SYSTEMTIME big{};
  big.wHour = 1200;  // 72000 minutes wrap in 16 bits
  EXPECT_EQ(MinuteOfDay(big), static_cast<uint16_t>(72000));
}

TEST(LineSearchTest, FindsOverlappingOccurrencesInSingleBytePages) {
  LineSearch search;
  std::string line = "AAAA";
  search.Reset(line, platform::CodePage::Get("windows-1252"));
  EXPECT_EQ(FindAll(search, "AA"), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(search.Find("", 0), std::string_view::npos);
  EXPECT_EQ(search.Find("AAAAA", 0), std::string_view::npos);
  EXPECT_EQ(search.Find("A", 4), std::string_view::npos);
  std::string high = "\xD2\xBB\xBB\xD2";
  search.Reset(high, nullptr);
  EXPECT_EQ(FindAll(search, "\xBB"), (std::vector<std::size_t>{1, 2}));
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
  std::string letters = "\x81" "A" "A";
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

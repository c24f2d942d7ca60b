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
  std::string letters =
      "\x81"
      "A"
      "A";
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

#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace poshark::platform {
namespace {

std::vector<uint8_t> Starts(const CodePage* page, const std::string& text) {
  std::vector<uint8_t> starts;
  page->CharacterStarts(text, &starts);
  return starts;
}

TEST(CodePageTest, ConvertsBothWaysAndSubstitutesMissingCharacters) {
  const CodePage* cp1252 = CodePage::Get("windows-1252");
  const CodePage* cp936 = CodePage::Get("windows-936");
  ASSERT_NE(cp1252, nullptr);
  ASSERT_NE(cp936, nullptr);
  unsigned char out[4] = {};
  EXPECT_EQ(cp1252->FromUnicode(u'\u20AC', out, 4), 1);  // euro sign
  EXPECT_EQ(out[0], 0x80);
  for (char16_t c : {u'\u4E00', u'\xD800'}) {  // not in the page; lone surrogate
    EXPECT_EQ(cp1252->FromUnicode(c, out, 4), 1);
    EXPECT_EQ(out[0], '?');
  }
  EXPECT_EQ(cp1252->FromUnicode(0, out, 4), 0);
  EXPECT_EQ(cp936->FromUnicode(u'\u4E00', out, 1), 0);  // does not fit
  EXPECT_EQ(cp936->FromUnicode(u'\u4E00', out, 2), 2);  // fits exactly
  EXPECT_EQ(out[1], 0xBB);
  EXPECT_EQ(cp936->FromUnicode(u"A\u4E00\u4E2D"), "\x41\xD2\xBB\xD6\xD0");
  EXPECT_EQ(cp936->ToUnicode("\xD2\xBB\x41"), u"\u4E00A");
  EXPECT_EQ(cp936->ToUtf8("\xD2\xBB\xD6\xD0"), "\xE4\xB8\x80\xE4\xB8\xAD");
  EXPECT_EQ(CodePage::Get("windows-1255")->ToUtf8("\xF9\xEC\xE5\xED"), "שלום");
  // A lead byte with nothing after it is not dropped silently.
  EXPECT_FALSE(cp936->ToUnicode("\x41\xD2").empty());
}

TEST(CodePageTest, FindsTrailingBytesOfDoubleByteCharactersFromLineStart) {
  const CodePage* cp936 = CodePage::Get("windows-936");
  // D2 BB and BB D2 are both characters: the same byte value is a trail in
  // one place and a lead in the next, so only a walk from the start can tell.
  std::string text = "\xD2\xBB\xBB\xD2\x41";
  EXPECT_EQ(Starts(cp936, text), (std::vector<uint8_t>{1, 0, 1, 0, 1}));
  EXPECT_TRUE(cp936->IsTrailingByte(text, 3));
  EXPECT_FALSE(cp936->IsTrailingByte(text, 4));
  EXPECT_FALSE(cp936->IsTrailingByte(text, 99));
  // Shifted by one single-byte character the pairing changes.
  EXPECT_EQ(Starts(cp936, "A" + text), (std::vector<uint8_t>{1, 1, 0, 1, 0, 1}));
  // GBK trail bytes include ASCII letters: 0x81 0x41 is one character.
  EXPECT_EQ(Starts(cp936, "\x81\x41\x41"), (std::vector<uint8_t>{1, 0, 1}));
  // A lead byte before a byte that cannot follow it, or at the end, stands alone.
  EXPECT_EQ(Starts(cp936, "\x81\x20\x81"), (std::vector<uint8_t>{1, 1, 1}));
  EXPECT_EQ(Starts(CodePage::Get("windows-1252"), text), (std::vector<uint8_t>{1, 1, 1, 1, 1}));
  const CodePage* utf8 = CodePage::Get("UTF-8");
  ASSERT_NE(utf8, nullptr);
  EXPECT_EQ(Starts(utf8, "a\xC3\xA9\xE4\xB8\x80z"), (std::vector<uint8_t>{1, 1, 0, 1, 0, 0, 1}));
  // A stray continuation byte starts a (malformed) character of its own.
  EXPECT_EQ(Starts(utf8, std::string("\x80") + "a"), (std::vector<uint8_t>{1, 1}));
}

}  // namespace
}  // namespace poshark::platform

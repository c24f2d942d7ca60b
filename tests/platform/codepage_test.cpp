#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace poshark::platform {
namespace {

// Restores POSHARK_CODEPAGE after a test that changes it.
class ScopedCodePageEnv {
 public:
  explicit ScopedCodePageEnv(const char* value) {
    const char* old = std::getenv("POSHARK_CODEPAGE");
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) setenv("POSHARK_CODEPAGE", value, 1);
    else unsetenv("POSHARK_CODEPAGE");
  }
  ~ScopedCodePageEnv() {
    if (had_) setenv("POSHARK_CODEPAGE", old_.c_str(), 1);
    else unsetenv("POSHARK_CODEPAGE");
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

std::vector<uint8_t> Starts(const CodePage* page, const std::string& text) {
  std::vector<uint8_t> starts;
  page->CharacterStarts(text, &starts);
  return starts;
}

TEST(CodePageTest, AnsiPageFollowsEnvironmentAndFallsBackForUnknownNames) {
  {
    ScopedCodePageEnv env(nullptr);
    EXPECT_EQ(CodePage::Ansi()->Name(), "windows-1252");
  }
  {
    ScopedCodePageEnv env("windows-936");
    EXPECT_EQ(CodePage::Ansi()->Name(), "windows-936");
    EXPECT_EQ(CodePage::Ansi()->MaxCharSize(), 2);
  }
  {
    ScopedCodePageEnv env("no-such-page-xyz");
    EXPECT_EQ(CodePage::Ansi()->Name(), "windows-1252");
  }
  EXPECT_EQ(CodePage::Get("no-such-page-xyz"), nullptr);
  EXPECT_EQ(CodePage::Get("windows-1255"), CodePage::Get("windows-1255"));
}

TEST(CodePageTest, ConvertsOneUnitToOneOrTwoBytesAndSubstitutesMissingCharacters) {
  const CodePage* cp1252 = CodePage::Get("windows-1252");
  ASSERT_NE(cp1252, nullptr);
  unsigned char out[4] = {};
  EXPECT_EQ(cp1252->FromUnicode(u'A', out, 4), 1);
  EXPECT_EQ(out[0], 0x41);
  EXPECT_EQ(cp1252->FromUnicode(u'\u20AC', out, 4), 1);  // euro sign
  EXPECT_EQ(out[0], 0x80);
  EXPECT_EQ(cp1252->FromUnicode(u'\u4E00', out, 4), 1);  // not in the page
  EXPECT_EQ(out[0], '?');
  EXPECT_EQ(cp1252->FromUnicode(u'\xD800', out, 4), 1);  // lone surrogate
  EXPECT_EQ(out[0], '?');
  EXPECT_EQ(cp1252->FromUnicode(0, out, 4), 0);

  const CodePage* cp936 = CodePage::Get("windows-936");
  ASSERT_NE(cp936, nullptr);
  EXPECT_EQ(cp936->FromUnicode(u'\u4E00', out, 4), 2);
  EXPECT_EQ(out[0], 0xD2);
  EXPECT_EQ(out[1], 0xBB);
  EXPECT_EQ(cp936->FromUnicode(u'\u4E00', out, 1), 0);  // does not fit
  EXPECT_EQ(cp936->FromUnicode(u"A\u4E00\u4E2D"), Bytes({0x41, 0xD2, 0xBB, 0xD6, 0xD0}));
}

TEST(CodePageTest, DecodesPageBytesToUtf16AndUtf8) {
  const CodePage* cp936 = CodePage::Get("windows-936");
  EXPECT_EQ(cp936->ToUnicode(Bytes({0xD2, 0xBB, 0x41})), u"\u4E00A");
  EXPECT_EQ(cp936->ToUtf8(Bytes({0xD2, 0xBB, 0xD6, 0xD0})), "\xE4\xB8\x80\xE4\xB8\xAD");
  const CodePage* cp1255 = CodePage::Get("windows-1255");
  EXPECT_EQ(cp1255->ToUtf8(Bytes({0xF9, 0xEC, 0xE5, 0xED})), "שלום");
  EXPECT_EQ(cp1255->ToUtf8(""), "");
  // A lead byte with nothing after it is not dropped silently.
  EXPECT_FALSE(cp936->ToUnicode(Bytes({0x41, 0xD2})).empty());
}

TEST(CodePageTest, FindsTrailingBytesOfDoubleByteCharactersFromLineStart) {
  const CodePage* cp936 = CodePage::Get("windows-936");
  // D2 BB and BB D2 are both characters: the same byte value is a trail in
  // one place and a lead in the next, so only a walk from the start can tell.
  std::string text = Bytes({0xD2, 0xBB, 0xBB, 0xD2, 0x41});
  EXPECT_EQ(Starts(cp936, text), (std::vector<uint8_t>{1, 0, 1, 0, 1}));
  EXPECT_FALSE(cp936->IsTrailingByte(text, 0));
  EXPECT_TRUE(cp936->IsTrailingByte(text, 1));
  EXPECT_FALSE(cp936->IsTrailingByte(text, 2));
  EXPECT_TRUE(cp936->IsTrailingByte(text, 3));
  EXPECT_FALSE(cp936->IsTrailingByte(text, 4));
  EXPECT_FALSE(cp936->IsTrailingByte(text, 99));
  // Shifted by one single-byte character the pairing changes.
  std::string shifted = "A" + text;
  EXPECT_EQ(Starts(cp936, shifted), (std::vector<uint8_t>{1, 1, 0, 1, 0, 1}));

  // GBK trail bytes include ASCII letters: 0x81 0x41 is one character.
  EXPECT_EQ(Starts(cp936, Bytes({0x81, 0x41, 0x41})), (std::vector<uint8_t>{1, 0, 1}));
  // A lead byte before a byte that cannot follow it, or at the end, stands alone.
  EXPECT_EQ(Starts(cp936, Bytes({0x81, 0x20, 0x81})), (std::vector<uint8_t>{1, 1, 1}));
  EXPECT_TRUE(cp936->IsLeadByte(0x81));
  EXPECT_FALSE(cp936->IsLeadByte(0x41));
  EXPECT_FALSE(cp936->IsLeadByte(0x80));
}

TEST(CodePageTest, SingleByteAndMultiBytePagesReportCharacterStarts) {
  const CodePage* cp1252 = CodePage::Get("windows-1252");
  std::string text = Bytes({0xD2, 0xBB, 0xE9});
  EXPECT_EQ(Starts(cp1252, text), (std::vector<uint8_t>{1, 1, 1}));
  EXPECT_FALSE(cp1252->IsTrailingByte(text, 1));

  const CodePage* utf8 = CodePage::Get("UTF-8");
  ASSERT_NE(utf8, nullptr);
  EXPECT_EQ(Starts(utf8, "a\xC3\xA9\xE4\xB8\x80z"), (std::vector<uint8_t>{1, 1, 0, 1, 0, 0, 1}));
  EXPECT_TRUE(utf8->IsTrailingByte("a\xC3\xA9z", 2));
  // A stray continuation byte starts a (malformed) character of its own.
  EXPECT_EQ(Starts(utf8, "\x80" "a"), (std::vector<uint8_t>{1, 1}));
}

TEST(DisplayOrderTest, HebrewAndArabicKeysComeBackAsTheSameBytesInDisplayOrder) {
  std::string out;
  // shin lamed vav final-mem, as windows-1255
  ASSERT_TRUE(ToDisplayOrder(Bytes({0xF9, 0xEC, 0xE5, 0xED}), kHebrewCharset, &out));
  EXPECT_EQ(out, Bytes({0xED, 0xE5, 0xEC, 0xF9}));
  // seen lam alef meem, as windows-1256
  ASSERT_TRUE(ToDisplayOrder(Bytes({0xD3, 0xE1, 0xC7, 0xE3}), kArabicCharset, &out));
  EXPECT_EQ(out, Bytes({0xE3, 0xC7, 0xE1, 0xD3}));
}

TEST(DisplayOrderTest, DigitsSpacesAndLatinKeepTheirOwnOrderInsideRightToLeftText) {
  std::string out;
  std::string shalom = Bytes({0xF9, 0xEC, 0xE5, 0xED});
  std::string molash = Bytes({0xED, 0xE5, 0xEC, 0xF9});
  // Number after Hebrew: the space joins the Hebrew run, the number reads
  // left to right and stands at the left.
  ASSERT_TRUE(ToDisplayOrder(shalom + " 123", kHebrewCharset, &out));
  EXPECT_EQ(out, "123 " + molash);
  // Latin first in a left-to-right paragraph stays first.
  ASSERT_TRUE(ToDisplayOrder("ABC " + shalom, kHebrewCharset, &out));
  EXPECT_EQ(out, "ABC " + molash);
  // Hebrew then Latin: the runs keep their paragraph order.
  ASSERT_TRUE(ToDisplayOrder(shalom + " AB", kHebrewCharset, &out));
  EXPECT_EQ(out, molash + " AB");
  // Pure Latin is unchanged.
  ASSERT_TRUE(ToDisplayOrder("TOTAL 5", kArabicCharset, &out));
  EXPECT_EQ(out, "TOTAL 5");
  // No mirroring: a bracket keeps its byte.
  ASSERT_TRUE(ToDisplayOrder(Bytes({0xF9, '(', 0xEC}), kHebrewCharset, &out));
  EXPECT_EQ(out, Bytes({0xEC, '(', 0xF9}));
  // Arabic with Arabic-Indic-free ASCII digits between words.
  std::string salam = Bytes({0xD3, 0xE1, 0xC7, 0xE3});
  ASSERT_TRUE(ToDisplayOrder(salam + " 12 " + salam, kArabicCharset, &out));
  std::string malas = Bytes({0xE3, 0xC7, 0xE1, 0xD3});
  EXPECT_EQ(out, malas + " 12 " + malas);
}

TEST(DisplayOrderTest, RefusesOtherCharacterSetsAndEmptyKeys) {
  std::string out = "unchanged";
  EXPECT_FALSE(ToDisplayOrder(Bytes({0xF9, 0xEC}), 0, &out));
  EXPECT_FALSE(ToDisplayOrder(Bytes({0xF9, 0xEC}), 1, &out));
  EXPECT_FALSE(ToDisplayOrder("", kHebrewCharset, &out));
  EXPECT_EQ(out, "unchanged");
  // Bytes the page leaves unassigned still come back, each once.
  ASSERT_TRUE(ToDisplayOrder(Bytes({0xFF, 0xF9}), kHebrewCharset, &out));
  EXPECT_EQ(out.size(), 2u);
  EXPECT_NE(out.find('\xFF'), std::string::npos);
  EXPECT_NE(out.find('\xF9'), std::string::npos);
}

TEST(CodePageTest, ConvertsFromManyThreadsAtOnce) {
  const CodePage* cp936 = CodePage::Get("windows-936");
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        unsigned char out[4];
        if (cp936->FromUnicode(u'\u4E2D', out, 4) != 2 || out[0] != 0xD6) ++failures[t];
        if (cp936->ToUnicode(Bytes({0xD6, 0xD0})) != u"\u4E2D") ++failures[t];
        std::string key = Bytes({0xF9, 0xEC});
        std::string out_key;
        if (!ToDisplayOrder(key, kHebrewCharset, &out_key) || out_key != Bytes({0xEC, 0xF9}))
          ++failures[t];
        if (!cp936->IsTrailingByte(Bytes({0xD6, 0xD0}), 1)) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace poshark::platform

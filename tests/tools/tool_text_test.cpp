// Text helpers of the tool: base64, JSON strings, code-page decoding, time
// stamps with their UTC offset.
#include "Text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace poshark::tool {
namespace {

TEST(ToolText, Base64EncodesAllPaddingCases) {
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64(std::string("\x00\xff\x1b", 3)), "AP8b");
}

TEST(ToolText, JsonStringEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("x\ny\tz\r"), "\"x\\ny\\tz\\r\"");
  EXPECT_EQ(JsonString(std::string("\x1b\x01", 2)), "\"\\u001b\\u0001\"");
  EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");  // UTF-8 passes
}

TEST(ToolText, DecodesCodePagesAndShowsControlBytes) {
  Decoder latin("windows-1252");
  EXPECT_EQ(latin.ToUtf8("caf\xe9 \x80"), "caf\xc3\xa9 \xe2\x82\xac");
  // ESC is drawn as its control picture, unless pictures are off.
  EXPECT_EQ(latin.ToUtf8("\x1b@"), "\xe2\x90\x9b@");
  EXPECT_EQ(latin.ToUtf8("\x1b@", false), "\x1b@");
  EXPECT_EQ(latin.ToUtf8("a\tb"), "a\tb");

  Decoder hebrew("windows-1255");
  EXPECT_EQ(hebrew.ToUtf8("\xf9\xec"), "\xd7\xa9\xd7\x9c");  // shin, lamed
  Decoder dos("cp437");
  EXPECT_EQ(dos.ToUtf8("\x82"), "\xc3\xa9");  // e acute
}

TEST(ToolText, UnknownCodePageIsReportedByName) {
  try {
    Decoder d("no-such-page-42");
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-page-42"), std::string::npos);
  }
}

TEST(ToolText, CharsetFollowsRightToLeftCodePages) {
  EXPECT_EQ(CharsetForCodepage("windows-1255"), 177u);
  EXPECT_EQ(CharsetForCodepage("CP862"), 177u);
  EXPECT_EQ(CharsetForCodepage("windows-1256"), 178u);
  EXPECT_EQ(CharsetForCodepage("windows-1252"), 0u);
  EXPECT_EQ(CharsetForCodepage("cp437"), 0u);
}

class ToolTimeZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz != nullptr ? tz : "";
    had_ = tz != nullptr;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::string saved_;
  bool had_ = false;
};

TEST_F(ToolTimeZone, IsoTimeCarriesMillisecondsAndTheZoneOffset) {
  SYSTEMTIME winter{2024, 1, 0, 15, 9, 5, 7, 42};
  EXPECT_EQ(FormatIsoTime(winter, false), "2024-01-15T09:05:07.042+01:00");
  SYSTEMTIME summer{2024, 7, 0, 15, 23, 59, 59, 999};
  EXPECT_EQ(FormatIsoTime(summer, true), "2024-07-15T23:59:59.999+02:00");
  EXPECT_EQ(FormatLocalTime(summer), "2024-07-15 23:59:59.999");
}

TEST_F(ToolTimeZone, DstFlagSettlesTheRepeatedHourOnly) {
  // 27 October 2024, 02:30 happens twice in Berlin.
  SYSTEMTIME twice{2024, 10, 0, 27, 2, 30, 0, 0};
  EXPECT_EQ(FormatIsoTime(twice, true), "2024-10-27T02:30:00.000+02:00");
  EXPECT_EQ(FormatIsoTime(twice, false), "2024-10-27T02:30:00.000+01:00");
  // A wrong flag on an unambiguous time does not move the offset.
  SYSTEMTIME winter{2024, 1, 0, 15, 9, 0, 0, 0};
  EXPECT_EQ(FormatIsoTime(winter, true), "2024-01-15T09:00:00.000+01:00");
}

}  // namespace
}  // namespace poshark::tool

// The tool's helpers in-process: base64, JSON strings, logical order, control bytes, time
// stamps with their UTC offset, and trace files (reading records, recognising
// the structure, the messages for truncated or corrupt files).
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

#include "ToolProcess.h"
#include "base/JsonText.h"
#include "base/Text.h"
#include "channel/TraceFile.h"
#include "support/EnvGuard.h"

namespace poshark::tool {
namespace {

using poshark_test::TraceRecord;
using namespace std::string_literals;

// A raw stream is never taken for a trace: the sample receipts show that
// through the tool, the fuzz corpus that the check leaves the stream alone.
TEST(TraceFile, RecordsAreReadDamageIsNamedAndOnlyWholeTracesAreRecognised) {
  const std::string esc("\x1b@\n\x00x", 5);
  // File content, records read, error.
  const std::tuple<std::string, std::vector<std::string>, std::string> kCases[] = {
      {TraceRecord("abc") + TraceRecord(esc), {"abc", esc}, ""},
      {"", {}, ""},
      {TraceRecord("abc") + TraceRecord("defg").substr(0, 6),
       {"abc"},
       "f.bin2: record 2 at offset 7: truncated, its count is 4 but 2 bytes follow"},
      {TraceRecord("abc") + std::string("\x02\x00", 2),
       {"abc"},
       "f.bin2: record 2 at offset 7: truncated count (2 of 4 bytes)"},
      {std::string("\x00\x00\x00\x00x", 5),
       {},
       "f.bin2: record 1 at offset 0: invalid byte count 0"},
  };
  poshark_test::TempDir dir;
  for (const auto& [data, want, message] : kCases) {
    dir.Write("f.bin2", data);
    FILE* f = std::fopen((dir / "f.bin2").c_str(), "rb");
    EXPECT_EQ(LooksLikeTrace(f), message.empty() && !data.empty()) << message;
    TraceReader reader(f, "f.bin2");
    std::vector<std::string> records;
    std::vector<unsigned char> record;
    std::string error;
    while (reader.Next(record, error)) records.emplace_back(record.begin(), record.end());
    EXPECT_EQ(reader.RecordCount(), records.size());
    EXPECT_EQ(records, want) << message;
    EXPECT_EQ(error, message);
    std::fclose(f);
  }
}

// The pages themselves are checked on the sample receipts, an unknown page
// with the tool's errors.
TEST(ToolText, Base64PadsAndControlBytesShowAsPictures) {
  EXPECT_EQ(Base64(std::string("foobar\x00\xff\x1b", 9)), "Zm9vYmFyAP8b");
  EXPECT_EQ(Base64("f") + Base64("fo"), "Zg==Zm8=");
  Decoder latin("windows-1252");
  // ESC is drawn as its control picture, unless pictures are off.
  EXPECT_EQ(latin.ToUtf8("\x1b@"), "\xe2\x90\x9b@");
  EXPECT_EQ(latin.ToUtf8("\x1b@", false), "\x1b@");
  // Plain text is copied in blocks: a byte that is not plain, anywhere in a
  // text shorter or longer than a block, comes out as it does alone.
  for (size_t size : {7, 15, 16, 17, 33}) {
    for (size_t at = 0; at < size; ++at) {
      for (char odd : {'\x1b', '\x7f', '\xe9'}) {
        std::string text(size, 'a');
        text[at] = odd;
        for (bool pictures : {true, false}) {
          EXPECT_EQ(latin.ToUtf8(text, pictures), std::string(at, 'a') +
                                                      latin.ToUtf8(std::string(1, odd), pictures) +
                                                      std::string(size - at - 1, 'a'))
              << size << " " << at;
        }
      }
    }
  }
}

// The text output shows control characters of the decoded line as pictures:
// the same as decoding with pictures, in single- and double-byte pages.
TEST(ToolText, PicturesOfDecodedTextAreThoseOfTheDecoder) {
  std::string bytes;
  for (int b = 1; b < 256; ++b) bytes += static_cast<char>(b);
  for (const char* page : {"windows-1252", "ibm-437", "windows-1255", "windows-932"}) {
    Decoder decoder(page);
    for (size_t at = 0; at + 40 <= bytes.size(); at += 13) {
      const std::string piece = "ab\tc" + bytes.substr(at, 40) + "xyz";
      std::string pictured;
      AppendWithPictures(pictured, decoder.ToUtf8(piece, false));
      EXPECT_EQ(pictured, decoder.ToUtf8(piece, true)) << page << " at " << at;
    }
  }
}

// Rows of --json are written without the library that reads them back: every
// string must come out as the library itself would write it.
TEST(ToolText, JsonStringsAreWrittenAsTheLibraryWritesThem) {
  // ASCII to copy or escape, well-formed UTF-8, then ill-formed sequences,
  // split at '|'.
  const std::string all =
      "plain|a plain run of whole words| |\"|\\|\n|\r|\t|\b|\f|\x1f|\x7f|\xc3\xa9|\xd7\x90|"
      "\xe2\x82\xac|\xf0\x9f\x98\x80|\x80|\xc0\xaf|\xc3|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x82|"
      "\xff|"s +
      '\0';
  std::vector<std::string> pieces;
  for (size_t at = 0, bar = 0; at <= all.size(); at = bar + 1) {
    bar = std::min(all.find('|', at), all.size());
    pieces.push_back(all.substr(at, bar - at));
  }
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (int n = static_cast<int>(random() % 6); n > 0; --n)
      text += pieces[random() % pieces.size()];
    std::string ours = "x";
    AppendJsonString(ours, text);
    EXPECT_EQ(ours, "x" + nlohmann::json(text).dump(-1, ' ', false,
                                                    nlohmann::json::error_handler_t::replace))
        << ::testing::PrintToString(text);
  }
}

TEST(ToolText, LogicalOrderReversesRightToLeftRunsOfADisplayOrderLine) {
  const std::pair<const char*, const char*> kLines[] = {
      {"\xd7\x9d\xd7\x95\xd7\x9c\xd7\xa9", "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d"},  // shalom
      // A Hebrew item and its price: the word turns, the number stays.
      {"\xd7\x91\xd7\x9c\xd7\x97   6.90", "\xd7\x97\xd7\x9c\xd7\x91   6.90"},
      // Two words: each turns and they change places.
      {"\xd7\x91 \xd7\x90\xd7\x92", "\xd7\x92\xd7\x90 \xd7\x91"},
      {"TOTAL 27.80", "TOTAL 27.80"}};
  for (const auto& [display, logical] : kLines)
    EXPECT_EQ(LogicalOrder(display), logical) << display;
}

TEST(ToolText, IsoTimeCarriesTheZoneOffsetAndTheDstFlagSettlesTheRepeatedHour) {
  {
    poshark::testing::EnvGuard zone("TZ", "Europe/Berlin");
    tzset();
    SYSTEMTIME winter{2024, 1, 0, 15, 9, 5, 7, 42};
    SYSTEMTIME summer{2024, 7, 0, 15, 23, 59, 59, 999};
    SYSTEMTIME twice{2024, 10, 0, 27, 2, 30, 0, 0};  // 02:30 happens twice that day
    EXPECT_EQ(FormatIsoTime(winter, true), "2024-01-15T09:05:07.042+01:00");  // flag ignored
    EXPECT_EQ(FormatIsoTime(summer, true), "2024-07-15T23:59:59.999+02:00");
    EXPECT_EQ(FormatLocalTime(summer), "2024-07-15 23:59:59.999");
    EXPECT_EQ(FormatIsoTime(twice, true), "2024-10-27T02:30:00.000+02:00");
    EXPECT_EQ(FormatIsoTime(twice, false), "2024-10-27T02:30:00.000+01:00");
  }
  tzset();
}

}  // namespace
}  // namespace poshark::tool

// The poshark tool end to end: the bundled ESC/POS set over the sample
// receipts, trace files, the catchers, JSON Lines.
// Each test runs the built tool as a child process.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <nlohmann/json.hpp>

#include "ToolProcess.h"
#include "base/Text.h"

namespace poshark_test {
namespace {

// The event column and the text of each row of the text format (time, DST
// flag, event, text); capture and alarm rows are skipped.
std::vector<std::pair<std::string, std::string>> ParseRows(const std::string& out) {
  static const std::regex kRow(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (DST|std) (\S+) *(.*)$)");
  std::vector<std::pair<std::string, std::string>> rows;
  std::smatch m;
  for (const auto& line : SplitLines(out))
    if (std::regex_match(line, m, kRow)) rows.emplace_back(m[2] == "-" ? "" : m[2].str(), m[3]);
  return rows;
}
std::vector<std::string> Texts(const std::string& out) {
  std::vector<std::string> texts;
  for (const auto& [event, text] : ParseRows(out))
    if (!text.empty()) texts.push_back(text);
  return texts;
}
ToolProcess::Options Feed(const std::string& file, const std::string& codepage,
                          std::vector<std::string> more = {}) {
  ToolProcess::Options o{{"listen", "--pos", "1", "--set", "ESC/POS", "--feed", file}};
  more.insert(more.begin(), {"--codepage", codepage});
  o.argv.insert(o.argv.end(), more.begin(), more.end());
  return o;
}

TEST(ToolListen, BundledSamplesGiveTheirReceiptLinesWithOneStartAndOneStop) {
  const char* const kSamples[] = {"plain", "latin", "hebrew", "barcodes", "qrcode", "void", "long"};
  std::vector<std::future<Result>> runs;
  for (const char* name : kSamples) {  // paced like a POS at 115200 baud (the default)
    std::string txt = ReadFile(ReceiptsDir() + "/" + name + ".txt");  // "# codepage: NAME"
    auto o = Feed(ReceiptsDir() + "/" + name + ".bin", txt.substr(12, txt.find('\n') - 12));
    runs.push_back(std::async(std::launch::async, [o] { return RunTool(o); }));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(kSamples[i]);
    Result r = runs[i].get();
    ASSERT_EQ(r.code, 0) << r.err;
    std::string events;
    for (const auto& [event, text] : ParseRows(r.out))
      if (!event.empty()) events += event + " ";
    EXPECT_EQ(events, "START STOP ");
    EXPECT_EQ(ParseRows(r.out).back().first, "STOP");  // after every text line
    EXPECT_EQ(Texts(r.out), ReceiptLines(kSamples[i]));
    // No printer byte reached a line: it would show as a control picture.
    EXPECT_EQ(r.out.find("\xe2\x90"), std::string::npos);
  }
}

// The Star sets and the code tables: each sample through the set its file
// names, its text rows in UTF-8 whatever the tables, whatever --codepage says.
TEST(ToolListen, StarAndCodeTableSamplesGiveTheirTextInEveryTable) {
  const char* const kSamples[] = {"escpos-tables", "star-line", "star-line-tables", "star-prnt",
                                  "star-prnt-tables"};
  std::vector<std::future<Result>> runs;
  for (const char* name : kSamples) {
    std::string set = SplitLines(ReadFile(ReceiptsDir() + "/" + name + ".txt"))[1].substr(7);
    ToolProcess::Options o{{"listen", "--pos", "1", "--set", set, "--feed",
                            ReceiptsDir() + "/" + name + ".bin", "--codepage", "ibm-866", "--pace",
                            "none", "--json"}};
    runs.push_back(std::async(std::launch::async, [o] { return RunTool(o); }));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(kSamples[i]);
    Result r = runs[i].get();
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> texts;
    for (const auto& line : SplitLines(r.out)) {
      auto text = nlohmann::ordered_json::parse(line)["text"].get<std::string>();
      if (text.find_first_not_of(' ') != std::string::npos) texts.push_back(text);
    }
    auto expected = ReceiptLines(kSamples[i]);
    expected.erase(expected.begin());  // "# set: NAME"
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(r.err, "");  // no unknown table, no fault of a set
  }
}

// A table the set lacks leaves the channel's page in force and is logged
// once per number, however often it is selected.
TEST(ToolListen, AnUnknownCodeTableIsLoggedOncePerNumber) {
  TempDir dir;
  std::string stream = "A\x1bt\x63\xe9\n\x1bt\x63\xe9\n\x1bt\x62\xe9\n\x1d\x56\x01";
  dir.Write("t.bin", stream);
  Result r = RunTool(Feed(dir / "t.bin", "windows-1252", {"--pace", "none"}));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Texts(r.out), (std::vector<std::string>{"Aé", "é", "é"}));
  EXPECT_EQ(Count(r.err, "code table 99 is not in set ESC/POS"), 1u) << r.err;
  EXPECT_EQ(Count(r.err, "code table 98 is not in set ESC/POS"), 1u) << r.err;
}

// Trace files are recognised by their structure (damage is the trace
// reader's test).
// A feed ends only after the analyzer's last wait: cut.bin ends inside a QR
// command whose length byte is 0x0A; that byte ends the chunk, and the
// analyzer waits 3000 ms for the rest before it gives up and emits the line.
TEST(ToolListen, TraceFilesAreReplayedAndAFeedEndsOnlyAfterTheAnalyzersLastWait) {
  TempDir dir;
  std::string raw = ReadFile(ReceiptsDir() + "/barcodes.bin");
  std::string trace;
  for (size_t i = 0; i < raw.size(); i += 37) trace += TraceRecord(raw.substr(i, 37));
  dir.Write("pos.bin2", trace);
  dir.Write("cut.bin", std::string("First line\nLast words\x1d(k\n", 26));
  std::vector<std::future<Result>> runs;
  for (const auto& opts : {Feed(dir / "pos.bin2", "cp437", {"--pace", "none"}),
                           Feed(dir / "cut.bin", "windows-1252", {"--pace", "none", "--json"})})
    runs.push_back(std::async(std::launch::async, [opts] { return RunTool(opts); }));
  Result r = runs[0].get();
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Texts(r.out), ReceiptLines("barcodes"));
  r = runs[1].get();
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"text\":\"First line\""), std::string::npos) << r.out;
  // The command's bytes stay, as the stream was cut inside it.
  EXPECT_NE(r.out.find(R"("text":"Last words\u001d(k\n")"), std::string::npos) << r.out;
  for (const auto& line : SplitLines(r.out)) {  // raw as base64
    auto j = nlohmann::ordered_json::parse(line);
    EXPECT_EQ(j.dump(), line);  // the library's own layout
    EXPECT_EQ(j["raw"], poshark::tool::Base64(j["text"].get<std::string>())) << line;
    EXPECT_EQ(j["extra"], "");
  }
}

TEST(ToolListen, KeysShowCapturesAlarmsColoursAndSaveTheLimitState) {
  // TOTAL raises an alarm from 10.00 on and counts matches per day.
  TempDir plain_home, barcodes_home, json_home;
  for (const TempDir* home : {&plain_home, &barcodes_home, &json_home})
    home->Write("POSKeyFilter.ini",
                "[POS1]\nNum=3\nItem1=TOTAL,5\nName1=Total,1,0,046\nCondition1_1=1,1,10\n"
                "Freq1=1,1,1,3,0,0\nItem2=CASH,5\nName2=Cash,1,1,046\nItem3=Screws,5\n"
                "Name3=Screws,1,2,046\n[ColorKey1]\nCKNum=2\nCKItem1=TOTAL,0\n"
                "CKName1=Total,12,0,000\nCKColor1=1,0,255,0,0\nCKItem2=Hammer,0\n"
                "CKName2=Hammer,12,0,000\nCKColor2=1,0,0,255,0\n");
  auto run = [&](const char* sample, const TempDir& home, bool pty, const char* json = "",
                 const char* no_color = "") {
    auto o = Feed(ReceiptsDir() + "/" + sample + ".bin", "cp437",
                  {"--keys", "--home", home.Path(), "--pace", "none"});
    if (*json) o.argv.push_back(json);
    o.stdout_on_pty = pty;
    o.env["NO_COLOR"] = no_color;
    return std::async(std::launch::async, [o] { return RunTool(o); });
  };
  std::future<Result> runs[] = {
      run("plain", plain_home, false), run("barcodes", barcodes_home, false),
      run("plain", plain_home, true), run("plain", plain_home, true, "", "1"),
      run("barcodes", json_home, false, "--json")};
  std::vector<std::string> out;
  for (auto& r : runs) {
    Result result = r.get();
    EXPECT_EQ(result.code, 0) << result.err;
    out.push_back(result.out);
  }
  EXPECT_NE(
      out[0].find("TOTAL                                 8.08\n        capture Total = 8.08\n"),
      std::string::npos)
      << out[0];
  EXPECT_NE(out[0].find("        capture Cash = 10.00\n"), std::string::npos);
  EXPECT_EQ(out[0].find("ALARM"), std::string::npos);  // 8.08 is below 10
  EXPECT_EQ(out[0].find("\x1b["), std::string::npos);  // not a terminal
  EXPECT_NE(out[1].find("        capture Total = 21.65\n        ALARM   Total = 21.65\n"),
            std::string::npos)
      << out[1];
  // The match was counted and saved on exit.
  EXPECT_NE(ReadFile(barcodes_home / "POSKeyFilter.ini").find("1FreqRecNum=1"), std::string::npos);
  // On a terminal the colour key is drawn in 24-bit colour, unless NO_COLOR is set.
  EXPECT_NE(out[2].find("\x1b[48;2;255;0;0m\x1b[38;2;255;255;255mTOTAL\x1b[0m"), std::string::npos);
  EXPECT_EQ(out[3].find("\x1b["), std::string::npos);
  EXPECT_NE(out[3].find("TOTAL"), std::string::npos);
  // JSON Lines carry the same finds as objects, each kind also alone, and
  // the event of every row.
  std::map<std::string, nlohmann::ordered_json> rows;
  for (const auto& line : SplitLines(out[4])) {
    auto row = nlohmann::ordered_json::parse(line);
    EXPECT_EQ(row.dump(), line);  // the library's own layout
    for (const char* word : {"TOTAL", "Screws", "Hammer", "HARDWARE"})
      if (row["text"].get<std::string>().rfind(word, 0) == 0) rows[word] = row;
  }
  const auto& j = rows["TOTAL"];
  EXPECT_EQ(j["captures"][0]["data"], "21.65") << j;
  EXPECT_EQ(j["alarms"][0]["name"], "Total") << j;
  EXPECT_EQ(j["ranges"][0]["color"], "#ff0000") << j;
  EXPECT_EQ(j["ranges"][0]["end"], 5) << j;
  EXPECT_TRUE(rows["Screws"]["captures"].size() == 1 && rows["Screws"]["ranges"].empty())
      << rows["Screws"];
  EXPECT_TRUE(rows["Hammer"]["ranges"].size() == 1 && rows["Hammer"]["captures"].empty())
      << rows["Hammer"];
  // The first line opens the receipt whole, its size command inside it.
  EXPECT_EQ(rows["HARDWARE"]["event"], "START") << rows["HARDWARE"];
}

// A file fed at the default pace shows its progress on a terminal, and
// nowhere else: not on a pipe, not with --quiet.
TEST(ToolListen, AFeedOnATerminalShowsItsProgressUnlessQuiet) {
  const std::string feed = ReceiptsDir() + "/long.bin";  // 18.7 kB: 1.6 s at 115200 baud
  const std::vector<std::string> args{"listen", "--pos", "1", "--set", "0", "--feed", feed};
  std::vector<std::string> quiet = args;
  quiet.push_back("--quiet");
  const std::tuple<std::vector<std::string>, bool, bool> kRuns[] = {
      {args, true, true}, {args, false, false}, {quiet, true, false}};
  for (const auto& [argv, terminal, shown] : kRuns) {
    ChildProcess::Options o{argv};
    o.argv.insert(o.argv.begin(), POSHARK_TOOL_PATH);
    o.stderr_on_pty = terminal;
    ChildProcess tool(o);
    EXPECT_EQ(tool.Wait(std::chrono::seconds(30)), 0) << tool.Err();
    const std::string& err = tool.Err();
    EXPECT_EQ(err.find("\rposhark: long.bin: ") != std::string::npos, shown) << err;
    if (shown) {
      EXPECT_NE(err.find("18.7 kB of 18.7 kB (100%), "), std::string::npos) << err;
      EXPECT_NE(err.find(" lines, "), std::string::npos) << err;
      EXPECT_NE(err.find("B/s"), std::string::npos) << err;
    }
  }
}

}  // namespace
}  // namespace poshark_test

// `poshark search` over a journal built here, its bad arguments, and a
// serve process whose feed channels' receipts are found again.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Journal.h"
#include "JournalLines.h"
#include "SearchArgs.h"
#include "ToolProcess.h"

namespace poshark_test {
namespace {

using poshark::tool::Journal;
using poshark::tool::Keep;

constexpr int kStart = 0, kStop = 1, kVoid = 2, kPlain = -1;

int64_t At(const char* local) {
  int64_t ms = 0;
  EXPECT_TRUE(poshark::tool::ParseSearchTime(local, false, ms)) << local;
  return ms;
}

// R1 to R4 on two channels over five days: a void, an alarm, a group of
// lines outside a transaction.
void BuildJournal(const std::string& path) {
  Journal journal(path, Keep{});
  const struct {
    const char* channel;
    const char* time;
    int event;
    const char* text;
  } kLines[] = {
      {"a", "2024-03-10T10:00:00", kStart, "R1 coffee"},
      {"a", "2024-03-10T10:00:01", kPlain, "beans 1 kg 18.90"},
      {"a", "2024-03-10T10:00:02", kStop, ""},
      {"b", "2024-03-12T21:30:00", kStart, "R2 green tea"},
      {"b", "2024-03-12T21:30:01", kVoid, "VOID tea"},
      {"b", "2024-03-12T21:30:02", kStop, ""},
      {"a", "2024-03-14T09:00:00", kStart, "R3 coffee beans grinder"},
      {"a", "2024-03-14T09:00:01", kPlain, "card **** 1111"},
      {"a", "2024-03-14T09:00:02", kStop, ""},
      {"b", "2024-03-14T12:00:00", kPlain, "R4 coffee to go"},
  };
  for (const auto& l : kLines) {
    LineRecord r = JournalLine(l.channel, l.event, l.text, At(l.time));
    if (r.text.find("card") == 0) r.findings.alarms.push_back({"card", 0, 1, "1111"});
    journal.Add(std::move(r));
  }
}

std::string Labels(const std::string& out) {
  std::string labels;
  for (const auto& line : SplitLines(out)) {
    std::string first = nlohmann::json::parse(line)["lines"][0]["text"];
    labels += first.substr(0, first.find(' ')) + " ";
  }
  return labels;
}

TEST(Search, WordsPhrasesRangesAndFlagsFindTheirReceiptsNewestFirst) {
  TempDir dir;
  BuildJournal(dir / "j.sqlite");
  const struct {
    std::vector<std::string> args;
    const char* found;
  } kCases[] = {
      {{}, "R4 R3 R2 R1 "},
      {{"coffee"}, "R4 R3 R1 "},
      {{"COFFEE", "beans"}, "R3 R1 "},  // anywhere in the receipt
      {{"coffee beans"}, "R3 "},        // a phrase
      {{"coff*"}, "R4 R3 R1 "},
      {{"coff"}, ""},
      {{"1111"}, "R3 "},
      {{"say \"cheese\""}, ""},
      {{"--channel", "b"}, "R4 R2 "},
      {{"--pos", "1"}, "R3 R1 "},
      {{"--until", "2024-03-12"}, "R2 R1 "},  // the whole day
      {{"--since", "2024-03-12T21:30", "--until", "2024-03-14 09:00:00"}, "R2 "},
      {{"--void"}, "R2 "},
      {{"--alarms"}, "R3 "},
      {{"--channel", "a", "--", "--void"}, ""},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args{"search", "--journal", dir / "j.sqlite", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = RunTool({args});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Labels(r.out), c.found) << testing::PrintToString(c.args);
  }
  // One receipt in full; the table shows the lines that hold the words.
  auto r = RunTool({{"search", "--journal", dir / "j.sqlite", "--json", "--void"}});
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["channel"], "b");
  EXPECT_EQ(j["pos"], 2);
  EXPECT_TRUE(j["void"]);
  EXPECT_TRUE(j["transaction"]);
  EXPECT_EQ(j["lines"].size(), 2u);
  EXPECT_EQ(j["lines"][1]["event"], "VOID");
  EXPECT_EQ(j["start"].get<std::string>().substr(0, 19), "2024-03-12T21:30:00");
  r = RunTool({{"search", "--journal", dir / "j.sqlite", "1111"}});
  EXPECT_NE(r.out.find("ALARM"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    card **** 1111\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("R3 coffee"), std::string::npos) << r.out;
  r = RunTool({{"search", "--journal", dir / "j.sqlite", "--json", "to"}});
  EXPECT_FALSE(nlohmann::json::parse(r.out)["transaction"]);
}

TEST(Search, BadArgumentsAndJournalsAreNamed) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    int code;
    std::string message;
  } kCases[] = {
      {{"--pos", "x"}, 2, "--pos x: expected a number from 0 to 9999"},
      {{"--since", "2024-02-30"}, 2, "--since 2024-02-30: expected a date YYYY-MM-DD"},
      {{"--since", "yesterday"}, 2, "--since yesterday: expected a date"},
      {{"--since", "2024-03-14", "--until", "2024-03-13"}, 2, "--until: expected a time after"},
      {{""}, 2, "WORDS: expected a word or a phrase"},
      {{"--journal", dir / "none.sqlite"}, 1, "journal " + (dir / "none.sqlite") + ": cannot open"},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args{"search"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = RunTool({args});
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST(Search, AReceiptAServiceJournaledIsFoundAgain) {
  TempDir dir;
  WriteFile(dir / "poshark.ini", "[service]\nhome = " + dir.path() +
                                     "\n[channel till]\nsource = feed:" + ReceiptsDir() +
                                     "/void.bin\ncodepage = cp437\n");
  ToolProcess serve({{"serve", "--config", dir / "poshark.ini"}});
  ASSERT_TRUE(serve.WaitFor([](const std::string& out, const std::string&) {
    return out.find("\"event\":\"STOP\"") != std::string::npos;
  })) << serve.Err();
  serve.Signal(SIGTERM);
  ASSERT_EQ(serve.Wait(std::chrono::seconds(10)), 0) << serve.Err();
  auto r = RunTool({{"search", "--journal", dir / "journal.sqlite", "--json", "voided by"}});
  ASSERT_EQ(SplitLines(r.out).size(), 1u) << r.out;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_TRUE(j["transaction"]);
  EXPECT_FALSE(j["stop"].is_null());
  std::vector<std::string> texts;  // lines with more than spaces
  for (const auto& line : j["lines"])
    if (std::string t = line["text"]; t.find_first_not_of(' ') != std::string::npos)
      texts.push_back(t);
  EXPECT_EQ(texts, ReceiptLines("void"));
}

}  // namespace
}  // namespace poshark_test

// `poshark sets guess` on the sample receipts, on captures no set reads, and
// `set auto`: a channel that guesses its set from its first receipt.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <random>

#include "ToolProcess.h"

namespace poshark_test {
namespace {

using nlohmann::json;

Result Guess(const std::string& file) { return RunTool({{"sets", "guess", file, "--json"}}); }

// Each sample's set named first with the highest score; the Star Line and
// Star PRNT samples are the same bytes (their generator writes both
// languages alike), which the two sets read alike: the smaller one, Star
// Line, comes first and names the other as reading it alike. Generic
// ESC/POS differs from ESC/POS in tables above 5 only: it reads the samples
// that stay in the first tables alike, and comes second (the catalogue's
// order). A StarPRNT receipt with a command of its own names Star PRNT.
TEST(SetGuess, NamesEachSampleSetFirstAndTheOtherLanguagesFarBelow) {
  const json kGeneric = json::array({"Generic ESC/POS"});
  const json kPrnt = json::array({"Star PRNT"});
  const std::tuple<const char*, const char*, json> kSamples[] = {
      {"plain", "ESC/POS", kGeneric},       {"latin", "ESC/POS", kGeneric},
      {"hebrew", "ESC/POS", json::array()}, {"barcodes", "ESC/POS", kGeneric},
      {"qrcode", "ESC/POS", kGeneric},      {"void", "ESC/POS", kGeneric},
      {"long", "ESC/POS", kGeneric},        {"escpos-tables", "ESC/POS", json::array()},
      {"star-line", "Star Line", kPrnt},    {"star-line-tables", "Star Line", kPrnt},
      {"star-prnt", "Star Line", kPrnt},    {"star-prnt-tables", "Star Line", kPrnt}};
  TempDir dir;
  // A trace file of a receipt; a StarPRNT receipt that uses StarPRNT's own
  // print mode command (ESC GS P 0), which Star Line lacks.
  std::string plain = ReadFile(ReceiptsDir() + "/plain.bin");
  dir.Write("plain.bin2", TraceRecord(plain.substr(0, 100)) + TraceRecord(plain.substr(100)));
  dir.Write("prnt.bin", "\x1b\x1dP0" + ReadFile(ReceiptsDir() + "/star-prnt.bin"));
  std::vector<std::tuple<std::string, std::string, json>> runs = {
      {dir / "plain.bin2", "ESC/POS", kGeneric}, {dir / "prnt.bin", "Star PRNT", json::array()}};
  for (const auto& [name, set, alike] : kSamples)
    runs.emplace_back(ReceiptsDir() + "/" + name + ".bin", set, alike);
  std::vector<std::future<Result>> results;
  for (const auto& run : runs)
    results.push_back(std::async(std::launch::async, Guess, std::get<0>(run)));
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto& [file, set, alike] = runs[i];
    SCOPED_TRACE(file);
    Result r = results[i].get();
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["set"], set);
    EXPECT_EQ(j["ranked"][0]["name"], set);
    EXPECT_EQ(j["ranked"][0]["score"], 1.0);
    EXPECT_EQ(j["leftovers"].size(), 0u);
    EXPECT_EQ(j["alike"], alike);
    EXPECT_LT(j["ranked"].back()["score"], 0.6);  // the other language
  }
}

// The receipts of the printer families (examples/receipts/family-*, made
// by another encoder's per-family profiles): listen --set auto on each
// alone chooses a set that gives every line exactly, in its code page.
TEST(SetGuess, AutoReadsEveryPrinterFamilysReceiptsExactly) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(ReceiptsDir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("family-", 0) == 0 && entry.path().extension() == ".bin")
      names.push_back(entry.path().stem().string());
  }
  ASSERT_GE(names.size(), 30u);
  auto listen = [](const std::string& name) {
    return RunTool({{"listen", "--pos", "1", "--set", "auto", "--feed",
                     ReceiptsDir() + "/" + name + ".bin", "--json"}});
  };
  constexpr size_t kAtOnce = 4;  // tools running side by side
  std::vector<std::future<Result>> results;
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    for (size_t k = results.size(); k < std::min(names.size(), i + kAtOnce); ++k)
      results.push_back(std::async(std::launch::async, listen, names[k]));
    Result r = results[i].get();
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> got;
    for (const auto& line : SplitLines(r.out)) {
      const std::string text = json::parse(line)["text"];
      if (text.find_first_not_of(' ') != std::string::npos) got.push_back(text);
    }
    std::vector<std::string> expected;
    for (const auto& line : SplitLines(ReadFile(ReceiptsDir() + "/" + names[i] + ".txt")))
      if (line.rfind("# ", 0) != 0) expected.push_back(line);
    EXPECT_EQ(got, expected) << r.err;
  }
}

// An Elgin VOX's double width, ESC W 1 ... ESC W 0, with no other command
// that only its set knows: ESC/POS reads ESC W with eight parameter bytes,
// which take the commands after it (and the text) without a stray byte
// left. The set whose commands swallow fewer command leads is named.
TEST(SetGuess, NamesTheSetWhoseCommandsDoNotSwallowTheCommandsAfterThem) {
  TempDir dir;
  using namespace std::string_literals;
  const std::string kImage = "\x1b*!\x18\x00"s + std::string(72, '\0');
  dir.Write("vox.bin",
            "\x1bt\x02\x1b"
            "3\x10"s +
                kImage +
                "\x1bJ\x00\x1b"
                "2\x1bW\x01\x1b"
                "d\x01\x1b\x0f"
                "A\x87\xc6o n\xa7 5\x12\x1b"
                "d\x00\x1bW\x00\x07\x07\x07"
                "FIM\r\n\x1b"
                "d\x02\x1bm"s);
  Result r = Guess(dir / "vox.bin");
  ASSERT_EQ(r.code, 0) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(j["set"], "ESC/Bema");
  for (const json& s : j["ranked"]) {
    if (s["name"] == "ESC/POS") {
      EXPECT_EQ(s["score"], 1.0);
      EXPECT_GE(s["swallowed_leads"], 2);
    }
  }
}

// Two commands the set lacks: still named, and the leftover listed with its
// count and the offset of its first occurrence, as the text form shows it.
TEST(SetGuess, ListsTheCommandsTheBestSetLeavesWithCountAndOffset) {
  TempDir dir;
  std::string plain = ReadFile(ReceiptsDir() + "/plain.bin");
  const size_t at = plain.find('\n', 100) + 1;
  plain.insert(at + 40, "\x1d~\x05");
  plain.insert(at, "\x1d~\x05");
  dir.Write("unknown.bin", plain);
  Result r = RunTool({{"sets", "guess", dir / "unknown.bin"}});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto lines = SplitLines(r.out);
  ASSERT_GE(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[0].substr(0, 12), "0   ESC/POS ");
  const std::regex kRow("GS,~ +2 +" + std::to_string(at));
  EXPECT_TRUE(std::regex_match(lines.back(), kRow)) << r.out;
}

// Random bytes, an empty file, text without commands: exit 1 with the reason
// and no set. A set that drops every byte (text-sender mode) reads nothing,
// though it leaves no control in its text: it scores 0. Bad arguments exit
// 2 naming the argument; an unreadable file 1.
TEST(SetGuess, NamesNoSetForCapturesNoSetReadsAndNamesBadArguments) {
  TempDir dir;
  std::mt19937 random(39);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  dir.Write("noise.bin", noise);
  dir.Write("empty.bin", "");
  std::string text;
  for (int i = 0; i < 40; ++i) text += "COFFEE 2.50\r\n";
  dir.Write("text.bin", text);
  const std::pair<std::string, std::string> kNone[] = {{"noise.bin", "no set reads the capture"},
                                                       {"empty.bin", "the capture is empty"},
                                                       {"text.bin", "fewer than 4"}};
  for (const auto& [file, reason] : kNone) {
    Result r = Guess(dir / file);
    EXPECT_EQ(r.code, 1) << file;
    EXPECT_NE(r.err.find("no command set found: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    json j = json::parse(r.out);
    EXPECT_TRUE(j["set"].is_null()) << file;
    EXPECT_LT(j["ranked"][0]["score"], 0.7) << file;
  }
  dir.Write("sets/Sender.ini", "[Main]\nModule_Name=Sender\nbPOSTextSenderMode=1\n");
  dir.Write("sets/Example.ini",
            ReadFile(POSHARK_SOURCE_DIR "/examples/Printer Commands/Example.ini"));
  Result r = RunTool(
      {{"sets", "guess", "--json", "--commands", dir / "sets", ReceiptsDir() + "/plain.bin"}});
  EXPECT_EQ(r.code, 1) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(j["ranked"][0]["name"], "Example ESC/POS");
  EXPECT_EQ(j["ranked"][1]["name"], "Sender");
  EXPECT_EQ(j["ranked"][1]["score"], 0.0);
  EXPECT_FALSE(j["leftovers"].empty());  // what the best set would need, even when not named
  const std::tuple<std::vector<std::string>, int, std::string> kBad[] = {
      {{"sets", "guess"}, 2, "a capture FILE"},
      {{"sets", "guess", "--frob", dir / "empty.bin"}, 2, "unknown option --frob"},
      {{"sets", "guess", dir / "empty.bin", "more"}, 2, "unexpected argument more"},
      {{"sets", "guess", dir / "missing.bin"}, 1, (dir / "missing.bin") + ": No such file"}};
  for (const auto& [args, code, message] : kBad) {
    Result r = RunTool({args});
    EXPECT_EQ(r.code, code) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
}

std::string Rows(const std::string& jsonl) {
  std::string rows;
  for (const auto& line : SplitLines(jsonl)) {
    json j = json::parse(line);
    rows += (j["event"].is_null() ? "-" : j["event"].get<std::string>()) + " " +
            j["text"].get<std::string>() + "\n";
  }
  return rows;
}

// listen --set auto over four receipts: held until the first ends, then
// every line exactly once, as the named set gives them; paced (the guess
// retried as bytes come) and at once (a Star receipt, guessed at the end).
TEST(SetGuess, ListenWithSetAutoDeliversEveryLineOnceAsTheGuessedSetDoes) {
  TempDir dir;
  std::string receipts;
  for (const char* name : {"plain", "void", "latin", "qrcode"})
    receipts += ReadFile(ReceiptsDir() + "/" + name + ".bin");
  dir.Write("four.bin", receipts);
  const std::tuple<std::string, std::string, std::string> kRuns[] = {
      {dir / "four.bin", "ESC/POS", "460800"},
      {ReceiptsDir() + "/star-line-tables.bin", "Star Line", "none"}};
  for (const auto& [file, set, pace] : kRuns) {
    auto listen = [&, file = file, pace = pace](const std::string& with) {
      return RunTool(
          {{"listen", "--pos", "1", "--set", with, "--feed", file, "--pace", pace, "--json"}});
    };
    auto guessed = std::async(std::launch::async, listen, "auto");
    Result named = listen(set);
    Result r = guessed.get();
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("set auto: " + set + " (score 1.00 on the first "), std::string::npos)
        << r.err;
    EXPECT_EQ(Rows(r.out), Rows(named.out));
    EXPECT_GT(SplitLines(r.out).size(), 10u);
  }
}

}  // namespace
}  // namespace poshark_test
